// Writes a DEV stream from its parts: the header chunk and every stage chunk,
// with the two framing blocks (buffer capacities and chunk lengths) computed
// from them.  The layout is the one driver/dev_format.h reads.
#pragma once

#include <cstdint>
#include <vector>

#include "core/bink_context.h"
#include "core/sub_streams.h"

namespace dev {

struct DevStreamParts {
    std::vector<uint8_t> headerChunk;
    uint32_t stageCount = 0;  // stages of the generation's table (6 Bink 1, 2 Bink 2)
    std::vector<std::vector<std::vector<uint8_t>>> chunks;  // [frame][stage slot]
    StreamArray<uint32_t> streamBytes;  // largest per-frame output (bytes) of each sub-stream
};

// The whole stream.  Each stage's input capacity is its largest chunk, each
// sub-stream's capacity its streamBytes entry, both rounded up to the unit of
// 512 bytes.  A frame with fewer chunks than stageCount gets empty chunks for
// the rest.  Empty when the parts cannot be framed (a capacity block over 255
// bytes, a size block of 2^24 bytes or more, more than 21 stages).
std::vector<uint8_t> writeDevStream(const DevStreamParts& parts);

// The capacity block alone: the 21 stage input capacities, then the 21
// sub-stream capacities, in units of 512 bytes, coded as differences of one
// running total.
std::vector<uint8_t> encodeCapacityBlock(const uint32_t (&units)[2 * kStageSlots]);

}  // namespace dev
