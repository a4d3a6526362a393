// Element grammar of the content of one Bink 1 block (besides its type and its
// DCT data): colours, runs, patterns, raw pixels, motion offsets and residue
// masks, each under contexts from the block's neighbourhood and from what was
// coded before.  Written once for both directions (see core/coder.h).
#pragma once

#include <bit>
#include <cstdint>

#include "core/grammar_codes.h"
#include "stages/video_frame_layout.h"
#include "writers/bink1/walks.h"

namespace dev::vframe {

// Bit changes of a pattern byte along bit 0 to bit 7, after an implicit 0.
DEV_INLINE uint32_t bitChanges(uint32_t byte) { return static_cast<uint32_t>(std::popcount((byte ^ (byte << 1)) & 0xFFu)); }

// Median predictor of the raw block pixels.  All three outcomes are worked
// out and one selected: which one applies follows the picture, and branches
// on it are mispredicted often.
DEV_INLINE uint32_t medianPredict(uint32_t left, uint32_t above, uint32_t corner) {
    const uint32_t lo = left < above ? left : above;
    const uint32_t hi = left < above ? above : left;
    // Where both tests hold, lo == hi: the order of the selections is free.
    uint32_t p = corner >= hi ? lo : left + above - corner;
    p = corner <= lo ? hi : p;
    return p;
}

template <class C>
class ContentGrammar : public GrammarBase<C> {
public:
    using Base = GrammarBase<C>;
    using Base::Base;
    using Base::bad;
    using Base::c;
    using Base::m;
    using Base::s;
    using Base::st;

    // Content of one block of Bink type `type` (a scaled block's sub-type) at
    // column x, row r of a grid of columns x rows, plane kind k.
    DEV_INLINE void content(uint32_t type, uint32_t x, uint32_t r, uint32_t columns, uint32_t rows, uint32_t k) {
        const uint32_t h = (x > (columns >> 1) ? 16u : 0u) + (r > (rows >> 1) ? 32u : 0u);
        switch (type) {
            case bink1::kMotionBlock:
            case bink1::kInterBlock:  // the DCT data come from another stage
                motion();
                break;
            case bink1::kRunBlock:
                run(k, h);
                break;
            case bink1::kResidueBlock:
                residue(k);
                motion();
                break;
            case bink1::kFillBlock:
                st.lastColour = colour(1, st.lastColour, k, h);
                break;
            case bink1::kPatternBlock:
                pattern(k, h);
                break;
            case bink1::kRawBlock:
                raw(k, h);
                break;
            default:  // skip and intra: nothing here
                break;
        }
    }

private:
    // One colour byte with role d under context colour q.
    DEV_INLINE uint32_t colour(uint32_t d, uint32_t q, uint32_t k, uint32_t h) {
        uint32_t v = this->take(bink1::kColours, 255);
        const uint32_t hi = c.tree(m + colourHighBase(d, k, h, q), 4, v >> 4);
        const uint32_t lo = c.tree(m + colourLowBase(d, q, h, hi), 4, v & 15);
        v = 16 * hi + lo;
        this->emit(bink1::kColours, v);
        return v;
    }

    void run(uint32_t k, uint32_t h) {
        this->field(bink1::kRunFields, runScanBase(k), 4);
        uint32_t pos = 0, ctx = 0, longRun = 0;
        while (pos < 63) {
            const uint32_t fill = this->flag(bink1::kRunFields, runFillModel(k, ctx));
            const uint32_t value = this->field(bink1::kRuns, runValueBase(pos, longRun, fill), 4);
            pos += value + 1;
            ctx = ((2 * ctx + fill) & 3) + 4 * value;
            longRun = value == 15 ? 64 : 0;
            const uint32_t colours = fill ? 1 : value + 1;
            for (uint32_t i = 0; i < colours; ++i) st.lastColour = colour(0, st.lastColour, k, h);
        }
        if (pos == 63) st.lastColour = colour(0, st.lastColour, k, h);  // the last pixel
    }

    void pattern(uint32_t k, uint32_t h) {
        const uint32_t first = colour(2, st.lastColour, k, h);
        st.lastColour = first;
        colour(3, first, k, h);
        uint32_t previous = 0, changes = 0, p = 4;
        for (uint32_t n = 0; n < 8; ++n) {
            if (n) p = changes / n;
            const uint32_t byte = this->evenField(bink1::kPatterns, patternBase(p, previous), 8);
            changes += bitChanges(byte);
            previous = byte;
        }
    }

    // 64 pixels: the first as a colour, the others as residuals against a
    // median prediction.  A residual lies in -255..255, so every pixel row
    // can be coded; the decoder keeps the low 8 bits of a damaged sum.
    void raw(uint32_t k, uint32_t h) {
        uint8_t px[64];
        px[0] = static_cast<uint8_t>(colour(4, st.lastColour, k, h));
        uint32_t sum = px[0];
        uint32_t z3 = 0, s6 = 0, mc = 0, zr = 0;
        for (uint32_t i = 1; i < 64; ++i) {
            uint32_t p;
            if (i < 8) p = px[i - 1];
            else if ((i & 7) == 0) p = px[i - 8];
            else p = medianPredict(px[i - 1], px[i - 8], px[i - 9]);
            int32_t residual = static_cast<int32_t>(this->take(bink1::kColours, 255)) - static_cast<int32_t>(p);
            if (c.bit(m[rawZeroModel(z3, mc, zr)], residual == 0 ? 1 : 0)) {
                residual = 0;
                z3 = (2 * z3 + 1) & 7;
                mc = 0;
                zr += 1;
            } else {
                z3 = (2 * z3) & 7;
                const uint32_t sign = codeEvenBit(c, m[rawSignModel(s6, z3)], residual < 0 ? 1 : 0);
                s6 = (2 * s6 + sign) & 63;
                const uint32_t magnitude = static_cast<uint32_t>(residual < 0 ? -residual : residual);
                const uint32_t length = c.tree(m + rawLengthBase(mc), 3,
                                               magnitude ? bitLength(magnitude) - 1 : 0);
                uint32_t mantissa = 0;
                for (uint32_t j = 0; j < length; ++j) {
                    const uint32_t b = codeEvenBit(c, m[rawMantissaBase(length) + j], (magnitude >> (length - 1 - j)) & 1);
                    mantissa = 2 * mantissa + b;
                }
                residual = static_cast<int32_t>(withSign((1u << length) + mantissa, sign));
                mc = length + 1;
                zr = 0;
            }
            px[i] = static_cast<uint8_t>(static_cast<int32_t>(p) + residual);
            sum += px[i];
        }
        // Written after the loop: a byte store through the writer may alias
        // anything, and would force the decoder state out of registers.
        for (uint32_t i = 1; i < 64; ++i) this->emit(bink1::kColours, px[i]);
        st.lastColour = sum >> 6;
    }

    // A signed offset of -15..15 taken by the encoder as (sign, magnitude).
    DEV_INLINE uint32_t takeOffset(int slot, uint32_t& sign) {
        if constexpr (C::kEncoding) {
            const int32_t v = static_cast<int8_t>(C::take8(s[slot]));
            if (v < -15 || v > 15) {
                bad = true;
                sign = 0;
                return 0;
            }
            sign = v < 0 ? 1 : 0;
            return static_cast<uint32_t>(v < 0 ? -v : v);
        } else {
            (void)slot;
            sign = 0;
            return 0;
        }
    }

    // y offset, then x offset.
    void motion() {
        uint32_t sy, sx;
        uint32_t y = takeOffset(bink1::kYOffsets, sy);
        sy = c.bit(m[motionYSignModel(st.ySigns)], sy);
        st.ySigns = (2 * st.ySigns + sy) & 7;
        const uint32_t g = ((st.lastY - st.previousY) >> 1) & 15;  // bits 1..4 of the difference
        y = c.tree(m + motionYBase(st.ySigns, st.lastY, g), 4, y);
        st.previousY = st.lastY;
        this->emit(bink1::kYOffsets, withSign(y, sy));
        st.lastY = y;

        uint32_t x = takeOffset(bink1::kXOffsets, sx);
        sx = c.bit(m[motionXSignModel(st.ySigns, y, st.xSigns)], sx);
        st.xSigns = (2 * st.xSigns + sx) & 7;
        x = c.tree(m + motionXBase(st.xSigns, st.ySigns, st.lastX, y), 4, x);
        this->emit(bink1::kXOffsets, withSign(x, sx));
        st.lastX = x;
    }

    // Residue masks: the residue field's walk (writers/bink1/walks.h)
    // with each decision coded under its own contexts and kept as one value
    // of the residue sub-stream, after the mask count (the residue budget)
    // and the start exponent b.
    void residue(uint32_t k) {
        const uint32_t count = this->field(bink1::kResidueBudgets, residueCountBase(k, st.residueClass), 7);
        st.residueClass = count >> 5;
        const uint32_t b = this->field(bink1::kResidues, residueExponentBase(k, count, st.lastResidueExponent), 3);
        st.lastResidueExponent = b;
        ResidueDecisions r{*this, static_cast<int32_t>(b)};
        bink1::residueWalk(r, b, count);
    }

    // The contexts of the residue decisions: the start exponent b, the pass
    // e, and histories of the entry flags (h9), coefficient flags (h4),
    // signs (h7), late signs (h6) and refinements (hr), fresh per block.
    struct ResidueDecisions {
        ContentGrammar& g;
        int32_t b;
        int32_t e = 1;
        uint32_t h9 = 0, h4 = 0, h7 = 0, h6 = 0, hr = 0;

        DEV_INLINE void pass(uint32_t number) { e = static_cast<int32_t>(number); }
        DEV_INLINE uint32_t decide(uint32_t model, uint32_t& history, uint32_t mask) {
            const uint32_t bit = g.flag(bink1::kResidues, model);
            history = (2 * history + bit) & mask;
            return bit;
        }
        DEV_INLINE uint32_t refinement() { return decide(residueRefineModel(b, e, hr), hr, 15); }
        DEV_INLINE uint32_t entry() { return decide(residueEntryModel(b, e, h4, h9), h9, 511); }
        DEV_INLINE uint32_t later() { return decide(residueCoefficientModel(b, e, h4, h9), h4, 15); }
        DEV_INLINE uint32_t sign() { return decide(residueSignModel(b, e, h4, h7), h7, 127); }
        DEV_INLINE uint32_t lateSign() { return decide(residueLateSignModel(h7, h6), h6, 63); }
    };
};

}  // namespace dev::vframe
