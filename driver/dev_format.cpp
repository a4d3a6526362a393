#include "driver/dev_format.h"

namespace dev {

bool decodeCapacities(const uint8_t* block, size_t length, Capacities& out) {
    ModelSet models;
    if (!models.allocate(IntegerModels::kSize)) return false;
    RangeDecoder rd;
    rd.init(block, length);
    uint8_t history = 0;
    int64_t total = 0;
    for (int i = 0; i < kCapacityValues; ++i) {
        total += rd.decodeInteger(models.data(), history, true);
        if (total < 0 || uint64_t(total) * kCapacityUnit > kMaxCapacity) return false;
        const uint32_t bytes = static_cast<uint32_t>(total) * kCapacityUnit;
        if (i < kStageSlots) out.stage[i] = bytes;
        else out.stream[i - kStageSlots + 1] = bytes;  // sub-streams 1..21 follow the stages
    }
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
