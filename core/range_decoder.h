// Adaptive binary range decoder, bit models and the shared tree and integer codes.
//
// Every coded element of a DEV stream is a sequence of binary decisions.  The
// decoder is a small value type: each chunk gets its own decoder, each coding
// context its own model array.  decodeBit() is the innermost operation of the
// whole program, so everything here is inline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/bits.h"

#if defined(__GNUC__)
#define DEV_INLINE inline __attribute__((always_inline))
#else
#define DEV_INLINE inline
#endif

namespace dev {

// A bit model: the probability, in 1/65536, that the next decision is 0,
// stored as its difference (XOR) from the start probability of one half.
// Zeroed memory is therefore a set of fresh models: a model set taken from
// fresh pages needs no filling, and pages whose models are never used are
// never touched.  Read and write models only through the coder's helpers.
using BitModel = uint16_t;

constexpr uint32_t kStartProbability = 0x8000;
constexpr BitModel kModelStart = 0;  // a fresh model as stored
constexpr int kModelShift = 6;           // adaptation rate 1/64
constexpr uint32_t kTopValue = 1u << 24;  // normalise while range is below this

DEV_INLINE constexpr uint32_t probabilityOf(BitModel m) { return m ^ kStartProbability; }
DEV_INLINE constexpr BitModel modelWith(uint32_t probability) {
    return static_cast<BitModel>(probability ^ kStartProbability);
}

// The probability a model moves to after a 0 or a 1.
DEV_INLINE constexpr uint32_t afterZero(uint32_t p) { return p + ((65535u - p) >> kModelShift); }
DEV_INLINE constexpr uint32_t afterOne(uint32_t p) { return p - (p >> kModelShift); }

// Asks for the cache line of a model that a later decision will use, so that
// its load overlaps the decisions before it.  Only a hint: results never
// depend on it, and compilers without the builtin get nothing.
DEV_INLINE void prefetchModel(const BitModel* m) {
#if defined(__GNUC__)
    __builtin_prefetch(m, 1, 3);
#else
    (void)m;
#endif
}

// Sets a model array to the start probability (one half).
inline void resetModels(BitModel* models, size_t count) { std::memset(models, 0, count * sizeof(BitModel)); }

// Layout of one IntegerModels block (69 models).
struct IntegerModels {
    static constexpr int kZero = 0;       // zero flag
    static constexpr int kSign = 1;       // 1..4: sign under a two-bit sign history
    static constexpr int kExponent = 5;   // exponent tree node k at 5 + k (k = 1..31)
    static constexpr int kMantissa = 37;  // mantissa context t at 37 + t (t = 1..31)
    static constexpr int kSize = 69;
};

// Next mantissa context of the integer code: a binary tree over the first four
// mantissa bits, then bit 4 and the first three bits with the newest bit below.
DEV_INLINE uint32_t nextMantissaContext(uint32_t t, uint32_t bit) {
    return t < 16 ? 2 * t + bit : (t & 0x1E) | bit;
}

struct RangeDecoder {
    uint32_t code = 0;
    uint32_t range = 0xFFFFFFFFu;
    const uint8_t* position = nullptr;
    const uint8_t* end = nullptr;

    // Starts on a chunk.  The code takes up to four bytes, big-endian; missing
    // low-order bytes count as 0.
    DEV_INLINE void init(const uint8_t* chunk, size_t length) {
        end = chunk + length;
        position = chunk;
        code = 0;
        for (int i = 0; i < 4; ++i) code = (code << 8) | nextByte();
        range = 0xFFFFFFFFu;
    }

    // Past the end of its chunk the decoder takes zero bytes: a corrupt chunk
    // yields wrong decisions, never a read outside the chunk.
    DEV_INLINE uint32_t nextByte() {
        if (position < end) return *position++;
        return 0;
    }

    // Brings the range back to at least kTopValue, a byte at a time.
    DEV_INLINE void normalise() {
        while (range < kTopValue) {
            code = (code << 8) | nextByte();
            range <<= 8;
        }
    }

    DEV_INLINE uint32_t decodeBit(BitModel& model) {
        normalise();
        const uint32_t p = probabilityOf(model);
        const uint32_t bound = static_cast<uint32_t>((uint64_t(range) * p) >> 16);
        if (code < bound) {
            range = bound;
            model = modelWith(afterZero(p));
            return 0;
        }
        code -= bound;
        range -= bound;
        model = modelWith(afterOne(p));
        return 1;
    }

    // The same decision without a branch on its outcome, for decisions that
    // are close to even (signs, low mantissa bits, tree nodes): a branch on
    // them is mispredicted about half the time, which costs more than working
    // out both outcomes and selecting one.  Results are those of decodeBit().
    DEV_INLINE uint32_t decodeEvenBit(BitModel& model) {
        normalise();
        const uint32_t p = probabilityOf(model);
        const uint32_t bound = static_cast<uint32_t>((uint64_t(range) * p) >> 16);
        const uint32_t bit = code >= bound ? 1u : 0u;
        const uint32_t mask = 0u - bit;
        code -= bound & mask;
        range = bound ^ ((bound ^ (range - bound)) & mask);
        const uint32_t zero = modelWith(afterZero(p)), one = modelWith(afterOne(p));
        model = static_cast<BitModel>(zero ^ ((zero ^ one) & mask));
        return bit;
    }

    // n-bit tree, most significant bit first; node k uses models[k].
    DEV_INLINE uint32_t decodeTree(BitModel* models, int n) {
        uint32_t node = 1;
        for (int i = 0; i < n; ++i) node = 2 * node + decodeBit(models[node]);
        return node - (1u << n);
    }
    // The same tree for values spread evenly enough that its node decisions
    // are better decoded without branches.
    DEV_INLINE uint32_t decodeEvenTree(BitModel* models, int n) {
        uint32_t node = 1;
        for (int i = 0; i < n; ++i) node = 2 * node + decodeEvenBit(models[node]);
        return node - (1u << n);
    }

    // The shared integer code on one IntegerModels block.  signHistory is read
    // and updated only when isSigned is true.
    DEV_INLINE int32_t decodeInteger(BitModel* block, uint8_t& signHistory, bool isSigned) {
        if (decodeBit(block[IntegerModels::kZero])) return 0;
        uint32_t s = 0;
        if (isSigned) {
            s = decodeBit(block[IntegerModels::kSign + signHistory]);
            signHistory = static_cast<uint8_t>(((signHistory * 2) + s) & 3);
        }
        uint32_t node = 1;
        for (int i = 0; i < 5; ++i) node = 2 * node + decodeBit(block[IntegerModels::kExponent + node]);
        const uint32_t e = node & 31;
        uint32_t v = 0, t = 1;
        for (uint32_t i = 0; i < e; ++i) {
            const uint32_t b = decodeBit(block[IntegerModels::kMantissa + t]);
            v |= b << i;
            t = nextMantissaContext(t, b);
        }
        const uint32_t magnitude = (1u << e) + v;
        return static_cast<int32_t>(withSign(magnitude, s));
    }
};

}  // namespace dev
