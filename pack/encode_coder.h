// Encoding policy of the shared element grammars (see core/coder.h): values are
// taken from the packer's sub-streams and their decisions range coded.
#pragma once

#include "core/coder.h"
#include "pack/range_encoder.h"

namespace dev {

// Value flow of the packer's side: each value is taken from a sub-stream
// before its decisions are coded, and nothing is emitted.
struct TakesValues {
    static constexpr bool kEncoding = true;
    using Stream = ValueReader;

    static DEV_INLINE uint32_t take8(Stream& s) { return s.get8(); }
    static DEV_INLINE uint32_t take16(Stream& s) { return s.get16(); }
    static DEV_INLINE uint32_t take32(Stream& s) { return s.get32(); }
    static DEV_INLINE void emit8(Stream&, uint32_t) {}
    static DEV_INLINE void emit16(Stream&, uint32_t) {}
    static DEV_INLINE void emit32(Stream&, uint32_t) {}
};

struct EncodeCoder : TakesValues {
    RangeEncoder re;

    explicit EncodeCoder(std::vector<uint8_t>& out) : re(out) {}

    DEV_INLINE uint32_t bit(BitModel& m, uint32_t value) {
        re.encodeBit(m, value);
        return value;
    }
    DEV_INLINE void prefetch(const BitModel* m) const { prefetchModel(m); }
    DEV_INLINE uint32_t tree(BitModel* m, int n, uint32_t value) {
        re.encodeTree(m, n, value);
        return value;
    }
    DEV_INLINE int32_t integer(BitModel* block, uint8_t& history, bool isSigned, int32_t value) {
        re.encodeInteger(block, history, isSigned, value);
        return value;
    }

    void finish() { re.finish(); }
};

// Walks a grammar over the packer's values without coding anything and
// without touching a model: the grammar's own checks then tell whether a
// frame can be coded, before the real encoder's state moves.  Sign histories
// advance as in the encoder, so checks that depend on them see the same state.
struct CheckCoder : TakesValues {
    DEV_INLINE uint32_t bit(BitModel&, uint32_t value) { return value; }
    DEV_INLINE void prefetch(const BitModel*) const {}  // no model is read
    DEV_INLINE uint32_t tree(BitModel*, int, uint32_t value) { return value; }
    DEV_INLINE int32_t integer(BitModel* block, uint8_t& history, bool isSigned, int32_t value) {
        RangeEncoder::integerDecisions(block, history, isSigned, value, [](BitModel&, uint32_t) {});
        return value;
    }
};

}  // namespace dev
