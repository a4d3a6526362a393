// The shape of a Bink 2 frame, from the header: the 32x32 macroblocks, the
// slices (bands of macroblock rows, each coded on its own), the lengths of
// the row and column flag lists and the quantiser predictor rows; and the
// words that lead every video packet.  The header decoder stores what
// follows from the header in the BinkContext (setGeometry); the frame
// writer, the packer's parser, the generator and the video stage read it
// there.
//
// Sizes stay in 32-bit arithmetic, as the context holds them: a width or
// height within 31 of 2^32 rounds up to 0 pixels.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/bink_context.h"
#include "writers/bink_container.h"

namespace dev::bink2 {

constexpr uint32_t kMacroblockSize = 32;

constexpr uint32_t macroblockColumns(uint32_t width) { return (width + kMacroblockSize - 1) / kMacroblockSize; }
constexpr uint32_t macroblockRows(uint32_t height) { return (height + kMacroblockSize - 1) / kMacroblockSize; }

// Bytes of the two quantiser predictor rows: two entries (intra, residue)
// per macroblock column and one more.
constexpr size_t quantiserRowBytes(uint32_t width) { return 2 * 2 * (size_t(macroblockColumns(width)) + 1); }
// The same as 16-bit entries of the writer's row buffer.
constexpr uint32_t rowBufferEntries(uint32_t width) {
    return static_cast<uint32_t>(quantiserRowBytes(width) / sizeof(uint16_t));
}

// A flag list has a flag between each two bands of 8 pixels: rows over the
// height rounded up to 16, columns over the width in whole macroblocks.
constexpr uint32_t kFlagBand = 8;
constexpr uint32_t rowFlagCount(uint32_t height) { return (height + 15) / 16 * 16 / kFlagBand - 1; }
constexpr uint32_t columnFlagCount(uint32_t width) { return macroblockColumns(width) * kMacroblockSize / kFlagBand - 1; }

// Slices: frames below 128 rows (in whole macroblocks) have one; taller ones
// 2, 3, 4 or 8 by the slice choice of the video flags, each a multiple of 32
// rows, the last one taking what remains.  Fills ends[0..count) with the
// pixel row each slice ends at and returns the count.
constexpr uint32_t kSlicedHeight = 128;
constexpr uint32_t kSliceCounts[4] = {2, 3, 4, 8};
static_assert(kSliceCounts[3] <= kMaxSlices);

inline uint32_t slices(uint32_t height, uint32_t videoFlags, uint32_t* ends) {
    const uint32_t h = macroblockRows(height) * kMacroblockSize;
    if (h < kSlicedHeight) {
        ends[0] = h;
        return 1;
    }
    const uint32_t n = kSliceCounts[videoFlags & BinkVideoFlag::kSliceChoice];
    uint32_t previous = 0;
    for (uint32_t k = 0; k + 1 < n; ++k) {
        // On short frames with many slices the step would pass the frame
        // height; those slices end at the height instead (they are empty).
        const uint32_t step = (((h - previous - 1) / (n - k)) + kMacroblockSize) & ~(kMacroblockSize - 1);
        previous = previous < h ? std::min(h, previous + step) : h;
        ends[k] = previous;
    }
    ends[n - 1] = h;
    return n;
}

// The context's Bink 2 fields, from its width, height and video flags.
inline void setGeometry(BinkContext& c) {
    c.sliceCount = slices(c.height, c.videoFlags, c.sliceEnds);
    c.rowFlagCount = rowFlagCount(c.height);
    c.columnFlagCount = columnFlagCount(c.width);
    c.rowBufferEntries = rowBufferEntries(c.width);
}

// Every video packet begins with its lead words: the frame flags word, then
// for each slice after the first its byte offset from the packet's start.
// They travel in the frame header sub-stream as they stand.
inline uint32_t leadWordCount(const BinkContext& c) { return c.sliceCount ? c.sliceCount : 1; }
inline size_t leadBytes(const BinkContext& c) { return 4 * size_t(leadWordCount(c)); }
// The offset word of a slice that begins `start` bytes into the bitstream
// after the lead words.
inline uint32_t sliceOffsetWord(const BinkContext& c, uint32_t start) {
    return static_cast<uint32_t>(leadBytes(c)) + start;
}

}  // namespace dev::bink2
