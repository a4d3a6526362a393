// Random but valid values of Bink 2 video frames, laid out as the video stage
// writes them (sub-streams 2..10 of a PackFrame; layout in
// stages/bink2_video_layout.h), for tests and benchmarks of the stage and its
// encoder.  Values stay within the bounds of valid streams, and a luma or
// alpha group has no extra bit exactly when the frame allows empty planes and
// the group has no coded block, as the frame writer expects.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "core/bink_context.h"
#include "core/little_endian.h"
#include "pack/pack_frame.h"
#include "stages/bink2_video_layout.h"
#include "testkit/value_bytes.h"
#include "writers/bink2/frame_flags.h"
#include "writers/bink2/geometry.h"

namespace dev {

struct Bink2ValueOptions {
    // Relative weight of the macroblock types of inter frames: intra, skip,
    // motion, residue.
    uint32_t typeWeights[4] = {1, 1, 1, 1};
    // Chance (percent) that a block has coefficients; above 100: a random
    // density per group, from empty groups to full ones.
    uint32_t codedPercent = 101;
    uint32_t maxCount = b2video::kMaxCount;
    // Chance (percent) that a coefficient is 0, and that one is large (up to
    // the largest valid magnitude) rather than small.
    uint32_t zeroPercent = 40;
    uint32_t largePercent = 30;
};

class Bink2ValueMaker {
public:
    Bink2ValueMaker(const BinkContext& context, uint32_t seed, const Bink2ValueOptions& options = {})
        : c_(context), o_(options), rng_(seed) {}

    // Frame j (keyframe flag from the context); listMode 0..3: no flag lists,
    // rows only, columns only, both; emptyPlanes: frame flag 0x40000.
    PackFrame make(uint32_t j, uint32_t listMode, bool emptyPlanes) {
        PackFrame f;
        f.index = j;
        const bool key = c_.keyframes && (c_.keyframes[j] & 1);
        uint32_t flags = rng_() & ~(bink2::kFlagListsPresent | bink2::kNoRowFlags | bink2::kNoColumnFlags |
                                    bink2::kEmptyPlaneSymbol);
        if (listMode) flags |= bink2::kFlagListsPresent;
        if (listMode == 2) flags |= bink2::kNoRowFlags;
        if (listMode == 1) flags |= bink2::kNoColumnFlags;
        if (emptyPlanes) flags |= bink2::kEmptyPlaneSymbol;
        auto& header = f.streams[bink2::kFrameHeader];
        appendLe32(header, flags);
        for (uint32_t k = 1; k < bink2::leadWordCount(c_); ++k) appendLe32(header, pick(4) ? rng_() : 1000 * k + (rng_() & 15));
        if (listMode & 1) flagList(header, c_.rowFlagCount);
        if (listMode & 2) flagList(header, c_.columnFlagCount);
        const uint32_t rows = c_.sliceCount ? bink2::macroblockRows(c_.sliceEnds[c_.sliceCount - 1]) : 0;
        const uint32_t columns = bink2::macroblockColumns(c_.width);
        for (uint32_t r = 0; r < rows * columns; ++r) macroblock(f, key, flags);
        return f;
    }

private:
    bool pick(uint32_t oneIn) { return rng_() % oneIn == 0; }
    bool percent(uint32_t p) { return rng_() % 100 < p; }

    void flagList(std::vector<uint8_t>& v, uint32_t count) {
        put8(v, rng_() & 1);
        const uint32_t pattern = rng_() % 3;  // all clear, all set, mixed
        for (uint32_t i = 0; i < count; i += 8) {
            const uint32_t bits = std::min(8u, count - i);
            const uint32_t byte = pattern == 0 ? 0 : pattern == 1 ? 0xFF : rng_();
            put8(v, byte & ((1u << bits) - 1));
        }
    }

    int32_t signedOf(uint32_t magnitude) {
        return (rng_() & 1) ? -static_cast<int32_t>(magnitude) : static_cast<int32_t>(magnitude);
    }
    // A magnitude of random bit length up to `bits`.
    uint32_t magnitude(uint32_t bits) {
        const uint32_t length = 1 + rng_() % bits;
        return (1u << (length - 1)) | (rng_() & ((1u << (length - 1)) - 1));
    }

    int32_t vectorComponent() {
        switch (rng_() % 8) {
            case 0:
            case 1: return 0;
            case 2: return signedOf(1 + rng_() % 7);
            case 3: return signedOf(pick(2) ? 16383 : 16384);
            case 4: return signedOf(32767);
            default: return signedOf(magnitude(15));
        }
    }
    int32_t dcValue() {
        switch (rng_() % 6) {
            case 0:
            case 1: return 0;
            case 2: return signedOf(1 + rng_() % 4);
            case 3: return signedOf(32767);
            default: return signedOf(magnitude(15));
        }
    }
    int32_t coefficient() {
        if (percent(o_.zeroPercent)) return 0;
        if (!percent(o_.largePercent)) return signedOf(1 + rng_() % 5);
        return signedOf(pick(8) ? b2video::kMaxCoefficient : magnitude(11) % b2video::kMaxCoefficient + 1);
    }

    // One group of `blocks` blocks: symbol bytes and DC values to `data`,
    // counts and coefficients to `lists`.
    void group(PackFrame& f, bool chroma, uint32_t blocks, uint32_t flags, int data, int lists) {
        auto& symbols = f.streams[data];
        auto& coefficients = f.streams[lists];
        bool coded = false;
        const uint32_t density = o_.codedPercent > 100 ? 25 * (rng_() % 4) : o_.codedPercent;
        for (uint32_t b = 0; b < blocks; ++b) {
            uint32_t n = 0;
            if (percent(density)) n = pick(6) ? o_.maxCount : 1 + rng_() % o_.maxCount;
            coded = coded || n > 0;
            put8(coefficients, n);
            for (uint32_t k = 0; k < n; ++k) put16(coefficients, coefficient());
        }
        if (chroma) {
            const uint32_t choice = rng_() & 1;
            put8(symbols, choice);
            if (!choice) put8(symbols, rng_() & 1);
        } else if (coded || !(flags & bink2::kEmptyPlaneSymbol)) {
            put8(symbols, rng_() & 1);
        }
        for (uint32_t b = 0; b < blocks; ++b) put16(symbols, dcValue());
    }

    uint32_t type() {
        const uint32_t* w = o_.typeWeights;
        uint32_t r = rng_() % std::max(1u, w[0] + w[1] + w[2] + w[3]);
        for (uint32_t t = 0; t < 3; ++t) {
            if (r < w[t]) return t;
            r -= w[t];
        }
        return 3;
    }

    void macroblock(PackFrame& f, bool key, uint32_t flags) {
        const uint32_t t = key ? 0 : type();
        if (!key) put8(f.streams[bink2::kMacroblockTypes], t);
        if (t == 2 || t == 3) {
            auto& v = f.streams[bink2::kMotionVectors];
            const uint32_t one = rng_() & 1;
            put8(v, one);
            for (uint32_t i = 0; i < (one ? 2u : 8u); ++i) put16(v, vectorComponent());
        }
        const uint32_t q = pick(4) ? 16 : rng_() % (b2video::kMaxQuantiser + 1);
        const bool alpha = c_.hasAlpha;
        if (t == 0) {
            put8(f.streams[bink2::kIntraQuantisers], q);
            const int d = bink2::kIntraBlockData, l = bink2::kIntraCoefficients;
            group(f, false, 16, flags, d, l);
            group(f, true, 4, flags, d, l);
            group(f, true, 4, flags, d, l);
            if (alpha) group(f, false, 16, flags, d, l);
        } else if (t == 3) {
            const uint32_t chroma = rng_() & 1;
            const int d = bink2::kResidueBlockData, l = bink2::kResidueCoefficients;
            put8(f.streams[bink2::kResidueQuantisers], q);
            group(f, false, 16, flags, d, l);
            put8(f.streams[bink2::kResidueQuantisers], chroma);
            if (chroma) {
                group(f, true, 4, flags, d, l);
                group(f, true, 4, flags, d, l);
            }
            if (alpha) group(f, false, 16, flags, d, l);
        }
    }

    const BinkContext& c_;
    Bink2ValueOptions o_;
    std::mt19937 rng_;
};

}  // namespace dev
