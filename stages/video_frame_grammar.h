// Element grammar of the Bink 1 video frame chunks, written once for both
// directions (see core/coder.h).
//
// One chunk carries one Bink 1 video packet minus its DCT data and bundle chunk
// counts: the packet record (size word, coded-or-stored byte, alpha word or the
// stored bytes), then per plane the 23 bundle tree descriptions and the type
// and content of every block.  The values go to the twelve sub-streams of
// vframe::kOutputs (writers/bink1/streams.h names them), in the order the
// frame writer consumes them.
//
// The block contents live in stages/block_content_grammar.h; this header holds
// the frame layer, the plane trees and the block-type model.
#pragma once

#include <cstdint>
#include <cstring>

#include "stages/block_content_grammar.h"
#include "writers/bink1/walks.h"

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
        uint32_t size = C::take32(s[bink1::kPacketRecords]);
        size = st.previousSize + static_cast<uint32_t>(
            c.integer(m + kPacketSize, st.sizeSigns, true, static_cast<int32_t>(size - st.previousSize)));
        C::emit32(s[bink1::kPacketRecords], size);
        const uint32_t stored = this->flag(bink1::kPacketRecords, kStoredFlag);
        if (bad) return false;
        if (stored) return storedPacket(size);

        st.previousSize = size;
        if (st.hasAlpha) {
            if (!plane(kAlpha, st.lumaColumns, st.lumaRows)) return false;
            uint32_t alpha = C::take32(s[bink1::kPacketRecords]);
            alpha = st.previousAlpha + static_cast<uint32_t>(c.integer(m + kAlphaValue, st.alphaSigns, true,
                                                                       static_cast<int32_t>(alpha - st.previousAlpha)));
            C::emit32(s[bink1::kPacketRecords], alpha);
            st.previousAlpha = alpha;
        }
        if (!plane(kLuma, st.lumaColumns, st.lumaRows)) return false;
        if (!st.grayscale) {
            if (!plane(kChromaU, st.chromaColumns, st.chromaRows)) return false;
            if (!plane(kChromaV, st.chromaColumns, st.chromaRows)) return false;
        }
        return !bad;
    }

    // The 23 bundle tree descriptions of one plane, plane kind k: the tree
    // description's walk (writers/bink1/walks.h) with each field coded
    // under its contexts: the tree t, its selector v (the code row), the
    // previous tree's selector e, the last two list values s and a merge
    // history per selector value.
    void planeTrees(uint32_t k) {
        struct TreeContexts {
            FrameGrammar& g;
            uint32_t k;
            uint32_t t = 0, e = 0, v = 0, s = 0, h = 0;
            uint8_t history[16] = {};

            DEV_INLINE uint32_t row() { return e = v = g.field(bink1::kTrees, treeSelectorBase(e, k, t), 4); }
            DEV_INLINE uint32_t explicitList() { return g.flag(bink1::kTrees, treeKindModel(t, v)); }
            DEV_INLINE uint32_t listLength() { return g.field(bink1::kTrees, treeLengthBase(t, v), 3); }
            DEV_INLINE uint32_t listValue() {
                const uint32_t x = g.field(bink1::kTrees, treeSymbolBase(s, t), 4);
                s = (16 * s + x) & 255;
                return x;
            }
            DEV_INLINE uint32_t mergePasses() {
                h = history[v];
                return g.field(bink1::kTrees, treeMergeCountBase(t, v), 2);
            }
            DEV_INLINE uint32_t mergeBit(uint32_t pass) {
                const uint32_t bit = g.flag(bink1::kTrees, treeMergeModel(pass, t, h));
                h = (2 * h + bit) & 255;
                history[v] = static_cast<uint8_t>(h);
                return bit;
            }
            // The stage carries any list; the writer refuses a repeated value.
            DEV_INLINE void expect(bool, const char*) {}
        } fields{*this, k};
        uint8_t order[16];
        for (fields.t = 0; fields.t < kTreeSlots; ++fields.t) bink1::treeOrder(fields, order);
    }

    // One block-type symbol (bink1::kSymbolContent) under the contexts of
    // its neighbourhood; bink1::kNoSymbol when the decoder meets a code that
    // is no block type.  f is the encoder's symbol.
    DEV_INLINE uint32_t blockSymbol(uint32_t f, uint32_t previous, uint32_t a, uint32_t a1) {
        const uint32_t j = previous + 256 * a;
        const uint32_t path = c.bit(m[blockPathModel(st.history5, a1, j)], bink1::isScaledSymbol(f) ? 1 : 0);
        if (path == 0) {
            st.history5 = (2 * st.history5) & 31;
            f = c.tree(m + blockTreeBase(a1, j), 4, f);
            return f < bink1::kSymbolCount ? f : bink1::kNoSymbol;
        }
        st.history5 = (2 * st.history5 + 1) & 31;
        // Unary: the 1 on model q + i gives the i-th scaled symbol.  The
        // first decision has a branch of its own: its odds differ from the
        // others', and the branch predictor follows it better apart.
        const uint32_t q = blockUnaryBase(j);
        if (c.bit(m[q], f == bink1::kFirstScaledSymbol ? 1 : 0)) return bink1::kFirstScaledSymbol;
        for (uint32_t i = 1; i < kUnaryModels; ++i)
            if (c.bit(m[q + i], f == bink1::kFirstScaledSymbol + i ? 1 : 0)) return bink1::kFirstScaledSymbol + i;
        return bink1::kNoSymbol;
    }

private:
    bool plane(uint32_t k, uint32_t columns, uint32_t rows) {
        planeTrees(k);
        return blockLoop(k, columns, rows) && !bad;
    }

    // The encoder's symbol for the next block of row r (block and sub-block
    // types).  Scaled blocks start on even rows only: on an odd row the frame
    // writer takes a scaled type as the lower half of the block above,
    // without a sub-type.
    uint32_t takeSymbol(uint32_t r) {
        if constexpr (C::kEncoding) {
            const uint32_t type = C::take8(s[bink1::kBlockTypes]);
            if (type == bink1::kScaledBlock) {
                if (r & 1) return bink1::kNoSymbol;
                return bink1::scaledSymbol(C::take8(s[bink1::kSubBlockTypes]));
            }
            return bink1::singleSymbol(type);
        } else {
            (void)r;
            return 0;
        }
    }

    bool blockLoop(uint32_t k, uint32_t columns, uint32_t rows) {
        if (columns > bink1::kMaxBlockColumns) return false;
        // Rows without columns hold nothing; a damaged height must not make
        // the loop below spin through them.
        if (columns == 0) return !bad;
        uint8_t* above = st.above;
        std::memset(above, 0, columns + 16);
        uint32_t previous = 0;
        for (uint32_t r = 0; r < rows; ++r) {
            // Every block position puts at least one value into the block types,
            // so a grid larger than its data ends here, row by row.
            if (this->exhausted(bink1::kBlockTypes) || bad) return false;
            st.history5 = 32;
            uint32_t x = 0;
            while (x < columns) {
                const uint32_t a = above[x];
                const uint32_t a1 = above[x + 1];
                if ((r & 1) && bink1::isScaledSymbol(a)) {
                    // Lower half of a scaled block of the row above.
                    if constexpr (C::kEncoding) {
                        if (C::take8(s[bink1::kBlockTypes]) != bink1::kScaledBlock) bad = true;
                    }
                    this->emit(bink1::kBlockTypes, bink1::kScaledBlock);
                    above[x + 1] = static_cast<uint8_t>(a);
                    previous = 17 * a;
                    x += 2;
                    continue;
                }
                uint32_t f = takeSymbol(r);
                if (f == bink1::kNoSymbol) return false;  // encoder only
                f = blockSymbol(f, previous, a, a1);
                if (f == bink1::kNoSymbol) return false;
                // A scaled block never starts on an odd row: the frame writer
                // would take its type as a lower half and leave the sub-type
                // behind, shifting every later one.  Only damage gets here.
                if ((r & 1) && bink1::isScaledSymbol(f)) return false;
                const uint32_t type = bink1::kSymbolContent[f];
                if (!bink1::isScaledSymbol(f)) {
                    above[x] = static_cast<uint8_t>(f);
                    previous = 17 * f;
                    this->emit(bink1::kBlockTypes, type);
                    this->content(type, x, r, columns, rows, k);
                    x += 1;
                } else {
                    previous = 16 * f + a1;
                    above[x] = above[x + 1] = static_cast<uint8_t>(f);
                    this->emit(bink1::kBlockTypes, bink1::kScaledBlock);
                    this->emit(bink1::kSubBlockTypes, type);
                    this->content(type, x, r, columns, rows, k);
                    x += 2;
                }
            }
        }
        return !bad;
    }

    bool storedPacket(uint32_t size) {
        uint32_t count = C::take32(s[bink1::kPacketRecords]);
        count = st.previousSize + static_cast<uint32_t>(
            c.integer(m + kPacketSize, st.sizeSigns, true, static_cast<int32_t>(count - st.previousSize)));
        C::emit32(s[bink1::kPacketRecords], count);
        st.previousSize = size;
        // The count is checked before the bytes: a damaged count must neither
        // run past the sub-stream nor keep the decoder busy.
        if (!this->hasRoom(bink1::kPacketRecords, count)) return false;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t byte = C::take8(s[bink1::kPacketRecords]);
            byte = c.tree(m + kStoredByte, 8, byte);
            C::emit8(s[bink1::kPacketRecords], byte);
        }
        return true;
    }
};

}  // namespace dev::vframe
