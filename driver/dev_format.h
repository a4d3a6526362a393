// Framing of a DEV stream: the fixed prefix and the two range-coded blocks
// that carry the buffer capacities and the length of every chunk.
//
//   "DEV" 0x01 | L1 (1 byte) | CapacityBlock (L1 bytes)
//   | L2 (3 bytes, little-endian) | SizeBlock (L2 bytes)
//   | HeaderChunk | StageChunks, cycle after cycle, in stage order
//
// Both blocks use the shared integer code.  The CapacityBlock holds 42 signed
// differences summed into one running total: after value i (1..21) the total
// is the input capacity of stage slot i - 1, after value 21 + j that of
// sub-stream j, always in units of 512 bytes.  The SizeBlock holds 22
// sequences, each with its own IntegerModels block, sign history and running
// length: sequence 21 carries the header chunk length, sequence k the lengths
// of stage k's chunks.  A running length of -1 marks the end of the chunks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bink_context.h"
#include "core/models.h"
#include "core/range_decoder.h"
#include "core/sub_streams.h"

namespace dev {

constexpr uint8_t kDevMagic[4] = {'D', 'E', 'V', 0x01};
constexpr size_t kDevPrefixSize = 5;     // magic and L1
constexpr uint32_t kCapacityUnit = 512;  // capacities are coded in these units
constexpr int kCapacityValues = kStageSlots + kStreamCount;
constexpr int kSizeSequences = kStageSlots + 1;
constexpr int kHeaderSequence = kStageSlots;  // sequence of the header chunk length
constexpr int32_t kEndMark = -1;

// The largest buffer a stream may ask for.  Capacities come from the input and
// every buffer is allocated before the first frame, so a corrupt block must
// not be able to request absurd sizes; real files need a few megabytes at most.
constexpr uint64_t kMaxCapacity = uint64_t(1) << 28;
// The largest header chunk accepted (a frame index of millions of frames fits
// comfortably).
constexpr uint64_t kMaxHeaderChunk = uint64_t(1) << 28;

struct Capacities {
    uint32_t stage[kStageSlots] = {};   // input capacity of stage slot s, bytes
    StreamArray<uint32_t> stream;        // capacity of each sub-stream, bytes
};

// Decodes the 42 capacities of a CapacityBlock.  false when a running total
// goes negative or past kMaxCapacity (corrupt block) or the models cannot be
// had.
bool decodeCapacities(const uint8_t* block, size_t length, Capacities& out);

// Reader of the SizeBlock: hands out the chunk lengths in stream order.
class SizeDecoder {
public:
    // Starts on the block bytes (which must outlive the decoder); false when
    // the models cannot be had.
    bool start(const uint8_t* block, size_t length);
    // Next running length of sequence 0..21.  Values wrap as 32-bit integers,
    // so -1 is the end mark and other negative values are corrupt lengths.
    int32_t next(int sequence) {
        uint8_t& history = history_[sequence];
        const int32_t delta = decoder_.decodeInteger(models_.data() + IntegerModels::kSize * sequence, history, true);
        running_[sequence] = static_cast<int32_t>(static_cast<uint32_t>(running_[sequence]) + static_cast<uint32_t>(delta));
        return running_[sequence];
    }
    void release() { models_.release(); }

private:
    RangeDecoder decoder_;
    ModelSet models_;
    int32_t running_[kSizeSequences] = {};
    uint8_t history_[kSizeSequences] = {};
};

}  // namespace dev
