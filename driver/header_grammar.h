// The header chunk: how the Bink header, the audio track table and the frame
// index are coded, written once for both directions.
//
// codeHeaderChunk<C> walks the elements in file order.  With DecodeCoder the
// decisions come from the chunk and the values are emitted into the Io's
// output stream; with EncodeCoder the values are taken from the Io's input
// stream (the file's own bytes, header to frame index) and range coded.  The
// Io object supplies the stream and is told about the header, the tracks and
// the frame index words as they pass; the decoder's Io writes the output,
// fills the BinkContext and checks the video flags there.
#pragma once

#include <cstdint>

#include "core/range_decoder.h"
#include "writers/bink_container.h"

namespace dev {

// Model table of the header chunk: a base per table and its index function,
// the reach of each checked below.  Trees have node k at base + k.
struct HeaderModels {
    static constexpr int kPrelude = 0;     // 6-bit prelude tree
    static constexpr int kBits = 64;       // header, track words, flags, ids
    static constexpr int kRateLow = 68;    // low byte of a sample rate, 8-bit tree
    static constexpr int kRateHigh = 324;  // high byte of a sample rate, 8-bit tree
    static constexpr int kIndex = 1092;    // frame index deltas
    static constexpr int kCount = 1156;

    // A bit under the two-bit history h of its group.
    static constexpr int bitModel(uint32_t h) { return kBits + static_cast<int>(h); }
    // Decision i of a frame index delta, after the decision before it.
    static constexpr int indexModel(uint32_t i, uint32_t previous) {
        return i == 0 ? kIndex : kIndex + static_cast<int>(2 * i + previous);
    }
};
static_assert(HeaderModels::kPrelude + 63 < HeaderModels::kBits);
static_assert(HeaderModels::bitModel(3) < HeaderModels::kRateLow + 1);
static_assert(HeaderModels::kRateLow + 255 < HeaderModels::kRateHigh);
static_assert(HeaderModels::kRateHigh + 255 < HeaderModels::kIndex);
static_assert(HeaderModels::indexModel(31, 1) == HeaderModels::kCount - 1);

// Decisions per element group, for the decoder's plausibility budget.
constexpr uint32_t kPreludeDecisions = 6;
constexpr uint32_t kTrackDecisions = 32 + 8 + 8 + 16 + 32;
constexpr uint32_t kIndexWordDecisions = 32;

// The plausibility budget: a header chunk of L bytes may spend at most
// 5800 * (L + 16) decisions on its prelude, track table and frame index.  A
// range-coded decision costs at least 0.00139 bits (the models saturate at
// 63/65536), so a coder that writes out every byte needs fewer; refusing
// more keeps a corrupt chunk from asking for gigabytes of frame index or
// from decoding zeros for minutes past its end.  The encoder drops the zero
// bytes that end a chunk (the decoder reads zeros past the end), which can
// leave a header of long runs of zeros shorter than the budget wants: it
// pads such a chunk back to headerChunkLengthFor() bytes.
constexpr uint64_t kHeaderDecisionsPerByte = 5800;
constexpr uint64_t kHeaderBudgetSlack = 16;
constexpr uint64_t headerDecisionBudget(uint64_t chunkLength) {
    return kHeaderDecisionsPerByte * (chunkLength + kHeaderBudgetSlack);
}
// The shortest chunk whose budget covers `decisions`.
constexpr uint64_t headerChunkLengthFor(uint64_t decisions) {
    const uint64_t bytes = (decisions + kHeaderDecisionsPerByte - 1) / kHeaderDecisionsPerByte;
    return bytes > kHeaderBudgetSlack ? bytes - kHeaderBudgetSlack : 0;
}

template <class C>
struct HeaderGrammar {
    C& c;
    BitModel* m;

    // n decisions, most significant first, each under the two-bit history of
    // the group: model 64 + h, then h = last two decisions.
    uint32_t historyBits(uint32_t& h, int n, uint32_t value) {
        uint32_t v = 0;
        for (int i = n - 1; i >= 0; --i) {
            const uint32_t b = c.bit(m[HeaderModels::bitModel(h)], (value >> i) & 1);
            v = (v << 1) | b;
            h = ((h * 2) + b) & 3;
        }
        return v;
    }

    // One frame index delta, most significant first: decision 0 under model
    // 1092, decision i under 1092 + 2i + the previous decision.
    uint32_t indexDelta(uint32_t value) {
        uint32_t b = c.bit(m[HeaderModels::indexModel(0, 0)], value >> 31);
        uint32_t v = b;
        for (uint32_t i = 1; i < 32; ++i) {
            b = c.bit(m[HeaderModels::indexModel(i, b)], (value >> (31 - i)) & 1);
            v = (v << 1) | b;
        }
        return v;
    }
};

// The Io of the walk provides:
//   typename C::Stream& stream();
//   bool spend(uint64_t decisions);                  // false: the chunk cannot hold them
//   int32_t header(const uint8_t* bytes, uint32_t length);   // negative ends the walk
//   int32_t track(uint32_t i, uint32_t sampleRate, uint32_t flags);
//   int32_t tracksDone();
//   int32_t indexWord(uint32_t k, uint32_t word);
//   int32_t indexDone();
// and each part returns 0 or the first negative answer.  The walk is in two
// parts, so that the decoder can size what the second part fills (keyframe
// flags, track records) from the header in between, outside the walk.

// Part one: the prelude and the header bytes (44 or 48) into `header`.
template <class C, class Io>
int32_t codeHeaderBytes(C& c, BitModel* models, Io& io, uint8_t (&header)[BinkHeader::kLongLength]) {
    HeaderGrammar<C> g{c, models};
    auto& s = io.stream();

    // Prelude: 6-bit symbols up to the first 0.  They carry nothing, but the
    // coder state after them is where the header starts.  The packer writes
    // a single 0.
    for (;;) {
        if (!io.spend(kPreludeDecisions)) return -1;
        if (c.tree(models + HeaderModels::kPrelude, 6, 0) == 0) break;
    }

    // Header bytes; a long Bink 2 header continues the same history.
    uint32_t h = 0;
    uint32_t length = BinkHeader::kBaseLength;
    for (uint32_t i = 0; i < length; ++i) {
        if (i == BinkHeader::kVersion + 1) length = binkHeaderLength(header);
        uint32_t v = C::take8(s);
        v = g.historyBits(h, 8, v);
        C::emit8(s, v);
        header[i] = static_cast<uint8_t>(v);
    }
    return io.header(header, length);
}

// Part two: the audio track table and the frame index, sized by `header`.
template <class C, class Io>
int32_t codeHeaderTables(C& c, BitModel* models, Io& io, const uint8_t* header) {
    HeaderGrammar<C> g{c, models};
    auto& s = io.stream();
    const uint32_t tracks = loadLe32(header + BinkHeader::kTrackCount);
    const uint32_t frames = loadLe32(header + BinkHeader::kFrameCount);
    if (!io.spend(uint64_t(tracks) * kTrackDecisions)) return -1;

    // Audio track table: three arrays, each in track order.
    uint32_t h = 0;
    for (uint32_t t = 0; t < tracks; ++t) {
        uint32_t v = C::take32(s);
        v = g.historyBits(h, 32, v);
        C::emit32(s, v);
    }
    h = 0;
    for (uint32_t t = 0; t < tracks; ++t) {
        const uint32_t rate = C::take16(s);
        uint32_t low = c.tree(models + HeaderModels::kRateLow, 8, rate & 0xFF);
        uint32_t high = c.tree(models + HeaderModels::kRateHigh, 8, rate >> 8);
        const uint32_t sampleRate = (high << 8) | low;
        C::emit16(s, sampleRate);
        uint32_t flags = C::take16(s);
        flags = g.historyBits(h, 16, flags);
        C::emit16(s, flags);
        const int32_t r = io.track(t, sampleRate, flags);
        if (r < 0) return r;
    }
    h = 0;
    for (uint32_t t = 0; t < tracks; ++t) {
        uint32_t v = C::take32(s);
        v = g.historyBits(h, 32, v);
        C::emit32(s, v);
    }
    int32_t r = io.tracksDone();
    if (r < 0) return r;

    // Frame index: frameCount + 1 words, each coded as its difference from
    // the previous one (the first from 0), keyframe bit included.
    if (!io.spend((uint64_t(frames) + 1) * kIndexWordDecisions)) return -1;
    uint32_t previous = 0;
    for (uint64_t k = 0; k <= frames; ++k) {
        const uint32_t word = C::take32(s);
        const uint32_t delta = g.indexDelta(word - previous);
        previous += delta;
        C::emit32(s, previous);
        r = io.indexWord(static_cast<uint32_t>(k), previous);
        if (r < 0) return r;
    }
    return io.indexDone();
}

// Both parts, for a side with nothing to size in between (the packer).
template <class C, class Io>
int32_t codeHeaderChunk(C& c, BitModel* models, Io& io) {
    uint8_t header[BinkHeader::kLongLength];
    const int32_t r = codeHeaderBytes(c, models, io, header);
    return r < 0 ? r : codeHeaderTables(c, models, io, header);
}

}  // namespace dev
