// Small codes built from decisions that several element grammars share,
// written for any coder policy (see core/coder.h), and the check that a
// grammar's sub-stream ran full (decoding) or dry (encoding).
#pragma once

#include <cstdint>

#include "core/range_decoder.h"

namespace dev {

// A decision close to even whose outcome the grammar uses only as data (a
// sign, a mantissa bit): decoded without a branch where the coder can (see
// RangeDecoder::decodeEvenBit); any other coder codes it as a plain decision.
template <class C>
DEV_INLINE uint32_t codeEvenBit(C& c, BitModel& m, uint32_t value) {
    if constexpr (requires { c.evenBit(m, value); }) return c.evenBit(m, value);
    else return c.bit(m, value);
}

// An n-bit tree of evenly spread values (see RangeDecoder::decodeEvenTree).
template <class C>
DEV_INLINE uint32_t codeEvenTree(C& c, BitModel* m, int n, uint32_t value) {
    if constexpr (requires { c.evenTree(m, n, value); }) return c.evenTree(m, n, value);
    else return c.tree(m, n, value);
}

// A bounded unary length: the index of the first 1 among at most `limit`
// decisions base[0], base[1], ...  Returns limit (no valid length) when all
// of them are 0, which only damaged data give.  value: the encoder's length.
template <class C>
DEV_INLINE uint32_t codeUnary(C& c, BitModel* base, uint32_t limit, uint32_t value) {
    for (uint32_t k = 0; k < limit; ++k)
        if (c.bit(base[k], k == value ? 1u : 0u)) return k;
    return limit;
}

// The same with its decisions stored in two runs: the first `split` under
// first[0], first[1], ..., the others under rest[0], rest[1], ...
template <class C>
DEV_INLINE uint32_t codeUnary(C& c, BitModel* first, uint32_t split, BitModel* rest, uint32_t limit, uint32_t value) {
    for (uint32_t k = 0; k < split; ++k)
        if (c.bit(first[k], k == value ? 1u : 0u)) return k;
    for (uint32_t k = split; k < limit; ++k)
        if (c.bit(rest[k - split], k == value ? 1u : 0u)) return k;
    return limit;
}

// `bits` bits of value, most significant first, the k-th decided under base[k].
template <class C>
DEV_INLINE uint32_t codeBitsMsbFirst(C& c, BitModel* base, uint32_t bits, uint32_t value) {
    uint32_t v = 0;
    for (uint32_t k = 0; k < bits; ++k) {
        const uint32_t shift = bits - 1 - k;
        v |= codeEvenBit(c, base[k], (value >> shift) & 1) << shift;
    }
    return v;
}

// A decoder's output over its capacity, or an encoder's input used up.
template <class S>
DEV_INLINE bool streamFault(const S& s) {
    if constexpr (requires { s.overflow; }) return s.overflow;
    else return s.underflow;
}

}  // namespace dev
