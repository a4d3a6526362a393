#include "pack/dev_writer.h"

#include <algorithm>

#include "core/little_endian.h"
#include "driver/dev_format.h"
#include "pack/range_encoder.h"

namespace dev {

namespace {

uint32_t units(uint64_t bytes) { return static_cast<uint32_t>((bytes + kCapacityUnit - 1) / kCapacityUnit); }

// Difference between two running values as the decoder adds it: modulo 2^32.
int32_t delta(uint32_t to, uint32_t from) { return static_cast<int32_t>(to - from); }

const std::vector<uint8_t>* chunkAt(const DevStreamParts& parts, size_t frame, uint32_t slot) {
    const auto& row = parts.chunks[frame];
    return slot < row.size() ? &row[slot] : nullptr;
}

// 42 capacities as differences of one running total, in units of 512 bytes.
std::vector<uint8_t> capacityBlock(const DevStreamParts& parts) {
    uint32_t totals[kCapacityValues] = {};
    for (size_t f = 0; f < parts.chunks.size(); ++f)
        for (uint32_t s = 0; s < parts.stageCount; ++s)
            if (const auto* c = chunkAt(parts, f, s)) totals[s] = std::max(totals[s], units(c->size()));
    uint32_t* streamTotals = totals + kStageSlots;  // the sub-streams follow the stage slots, in order
    for (uint32_t bytes : parts.streamBytes) *streamTotals++ = units(bytes);
    return encodeCapacityBlock(totals);
}

// Header length, every chunk length in cycle order, then the end mark as the
// length of stage 0 in the cycle after the last frame.
std::vector<uint8_t> sizeBlock(const DevStreamParts& parts) {
    std::vector<uint8_t> out;
    RangeEncoder re(out);
    std::vector<BitModel> models(size_t(IntegerModels::kSize) * kSizeSequences, kModelStart);
    uint8_t history[kSizeSequences] = {};
    uint32_t running[kSizeSequences] = {};
    auto put = [&](int sequence, uint32_t length) {
        re.encodeInteger(models.data() + IntegerModels::kSize * sequence, history[sequence], true,
                         delta(length, running[sequence]));
        running[sequence] = length;
    };
    put(kHeaderSequence, static_cast<uint32_t>(parts.headerChunk.size()));
    for (size_t f = 0; f < parts.chunks.size(); ++f)
        for (uint32_t s = 0; s < parts.stageCount; ++s) {
            const auto* c = chunkAt(parts, f, s);
            put(static_cast<int>(s), c ? static_cast<uint32_t>(c->size()) : 0);
        }
    put(0, static_cast<uint32_t>(kEndMark));
    re.finish();
    return out;
}

}  // namespace

std::vector<uint8_t> encodeCapacityBlock(const uint32_t (&units)[2 * kStageSlots]) {
    std::vector<uint8_t> out;
    RangeEncoder re(out);
    BitModel models[IntegerModels::kSize];
    resetModels(models, IntegerModels::kSize);
    uint8_t history = 0;
    uint32_t running = 0;
    for (uint32_t total : units) {
        re.encodeInteger(models, history, true, delta(total, running));
        running = total;
    }
    re.finish();
    return out;
}

std::vector<uint8_t> writeDevStream(const DevStreamParts& parts) {
    if (parts.stageCount > uint32_t(kStageSlots)) return {};
    const std::vector<uint8_t> capacities = capacityBlock(parts);
    const std::vector<uint8_t> sizes = sizeBlock(parts);
    if (capacities.size() > 255 || sizes.size() >= (size_t(1) << 24)) return {};

    std::vector<uint8_t> out(kDevMagic, kDevMagic + sizeof kDevMagic);
    out.push_back(static_cast<uint8_t>(capacities.size()));
    out.insert(out.end(), capacities.begin(), capacities.end());
    const size_t l2 = sizes.size();
    appendLe24(out, static_cast<uint32_t>(l2));
    out.insert(out.end(), sizes.begin(), sizes.end());
    out.insert(out.end(), parts.headerChunk.begin(), parts.headerChunk.end());
    for (size_t f = 0; f < parts.chunks.size(); ++f)
        for (uint32_t s = 0; s < parts.stageCount; ++s)
            if (const auto* c = chunkAt(parts, f, s)) out.insert(out.end(), c->begin(), c->end());
    return out;
}

}  // namespace dev
