// The variable-length codes of the Bink 2 frame bitstream, each written once
// for both bit directions (writers/bit_direction.h): the writer passes the
// value and gets it back, the parser passes anything and gets what the
// packet holds.
#pragma once

#include <cstdint>

#include "core/bits.h"
#include "writers/bink2/tables.h"
#include "writers/bit_direction.h"

namespace dev::bink2 {

// What a value taken from a sub-stream stands for.  The writer and the parser
// ignore it; a generating policy draws the value by it.
enum class Value : uint8_t {
    kListMode, kListFlags, kType, kVectorCount, kVector, kQuantiser,
    kExtraBit, kChromaChoice, kDc, kChromaPresent, kCoefficients,
};

// A policy that draws values instead of taking them (the test generator)
// says so with a member kGenerating and takes the kind and a hint along.
template <class D>
inline constexpr bool kGenerating = requires { D::kGenerating; };

template <class D>
DEV_INLINE uint32_t take8(typename D::Values& s, Value what, int32_t hint = 0) {
    if constexpr (kGenerating<D>) return D::take8(s, what, hint);
    else return D::take8(s);
}
template <class D>
DEV_INLINE int32_t take16s(typename D::Values& s, Value what, int32_t hint = 0) {
    if constexpr (kGenerating<D>) return static_cast<int16_t>(D::take16(s, what, hint));
    else return static_cast<int16_t>(D::take16(s));
}

// Cases of the syntax worth seeing exercised.  A policy with a member
// note(uint32_t) hears of each as it passes (the test generator counts them);
// the writer and the parser have none, and the calls compile away.
namespace cases {
enum : uint32_t {
    kKeyFrame, kInterFrame,
    kTypeAt,                                   // + 4 x place in the recency list + type
    kOneVector = kTypeAt + 16, kFourVectors,
    kVectorZero, kVectorSmall,                 // + 2 x (|v| - 1) + negative, |v| 1..7
    kVectorGeneral = kVectorSmall + 14,        // 8..16382
    kVector16383, kVectorEscaped, kVectorLargest,
    kQuantiserDelta,                           // + 2 x |delta| + negative, |delta| 0..36
    kPatternEmpty = kQuantiserDelta + 74, kPatternNibbles, kPatternWhole, kPatternInverted, kPatternBare,
    kExtraBit0, kExtraBit1, kChromaPredicted, kChromaExplicit, kResidueChroma, kNoResidueChroma,
    kDcAllZero, kDcKept, kDcValue,             // + |dc| 0..4
    kDcLarge = kDcValue + 5,                   // |dc| >= 256
    kSkipA, kSkipB = kSkipA + kSkipEntries,    // + entry
    kCount = kSkipB + kSkipEntries,            // + coefficient count 0..kMaxCoefficients
    kLargeCoefficient = kCount + kMaxCoefficients + 1,  // |value| >= 512
    kRowList, kColumnList, kRawList, kRunList, kRunStopped, kRunFull, kRunEndsList, kLiteral, kShortLiteral,
    kAlphaLeftOut,                             // a frame of an extended file without its alpha plane
    kCaseCount
};
}  // namespace cases

template <class D>
DEV_INLINE void note(D& d, uint32_t c) {
    if constexpr (requires { d.note(c); }) d.note(c);
}

inline uint32_t magnitudeOf(int32_t v) { return static_cast<uint32_t>(v < 0 ? -v : v); }

template <class D>
struct Codes {
    // `count` bits of value 1 - stop, then a stop bit; a count of `cap` has
    // no stop bit.
    static DEV_INLINE uint32_t prefix(D& d, uint32_t count, uint32_t stop, uint32_t cap) {
        if constexpr (D::kWriting) {
            d.expect(count <= cap, "a code longer than its limit");
            if (count > cap) count = cap;
            const uint32_t run = stop ? 0 : (1u << count) - 1;
            if (count == cap) d.field(run, count);
            else d.field(run | (stop << count), count + 1);
            return count;
        } else {
            uint32_t c = 0;
            while (c < cap && d.field(0, 1) != stop) ++c;
            return c;
        }
    }

    // A magnitude x: up to `direct` it is x one bits and a zero; above, with
    // b = x - (direct - 1) and k = bitLength(b), k + direct - 1 one bits, a
    // zero and the k - 1 low bits of b.  A parsed code with `cap` ones is not
    // ours (no magnitude of a 16-bit value needs as many).
    static DEV_INLINE uint32_t magnitude(D& d, uint32_t x, uint32_t direct, uint32_t cap) {
        uint32_t ones = x, b = 0;
        if constexpr (D::kWriting) {
            if (x > direct) {
                b = x - (direct - 1);
                ones = bitLength(b) + direct - 1;
            }
        }
        ones = prefix(d, ones, 0, cap);
        if constexpr (!D::kWriting) d.expect(ones < cap, "a magnitude code without its end");
        if (ones <= direct) return ones;
        const uint32_t k = ones - (direct - 1);
        b = (1u << (k - 1)) | d.field(b & ((1u << (k - 1)) - 1), k - 1);
        return b + direct - 1;
    }

    // A signed value: the magnitude |v| - base as above, then its sign (1 for
    // negative) unless the value is 0.  The writer puts the short codes
    // (magnitudes up to `direct`) in one go.
    static DEV_INLINE int32_t signedValue(D& d, int32_t v, uint32_t base, uint32_t direct, uint32_t cap) {
        if constexpr (D::kWriting) {
            const uint32_t x = magnitudeOf(v) - base;
            if (x <= direct) {
                if (v == 0) d.field(0, 1);
                else d.field(((1u << x) - 1) | uint32_t(v < 0) << (x + 1), x + 2);
                return v;
            }
        }
        const uint32_t m = magnitude(d, magnitudeOf(v) - base, direct, cap) + base;
        const uint32_t negative = m ? d.field(v < 0, 1) : 0;
        return negative ? -int32_t(m) : int32_t(m);
    }

    // Entry e of a prefix code.  The parser matches bit by bit; a bit string
    // that is no entry gives `N` and a mismatch.
    template <int N>
    static DEV_INLINE uint32_t symbol(D& d, const PrefixCode<N>& t, uint32_t e) {
        if constexpr (D::kWriting) {
            d.field(t.code[e], t.length[e]);
            return e;
        } else {
            uint32_t bits = 0, longest = 0;
            for (int i = 0; i < N; ++i) longest = t.length[i] > longest ? t.length[i] : longest;
            for (uint32_t len = 1; len <= longest; ++len) {
                bits |= d.field(0, 1) << (len - 1);
                for (int i = 0; i < N; ++i)
                    if (t.length[i] == len && t.code[i] == bits) return static_cast<uint32_t>(i);
            }
            d.expect(false, "a bit string that is no code");
            return N;
        }
    }

    // A byte that stands for one bit.
    static DEV_INLINE uint32_t flag(D& d, typename D::Values& s, Value what, int32_t hint = 0) {
        uint32_t v = take8<D>(s, what, hint);
        d.expect(v <= 1, "a flag value above 1");
        v = d.field(v & 1, 1);
        D::emit8(s, v);
        return v;
    }
};

}  // namespace dev::bink2
