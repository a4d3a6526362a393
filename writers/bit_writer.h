// Least-significant-bit-first bit writer shared by the Bink bitstream writers.
//
// Bink video bitstreams are read as a sequence of 32-bit little-endian words,
// each consumed from its lowest bit up, so stream bit k is bit (k mod 8) of
// byte k / 8.  The writer gathers bits in a 32-bit accumulator and stores a
// word only when the next field no longer fits: a full accumulator (fill 32)
// is a legal resting state, which matters because flush() always stores
// exactly one more word and a plane that ends on a word boundary must not grow
// an empty word.
//
// The writer never stores past `end`; a word that does not fit sets
// `overflow` instead, and the caller turns that into a failure.  The check
// costs one compare per stored word, not per field.
#pragma once

#include <cstdint>

#include "core/little_endian.h"

namespace dev {

struct BitWriter {
    uint8_t* out = nullptr;
    uint8_t* end = nullptr;
    uint32_t acc = 0;
    uint32_t fill = 0;  // 0..32 bits held in acc
    bool overflow = false;

    BitWriter() = default;
    // Writes from begin on, never at limit or beyond, starting empty.
    BitWriter(uint8_t* begin, uint8_t* limit) : out(begin), end(limit) {}

    // Appends the n low bits of value (n 0..32, value < 2^n), lowest first.
    inline void put(uint32_t value, uint32_t n) {
        uint64_t wide = uint64_t(acc) | (uint64_t(value) << fill);
        fill += n;
        if (fill > 32) {
            storeWord(static_cast<uint32_t>(wide));
            wide >>= 32;
            fill -= 32;
        }
        acc = static_cast<uint32_t>(wide);
    }

    // Stores the accumulator as a whole word, whatever its fill (also 0).
    inline void flush() {
        storeWord(acc);
        acc = 0;
        fill = 0;
    }

private:
    inline void storeWord(uint32_t w) {
        if (end - out >= 4) {
            storeLe32(out, w);
            out += 4;
        } else {
            overflow = true;
        }
    }
};

}  // namespace dev
