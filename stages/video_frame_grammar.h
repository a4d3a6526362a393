// Element grammar of the Bink 1 video frame chunks, written once for both
// directions (see core/coder.h).
//
// One chunk carries one Bink 1 video packet minus its DCT data and bundle chunk
// counts: the packet record (size word, coded-or-stored byte, alpha word or the
// stored bytes), then per plane the 23 bundle tree descriptions and the type
// and content of every block.  The values go to twelve sub-streams, in the
// order the frame writers consume them (index = sub-stream number - 2):
//   0  block types, Bink numbering 0..9 (a scaled block and its lower half: 1)
//   1  sub-types of scaled blocks
//   2  residue mask counts (7 bits)
//   3  colours, including the 64 pixels of raw blocks
//   4  run values
//   5  run scan indices and run fill flags
//   6  y offsets, signed bytes
//   7  x offsets, signed bytes
//   8  pattern bytes
//   9  packet records: int32 size, byte stored flag, then int32 alpha value
//      (coded, alpha files) or int32 byte count and the bytes (stored)
//   10 tree description fields
//   11 residue fields: start exponent, then one byte per decision
//
// The block contents live in stages/block_content_grammar.h; this header holds
// the frame layer, the plane trees and the block-type model.
#pragma once

#include <cstdint>
#include <cstring>

#include "stages/block_content_grammar.h"

namespace dev::vframe {

template <class C>
class FrameGrammar : public ContentGrammar<C> {
public:
    using Base = ContentGrammar<C>;
    using Base::Base;
    using Base::bad;
    using Base::c;
    using Base::m;
    using Base::st;
    using Base::s;
    using typename Base::Stream;

    // One video packet.  false when the packet cannot be carried: the encoder
    // met values outside the grammar, or the decoder met a symbol that is no
    // block type, a plane too wide, or a stored size beyond its sub-stream.
    bool packet() {
        uint32_t size = C::take32(s[kPackets]);
        size = st.previousSize + static_cast<uint32_t>(
            c.integer(m + kPacketSize, st.sizeSigns, true, static_cast<int32_t>(size - st.previousSize)));
        C::emit32(s[kPackets], size);
        const uint32_t stored = this->flag(kPackets, kStoredFlag);
        if (bad) return false;
        if (stored) return storedPacket(size);

        st.previousSize = size;
        if (st.hasAlpha) {
            if (!plane(kAlpha, st.lumaColumns, st.lumaRows)) return false;
            uint32_t alpha = C::take32(s[kPackets]);
            alpha = st.previousAlpha + static_cast<uint32_t>(c.integer(m + kAlphaValue, st.alphaSigns, true,
                                                                       static_cast<int32_t>(alpha - st.previousAlpha)));
            C::emit32(s[kPackets], alpha);
            st.previousAlpha = alpha;
        }
        if (!plane(kLuma, st.lumaColumns, st.lumaRows)) return false;
        if (!st.grayscale) {
            if (!plane(kChromaU, st.chromaColumns, st.chromaRows)) return false;
            if (!plane(kChromaV, st.chromaColumns, st.chromaRows)) return false;
        }
        return !bad;
    }

    // The 23 bundle tree descriptions of one plane (sub-stream 12).
    void planeTrees(uint32_t k) {
        uint32_t e = 0, sym = 0;
        uint8_t hist[16] = {};
        for (uint32_t t = 0; t < 23; ++t) {
            const uint32_t v = this->field(kTrees, treeSelectorBase(e, k, t), 4);
            e = v;
            if (v == 0) continue;  // identity tree
            const uint32_t u = 16 * t + v;
            if (this->flag(kTrees, kTreeKind + u)) {
                const uint32_t last = this->field(kTrees, kTreeLength + 8 * u, 3);
                for (uint32_t i = 0; i <= last; ++i) {
                    const uint32_t x = this->field(kTrees, treeSymbolBase(sym, t), 4);
                    sym = (16 * sym + x) & 255;
                }
            } else {
                const uint32_t passes = this->field(kTrees, kTreeMergeCount + 4 * u, 2);
                uint32_t h = hist[v];
                for (uint32_t i = 0; i <= passes; ++i) {
                    const uint32_t size = 1u << i;
                    for (uint32_t start = 0; start < 16; start += 2 * size) {
                        uint32_t first = 0, second = 0;
                        while (first < size && second < size) {
                            const uint32_t bit = this->flag(kTrees, treeMergeModel(i, t, h));
                            h = (2 * h + bit) & 255;
                            if (bit) ++second;
                            else ++first;
                        }
                    }
                }
                hist[v] = static_cast<uint8_t>(h);
            }
        }
    }

    // One block-type symbol (0..13) under the contexts of its neighbourhood;
    // kNoSymbol when the decoder meets a code that is no block type.  f is
    // the encoder's symbol.
    DEV_INLINE uint32_t blockSymbol(uint32_t f, uint32_t previous, uint32_t a, uint32_t a1) {
        const uint32_t j = previous + 256 * a;
        const uint32_t path = c.bit(m[blockPathModel(st.history5, a1, j)], f >= kFirstScaledSymbol ? 1 : 0);
        if (path == 0) {
            st.history5 = (2 * st.history5) & 31;
            f = c.tree(m + blockTreeBase(a1, j), 4, f);
            return f < kSymbolCount ? f : kNoSymbol;
        }
        st.history5 = (2 * st.history5 + 1) & 31;
        const uint32_t q = blockUnaryBase(j);
        if (c.bit(m[q], f == kFirstScaledSymbol ? 1 : 0)) return kFirstScaledSymbol;
        for (uint32_t i = 0; i + 1 < kUnaryModels; ++i)
            if (c.bit(m[q + 1 + i], f == kFirstScaledSymbol + 1 + i ? 1 : 0)) return kFirstScaledSymbol + 1 + i;
        return kNoSymbol;
    }

private:
    bool plane(uint32_t k, uint32_t columns, uint32_t rows) {
        planeTrees(k);
        return blockLoop(k, columns, rows) && !bad;
    }

    // The encoder's symbol for the next block of row r (sub-streams 2 and 3).
    // Scaled blocks start on even rows only: on an odd row the frame writer
    // takes type 1 as the lower half of the block above, without a sub-type.
    uint32_t takeSymbol(uint32_t r) {
        if constexpr (C::kEncoding) {
            const uint32_t type = C::take8(s[kTypes]);
            if (type == 1) {
                if (r & 1) return kNoSymbol;
                const uint32_t sub = C::take8(s[kSubTypes]);
                return sub < 16 ? kScaledSymbol[sub] : kNoSymbol;
            }
            return type < 16 ? kSingleSymbol[type] : kNoSymbol;
        } else {
            (void)r;
            return 0;
        }
    }

    bool blockLoop(uint32_t k, uint32_t columns, uint32_t rows) {
        if (columns > kMaxColumns) return false;
        // Rows without columns hold nothing; a damaged height must not make
        // the loop below spin through them.
        if (columns == 0) return !bad;
        uint8_t* above = st.above;
        std::memset(above, 0, columns + 16);
        uint32_t previous = 0;
        for (uint32_t r = 0; r < rows; ++r) {
            // Every block position puts at least one value into sub-stream 2,
            // so a grid larger than its data ends here, row by row.
            if (this->exhausted(kTypes) || bad) return false;
            st.history5 = 32;
            uint32_t x = 0;
            while (x < columns) {
                const uint32_t a = above[x];
                const uint32_t a1 = above[x + 1];
                if ((r & 1) && a >= kFirstScaledSymbol) {
                    // Lower half of a scaled block of the row above.
                    if constexpr (C::kEncoding) {
                        if (C::take8(s[kTypes]) != 1) bad = true;
                    }
                    this->emit(kTypes, 1);
                    above[x + 1] = static_cast<uint8_t>(a);
                    previous = 17 * a;
                    x += 2;
                    continue;
                }
                uint32_t f = takeSymbol(r);
                if (f == kNoSymbol) return false;  // encoder only
                f = blockSymbol(f, previous, a, a1);
                if (f == kNoSymbol) return false;
                // A scaled block never starts on an odd row: the frame writer
                // would take its type 1 as a lower half and leave the sub-type
                // behind, shifting every later one.  Only damage gets here.
                if ((r & 1) && f >= kFirstScaledSymbol) return false;
                const uint32_t type = kSymbolType[f];
                if (type < kScaled) {
                    above[x] = static_cast<uint8_t>(f);
                    previous = 17 * f;
                    this->emit(kTypes, type);
                    this->content(type, x, r, columns, rows, k);
                    x += 1;
                } else {
                    previous = 16 * f + a1;
                    above[x] = above[x + 1] = static_cast<uint8_t>(f);
                    this->emit(kTypes, 1);
                    this->emit(kSubTypes, type - kScaled);
                    this->content(type - kScaled, x, r, columns, rows, k);
                    x += 2;
                }
            }
        }
        return !bad;
    }

    bool storedPacket(uint32_t size) {
        uint32_t count = C::take32(s[kPackets]);
        count = st.previousSize + static_cast<uint32_t>(
            c.integer(m + kPacketSize, st.sizeSigns, true, static_cast<int32_t>(count - st.previousSize)));
        C::emit32(s[kPackets], count);
        st.previousSize = size;
        // The count is checked before the bytes: a damaged count must neither
        // run past the sub-stream nor keep the decoder busy.
        if (!this->hasRoom(kPackets, count)) return false;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t byte = C::take8(s[kPackets]);
            byte = c.tree(m + kStoredByte, 8, byte);
            C::emit8(s[kPackets], byte);
        }
        return true;
    }
};

}  // namespace dev::vframe
