// Coder policies for element grammars written once for both directions.
//
// A stage's grammar (which decision, under which model, in which order) is a
// template over a coder policy C:
//   - DecodeCoder (here): decisions come from the range decoder; values are
//     emitted into the stage's output sub-streams (ValueWriter);
//   - EncodeCoder (pack/encode_coder.h): values are taken from the packer's
//     sub-streams (ValueReader) and their decisions are range coded.
// The grammar is written as
//     uint32_t v = C::take8(s);        // encoder: next value; decoder: 0
//     v = c.tree(models, 4, v);        // encoder codes v; decoder returns it
//     C::emit8(s, v);                  // decoder writes it; encoder: nothing
// so the decode instance inlines to the plain decoder and the context
// formulas exist in one place only.
#pragma once

#include "core/range_decoder.h"
#include "core/value_stream.h"

namespace dev {

struct DecodeCoder {
    static constexpr bool kEncoding = false;
    using Stream = ValueWriter;

    RangeDecoder rd;

    DEV_INLINE uint32_t bit(BitModel& m, uint32_t /*value*/) { return rd.decodeBit(m); }
    // A decision close to even whose outcome the grammar only uses as data.
    DEV_INLINE uint32_t evenBit(BitModel& m, uint32_t /*value*/) { return rd.decodeEvenBit(m); }
    // A model a later decision will use (see prefetchModel).
    DEV_INLINE void prefetch(const BitModel* m) const { prefetchModel(m); }
    DEV_INLINE uint32_t tree(BitModel* m, int n, uint32_t /*value*/) { return rd.decodeTree(m, n); }
    DEV_INLINE uint32_t evenTree(BitModel* m, int n, uint32_t /*value*/) { return rd.decodeEvenTree(m, n); }
    DEV_INLINE int32_t integer(BitModel* block, uint8_t& history, bool isSigned, int32_t /*value*/) {
        return rd.decodeInteger(block, history, isSigned);
    }

    static DEV_INLINE uint32_t take8(Stream&) { return 0; }
    static DEV_INLINE uint32_t take16(Stream&) { return 0; }
    static DEV_INLINE uint32_t take32(Stream&) { return 0; }
    static DEV_INLINE void emit8(Stream& s, uint32_t v) { s.put8(v); }
    static DEV_INLINE void emit16(Stream& s, uint32_t v) { s.put16(v); }
    static DEV_INLINE void emit32(Stream& s, uint32_t v) { s.put32(v); }
};

}  // namespace dev
