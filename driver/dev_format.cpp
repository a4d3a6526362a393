#include "driver/dev_format.h"

namespace dev {

bool decodeCapacities(const uint8_t* block, size_t length, Capacities& out) {
    ModelSet models;
    if (!models.allocate(IntegerModels::kSize)) return false;
    RangeDecoder rd;
    rd.init(block, length);
    uint8_t history = 0;
    int64_t total = 0;
    // The stage slots' capacities, then the sub-streams' in their order.
    auto next = [&](uint32_t& bytes) {
        total += rd.decodeInteger(models.data(), history, true);
        if (total < 0 || uint64_t(total) * kCapacityUnit > kMaxCapacity) return false;
        bytes = static_cast<uint32_t>(total) * kCapacityUnit;
        return true;
    };
    for (uint32_t& bytes : out.stage)
        if (!next(bytes)) return false;
    for (uint32_t& bytes : out.stream)
        if (!next(bytes)) return false;
    return true;
}

bool SizeDecoder::start(const uint8_t* block, size_t length) {
    if (!models_.allocate(size_t(IntegerModels::kSize) * kSizeSequences)) return false;
    decoder_.init(block, length);
    for (int i = 0; i < kSizeSequences; ++i) {
        running_[i] = 0;
        history_[i] = 0;
    }
    return true;
}

}  // namespace dev
