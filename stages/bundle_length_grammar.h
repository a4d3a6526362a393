// Element grammar of the Bink 1 bundle length chunks, written once for both
// directions (see core/coder.h).
//
// A chunk is the list of every bundle chunk count of one frame, in the order
// the plane writer takes them: before each value an end-of-list flag (0: a
// value follows, 1: the list ends), whose model follows the number k of values
// already coded; then the value with the unsigned integer code.  The decoder
// writes the values as 16-bit words into the chunk count sub-stream.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/bink_context.h"
#include "core/coder.h"
#include "core/models.h"
#include "core/range_decoder.h"
#include "core/sub_streams.h"
#include "core/value_stream.h"
#include "writers/bink1/streams.h"

namespace dev::bundle {

// ---- Model table: a base per table and its index function, the reach of
// each checked below.  The integer code's block leaves 65..69 and 101 unused.
// The format reserves 1582 models; the rest are never touched, so only these
// are allocated. ----
constexpr uint32_t kEndFlag = 0;
constexpr uint32_t kValue = 64;  // IntegerModels block
constexpr uint32_t kModelCount = kValue + IntegerModels::kSize;
constexpr uint32_t kEndFlagKLimit = 1023;

// The end-of-list flag under the number k of values already coded.
constexpr uint32_t endFlagModel(uint32_t k) { return kEndFlag + (std::min(k, kEndFlagKLimit) >> 4); }

static_assert(endFlagModel(0xFFFFFFFFu) < kValue);

// Codes one frame's list.  Decoding: values go to s until the end flag; false
// when s is full.  Encoding: the list is every 16-bit value of s; false on a
// negative count or a stream of odd length.
template <class C>
DEV_INLINE bool codeList(C& c, BitModel* m, typename C::Stream& s) {
    for (uint32_t k = 0;; ++k) {
        uint32_t end = 0;
        if constexpr (C::kEncoding) end = s.atEnd() ? 1u : 0u;
        if (c.bit(m[endFlagModel(k)], end)) return true;
        const uint32_t value = C::take16(s);
        if constexpr (C::kEncoding) {
            if (s.underflow || value >= 0x8000) return false;  // counts are never negative
        }
        uint8_t unusedHistory = 0;
        const int32_t decoded = c.integer(m + kValue, unusedHistory, false, static_cast<int32_t>(value));
        C::emit16(s, static_cast<uint32_t>(decoded));  // low 16 bits
        if constexpr (!C::kEncoding) {
            // Two bytes per value: a full output ends the list of a corrupt chunk.
            if (s.overflow) return false;
        }
    }
}

}  // namespace dev::bundle

namespace dev {

// The bundle length stage's decoder (stages/stage_decoder.h): the models
// carry over from frame to frame.
struct BundleLengthDecoder {
    static constexpr int kStreamList[] = {bink1::kChunkCounts};
    static constexpr std::span<const int> kStreams{kStreamList};

    ModelSet models;

    bool setup(const BinkContext& /*context*/) { return models.allocate(bundle::kModelCount); }
    // Decodes one frame's list; false when the output is too small for it.
    bool decodeChunk(const uint8_t* chunk, size_t length, StreamArray<ValueWriter>& out) {
        DecodeCoder c;
        c.rd.init(chunk, length);
        return bundle::codeList(c, models.data(), out[bink1::kChunkCounts]);
    }
    void release() { models.release(); }
};

}  // namespace dev
