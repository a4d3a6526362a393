// Element grammar of the Bink 2 video chunks, written once for both
// directions (see core/coder.h): one chunk holds every element of one frame's
// video packet.  Frame flags, slice offsets and flag lists, then slice by
// slice, row by row, macroblock by macroblock: the type (inter frames), the
// motion vectors, the quantisers and the coefficient data
// (stages/bink2_block_grammar.h).  Value layout of the nine sub-streams and
// the model table: stages/bink2_video_layout.h.
#pragma once

#include <cstdint>
#include <cstring>

#include "stages/bink2_block_grammar.h"

namespace dev::b2video {

using bink2::kIntra;
using bink2::kMotion;
using bink2::kMotionResidue;
using bink2::kSkip;

template <class C>
class FrameGrammar : public BlockGrammar<C> {
public:
    using Base = BlockGrammar<C>;
    using typename Base::Stream;
    using Base::bad;

    FrameGrammar(C& coder, BitModel* models, VideoState& state, const Geometry& geometry, StreamArray<Stream>& streams)
        : Base(coder, models, streams), st(state), g(geometry) {}

    // One frame.  false when it cannot be carried: the encoder met values
    // outside the grammar or a sub-stream ran dry; the decoder met a value
    // past the bounds of valid streams or filled a sub-stream; or the
    // geometry is out of bounds.
    DEV_INLINE bool frame(bool key) {
        if (!g.valid) return false;
        const uint32_t flags = frameFlags();
        sliceOffsets();
        if (flags & bink2::kFlagListsPresent) {
            if (!(flags & bink2::kNoRowFlags)) flagList(kRowFlagMode, kRowFlagBits, st.previousRowFlags, g.rowFlagCount);
            if (!(flags & bink2::kNoColumnFlags))
                flagList(kColumnFlagMode, kColumnFlagBits, st.previousColumnFlags, g.columnFlagCount);
        }
        if (bad || fault()) return false;
        std::memset(st.rowTypes, 0, g.columns + 2);
        std::memset(st.rowVectorFlags, 0, g.columns + 2);
        const bool alpha = bink2::frameCodesAlpha(g.hasAlpha, g.extended, flags);
        // Rows of macroblocks, slice after slice; y runs on across slices.
        uint32_t y = 0;
        for (uint32_t k = 0; k < g.sliceCount; ++k) {
            for (; y < g.sliceEnds[k]; y += bink2::kMacroblockSize) {
                row = RowState();
                for (uint32_t x = 0; x < g.columns; ++x) {
                    macroblock(x, y, key, flags, alpha);
                    if (bad) return false;
                }
                // Every macroblock writes at least one byte, so a frame
                // larger than its sub-streams ends here, row by row.
                if (fault()) return false;
            }
        }
        return true;
    }

private:
    using Base::c;
    using Base::m;
    using Base::out;
    using Base::row;
    using Base::takeByte;
    using Base::takeSigned;

    DEV_INLINE bool fault() {
        for (int n : bink2::kVideoStreams)
            if (streamFault(this->s[n])) return true;
        return false;
    }

    // 32 bits, the first decided being bit 31, each under the bit before it.
    DEV_INLINE uint32_t frameFlags() {
        const uint32_t value = C::take32(out(bink2::kFrameHeader));
        uint32_t word = 0, previous = 0;
        for (uint32_t i = 0; i < 32; ++i) {
            previous = c.bit(m[frameFlagModel(i, previous)], (value >> (31 - i)) & 1);
            word = (word << 1) | previous;
        }
        C::emit32(out(bink2::kFrameHeader), word);
        return word;
    }

    // Offsets of slices 1.., each as its difference from the last frame's.
    DEV_INLINE void sliceOffsets() {
        for (uint32_t j = 1; j < g.sliceCount; ++j) {
            uint32_t offset = C::take32(out(bink2::kFrameHeader));
            const int32_t d = c.integer(m + kSliceOffset, st.sliceSigns[j], true,
                                        static_cast<int32_t>(offset - st.previousOffsets[j]));
            offset = st.previousOffsets[j] + static_cast<uint32_t>(d);
            C::emit32(out(bink2::kFrameHeader), offset);
            st.previousOffsets[j] = offset;
        }
    }

    // A flag list: the mode byte, then the flags in bytes of 8, each flag under
    // the same flag of the last frame and the last 8 flags of this list.
    DEV_INLINE void flagList(uint32_t modeModel, uint32_t bitsTable, uint8_t* previous, uint32_t count) {
        Stream& header = out(bink2::kFrameHeader);
        uint32_t mode = takeByte(bink2::kFrameHeader, 1);
        mode = c.bit(m[modeModel], mode);
        C::emit8(header, mode);
        uint32_t history = 0;
        for (uint32_t byte = 0; 8 * byte < count; ++byte) {
            const uint32_t bits = count - 8 * byte < 8 ? count - 8 * byte : 8;
            const uint32_t value = takeByte(bink2::kFrameHeader, (1u << bits) - 1);
            const uint32_t last = previous[byte];
            uint32_t flags = 0;
            for (uint32_t i = 0; i < bits; ++i) {
                const uint32_t b = c.bit(m[flagBitModel(bitsTable, (last >> i) & 1, history)], (value >> i) & 1);
                flags |= b << i;
                history = ((history << 1) | b) & 255;
            }
            C::emit8(header, flags);
            previous[byte] = static_cast<uint8_t>(flags);
        }
    }

    // Macroblock x (in macroblocks) of the row at pixel row y.
    // alpha: the frame codes the alpha plane.
    DEV_INLINE void macroblock(uint32_t x, uint32_t y, bool key, uint32_t flags, bool alpha) {
        uint32_t type = kIntra;
        if (!key) type = macroblockType(x);
        uint32_t q[2] = {row.quantisers[0].prediction, row.quantisers[1].prediction};
        if (type == kIntra || type == kSkip) {
            st.rowVectorFlags[x] = 1;
            row.vectors[0].length = row.vectors[1].length = kFreshVectorLength;
        } else {
            vectors(x);
        }
        if (type == kIntra) {
            q[0] = quantiser(0, bink2::kIntraQuantisers);
            if (bad) return;
            this->intraBlocks(q[0], flags, alpha);
        } else if (type == kMotionResidue) {
            q[1] = quantiser(1, bink2::kResidueQuantisers);
            if (bad) return;
            this->residueBlocks(q[1], flags, alpha);
        }
        // The next macroblock's predictions: the median with the two
        // quantisers above (from the second row of the frame on).
        for (int j = 0; j < 2; ++j) {
            uint8_t* above = st.rowQuantisers[j];
            row.quantisers[j].prediction = y > 0 ? median3(q[j], above[x], above[x + 1]) : q[j];
            above[x] = static_cast<uint8_t>(q[j]);
        }
    }

    // The type of an inter frame's macroblock, and the type context it leaves
    // (left, top, top right, top left, left of left: two bits each).
    DEV_INLINE uint32_t macroblockType(uint32_t x) {
        const uint32_t t = takeByte(bink2::kMacroblockTypes, 3);
        const uint32_t context = row.context;
        const uint32_t first = c.bit(m[typeFirstModel(context)], t >> 1);
        const uint32_t second = c.bit(m[typeSecondModel(context, first)], t & 1);
        const uint32_t type = 2 * first + second;
        C::emit8(out(bink2::kMacroblockTypes), type);
        const uint32_t a = st.rowTypes[x], b = st.rowTypes[x + 1], d = st.rowTypes[x + 2];
        st.rowTypes[x] = static_cast<uint8_t>(type);
        row.context = type + 4 * b + 16 * d + 64 * a + 256 * (context & 3);
        return type;
    }

    // The vector count flag and the one or four vectors of a motion or residue
    // macroblock; decided x then y vector by vector, written all x first.
    DEV_INLINE void vectors(uint32_t x) {
        uint32_t f = takeByte(bink2::kMotionVectors, 1);
        f = c.bit(m[vectorCountModel(st.rowVectorFlags[x], row.vectorHistory, row.context)], f);
        C::emit8(out(bink2::kMotionVectors), f);
        st.rowVectorFlags[x] = static_cast<uint8_t>(f);
        row.vectorHistory = ((row.vectorHistory * 2) & 15) + f;
        const uint32_t n = f ? 1 : 4;
        int32_t vx[4] = {}, vy[4] = {};
        if constexpr (C::kEncoding) {
            for (uint32_t i = 0; i < n; ++i) vx[i] = takeSigned(bink2::kMotionVectors, kMaxVectorComponent);
            for (uint32_t i = 0; i < n; ++i) vy[i] = takeSigned(bink2::kMotionVectors, kMaxVectorComponent);
        }
        const uint32_t index = row.context >> 6;
        for (uint32_t i = 0; i < n; ++i) {
            vx[i] = component(kVectorHorizontal, index, row.vectors[0], f, 0, vx[i]);
            vy[i] = component(kVectorVertical, index, row.vectors[1], f, row.vectors[0].length, vy[i]);
        }
        for (uint32_t i = 0; i < n; ++i) C::emit16(out(bink2::kMotionVectors), static_cast<uint32_t>(vx[i]));
        for (uint32_t i = 0; i < n; ++i) C::emit16(out(bink2::kMotionVectors), static_cast<uint32_t>(vy[i]));
    }

    // One vector component with its tables, state, count flag f and coupling
    // b (the horizontal length for vertical components, else 0).
    DEV_INLINE int32_t component(uint32_t table, uint32_t index, VectorState& v, uint32_t f, uint32_t b, int32_t value) {
        if (c.bit(m[vectorZeroModel(table, b, index, v.length, f, v.zeros)], value == 0 ? 1u : 0u)) {
            v.zeros = 2 * (v.zeros & 7) + 1;
            v.length = 0;
            v.signs = (2 * v.signs) & 7;
            return 0;
        }
        v.zeros = 2 * (v.zeros & 7);
        const uint32_t sign = c.bit(m[vectorSignModel(table, index, v.signs)], value < 0 ? 1u : 0u);
        v.signs = ((2 * v.signs) & 7) + sign;
        uint32_t u = detail::magnitudeOf(value);
        const uint32_t L = c.tree(m + vectorLengthBase(table, b, f, index, v.length), 4, bitLength(u) - 1);
        v.length = L;
        if (L > kMaxVectorLength) {
            bad = true;
            return 0;
        }
        u = (1u << L) | codeBitsMsbFirst(c, m + vectorBitModel(table, b, L, index, 0), L, u);
        return static_cast<int32_t>(withSign(u, sign));
    }

    // Quantiser j (0 intra, 1 inter) as its difference from the prediction,
    // written to `slot`.
    DEV_INLINE uint32_t quantiser(int j, bink2::Stream slot) {
        QuantiserState& qs = row.quantisers[j];
        const QuantiserTables& t = j ? kInterQuantiser : kIntraQuantiser;
        const uint32_t p = qs.prediction;
        const int32_t delta = static_cast<int32_t>(takeByte(slot, kMaxQuantiser)) - static_cast<int32_t>(p);
        uint32_t q = p;
        if (c.bit(m[quantiserZeroModel(t, p, row.context, qs.zeros)], delta == 0 ? 1u : 0u)) {
            qs.zeros = (2 * qs.zeros + 1) & 7;
            qs.signs = (2 * qs.signs) & 31;
            qs.length = 0;
        } else {
            qs.zeros = (2 * qs.zeros) & 7;
            const uint32_t sign = c.bit(m[quantiserSignModel(t, p, qs.signs)], delta < 0 ? 1u : 0u);
            qs.signs = (2 * qs.signs + sign) & 31;
            uint32_t u = detail::magnitudeOf(delta);
            const uint32_t length = c.tree(m + quantiserLengthBase(t, qs.signs, p, qs.length), 3, bitLength(u) - 1);
            qs.length = length;
            if (length > kMaxQuantiserLength) {
                bad = true;
                return p;
            }
            u = (1u << length) |
                c.tree(m + quantiserBitsBase(t, p, length, sign), static_cast<int>(length), u & ((1u << length) - 1));
            const int32_t value = static_cast<int32_t>(p) + static_cast<int32_t>(withSign(u, sign));
            if (value < 0 || value > static_cast<int32_t>(kMaxQuantiser)) {
                bad = true;
                return p;
            }
            q = static_cast<uint32_t>(value);
        }
        C::emit8(out(slot), q);
        return q;
    }

    VideoState& st;
    const Geometry& g;
};

}  // namespace dev::b2video
