// Element grammar of the Bink 1 DCT block chunks, written once for both
// directions (see core/coder.h).
//
// One chunk carries every DCT-coded 8x8 block of one video packet, plane by
// plane: an end flag before each block (and one closing each plane), then per
// block the quantiser index, the coefficient count, the DC value and the
// coefficient list.  The decoder writes
//   first output  : quantiser index, one byte per block (0..15)
//   second output : DC value, signed 16-bit per block
//   third output  : count n (16-bit, 0..63), then n signed 16-bit
//                   coefficients, the last one non-zero
// The encoder takes the same values from the packer's sub-streams.
//
// Both instances (intra blocks, inter blocks) share this grammar; only the
// inter one codes a DC sign.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/bink_context.h"
#include "core/bits.h"
#include "core/coder.h"
#include "core/grammar_codes.h"
#include "core/models.h"
#include "core/range_decoder.h"
#include "core/sub_streams.h"
#include "core/value_stream.h"
#include "writers/bink1/streams.h"

namespace dev::dct {

// ---- Model table: one flat array, a base per table and the index function
// that is the plain sum of context terms the format defines.  Below them, a
// static_assert per table checks that its largest index (at the largest
// arguments a valid stream can produce) stays below the next base.  Inputs a
// valid stream never holds may run one range into the next; the indices are
// used exactly as written.
//
// Placement: the five coefficient tables (zero flags to magnitude mantissas)
// are not stored as the format numbers them.  There, position i of a list of
// n coefficients is 64i + n inside each context's 4096 models, a square of
// which only i < n is ever reached; it is stored as positionSlot(i, n), the
// pairs packed by count into 2048 places per context (2016 used).  The
// positions of one list then lie side by side, and the table takes 6.8 MB
// instead of 12.9 (bench/model_footprint: a quarter fewer cache lines on
// hl2ct's inter blocks, half the large pages).  Only the coefficient tables'
// bases below are storage positions; every other index is the format's.
// The tests' straight decoder keeps the format's numbers. ----

constexpr uint32_t kMaxPlanes = 4;
constexpr uint32_t kMaxDcLength = 11;         // DC magnitudes below 2048
constexpr uint32_t kMaxMagnitudeLength = 10;  // coefficient magnitudes below 1024
constexpr uint32_t kMaxCount = 63;
constexpr uint32_t kBlockCountLimit = 32767;  // the block counter of a plane stops here
constexpr uint32_t kPositions = 64;
constexpr uint8_t kSignAfterReset = 4;

// Triangular offsets of the mantissa regions: the region of length L holds
// L - 1 models per context, so region L starts at the sum of the lengths below.
constexpr uint8_t kTriangle[12] = {0, 0, 0, 1, 3, 6, 10, 15, 21, 28, 36, 45};

constexpr uint32_t kBlockFollows = 0;            // + 16p + bitlen(blocks)
constexpr uint32_t kQuantiser = 64;              // + 16(bitlen(prevN) + 16 prevQ) + node
constexpr uint32_t kCount = 4160;                // + 64(prevN + 64q) + node
constexpr uint32_t kDcSign = 69696;              // + 2p + prevSign
constexpr uint32_t kDcLength = 69704;            // + 12(q + 16prevQ + 256s + 512prevL + 6144p) + k
constexpr uint32_t kDcMantissa = 364616;         // + 128 T[L] + (L-1)(32p + q + 16[n>=32]) + j
// The coefficient tables, with P = kPositionSlots and s = positionSlot(i, n)
// standing for the format's 4096 and 64i + n.
constexpr uint32_t kPositionSlots = 2048;
constexpr uint32_t positionSlot(uint32_t i, uint32_t n) { return n * (n - 1) / 2 + i; }  // i < n <= 63
constexpr uint32_t kZeroFlag = 371656;                                    // + P(64 bitlen(z) + 8a + h/2) + s
constexpr uint32_t kSign = kZeroFlag + 320 * kPositionSlots;               // + P(32 signMem[i] + sh) + s
constexpr uint32_t kMagnitudeOne = kSign + 160 * kPositionSlots;           // + P(a + 8 magMem[i]) + s
constexpr uint32_t kMagnitudeLength = kMagnitudeOne + 64 * kPositionSlots; // + 9(P(a + 8 magMem[i]) + s) + k
constexpr uint32_t kMagnitudeMantissa = kMagnitudeLength + 9 * 64 * kPositionSlots;  // + 8P T[M] + (M-1)(Pa + s) + j
constexpr uint32_t kModelCount = kMagnitudeMantissa + 8 * kPositionSlots * kTriangle[kMaxMagnitudeLength + 1];
// The decisions spread over the whole table (bench/model_footprint), 6.8 MB:
// all of it is backed densely.
constexpr platform::PageSpan kDenseSpan = denseModels(0, kModelCount);

constexpr uint32_t blockFollowsModel(uint32_t p, uint32_t blocks) { return kBlockFollows + 16 * p + bitLength(blocks); }
constexpr uint32_t quantiserBase(uint32_t prevN, uint32_t prevQ) {
    return kQuantiser + 16 * (bitLength(prevN) + 16 * prevQ);
}
constexpr uint32_t countBase(uint32_t prevN, uint32_t q) { return kCount + 64 * (prevN + 64 * q); }
constexpr uint32_t dcSignModel(uint32_t p, uint32_t prevSign) { return kDcSign + 2 * p + prevSign; }
constexpr uint32_t dcLengthBase(uint32_t q, uint32_t prevQ, uint32_t s, uint32_t prevL, uint32_t p) {
    return kDcLength + 12 * (q + 16 * prevQ + 256 * s + 512 * prevL + 6144 * p);
}
constexpr uint32_t dcMantissaBase(uint32_t L, uint32_t p, uint32_t q, uint32_t n) {
    return kDcMantissa + 128 * kTriangle[L] + (L - 1) * (32 * p + q + 16 * (n >= 32 ? 1u : 0u));
}
constexpr uint32_t zeroFlagModel(uint32_t z, uint32_t a, uint32_t h, uint32_t i, uint32_t n) {
    return kZeroFlag + kPositionSlots * (64 * bitLength(z) + 8 * a + (h >> 1)) + positionSlot(i, n);
}
constexpr uint32_t signModel(uint32_t signMemory, uint32_t sh, uint32_t i, uint32_t n) {
    return kSign + kPositionSlots * (32 * signMemory + sh) + positionSlot(i, n);
}
// The context shared by the magnitude-is-one flag and the magnitude length.
constexpr uint32_t magnitudeContext(uint32_t a, uint32_t magMemory, uint32_t i, uint32_t n) {
    return kPositionSlots * (a + 8 * magMemory) + positionSlot(i, n);
}
constexpr uint32_t magnitudeOneModel(uint32_t context) { return kMagnitudeOne + context; }
constexpr uint32_t magnitudeLengthBase(uint32_t context) { return kMagnitudeLength + 9 * context; }
constexpr uint32_t magnitudeMantissaBase(uint32_t M, uint32_t a, uint32_t i, uint32_t n) {
    return kMagnitudeMantissa + 8 * kPositionSlots * kTriangle[M] + (M - 1) * (kPositionSlots * a + positionSlot(i, n));
}

// Each region ends where the next begins (at the largest arguments a valid
// stream can produce; the last position of the longest list is 62 of 63);
// the table ends right after the last mantissa model.
static_assert(blockFollowsModel(kMaxPlanes - 1, kBlockCountLimit) < kQuantiser);
static_assert(quantiserBase(kMaxCount, 15) + 15 < kCount);
static_assert(countBase(kMaxCount, 15) + 63 < kDcSign);
static_assert(dcSignModel(kMaxPlanes - 1, 1) < kDcLength);
static_assert(dcLengthBase(15, 15, 1, kMaxDcLength, kMaxPlanes - 1) + kMaxDcLength < kDcMantissa);
static_assert(dcMantissaBase(kMaxDcLength, kMaxPlanes - 1, 15, 63) + kMaxDcLength - 2 < kZeroFlag);
static_assert(positionSlot(kMaxCount - 1, kMaxCount) < kPositionSlots);
static_assert(zeroFlagModel(15, 7, 15, 62, 63) < kSign);
static_assert(signModel(kSignAfterReset, 31, 62, 63) < kMagnitudeOne);
static_assert(magnitudeOneModel(magnitudeContext(7, 7, 62, 63)) < kMagnitudeLength);
static_assert(magnitudeLengthBase(magnitudeContext(7, 7, 62, 63)) + kMaxMagnitudeLength - 2 < kMagnitudeMantissa);
static_assert(magnitudeMantissaBase(kMaxMagnitudeLength, 7, 62, 63) + kMaxMagnitudeLength - 2 < kModelCount);

// What carries from block to block, plane to plane and frame to frame: for
// every coefficient position the sign memory (the last two sign bits of the
// block's sign history at the last non-zero coefficient there, 4 after a
// reset) and the magnitude class left there.  Both start at 0.
struct PositionMemory {
    uint8_t sign[kPositions] = {};
    uint8_t magnitude[kPositions] = {};
};

// Per-plane block counts the encoder codes (ignored when decoding).
struct PlaneBlocks {
    const uint32_t* counts = nullptr;
    size_t size = 0;
    uint32_t operator[](uint32_t p) const { return p < size ? counts[p] : 0; }
};

// Codes one block's coefficient list (n > 0) and updates the position memory.
// false on a value the models cannot carry (encoding) or a magnitude length
// past the table (decoding corrupt input).
template <class C>
DEV_INLINE bool codeCoefficients(C& c, BitModel* m, PositionMemory& mem, uint32_t n, typename C::Stream& cs) {
    uint32_t z = 0, h = 0, sh = 0, a = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const bool last = i == n - 1;
        int32_t value = 0;
        uint32_t magnitude = 0;
        if constexpr (C::kEncoding) {
            value = static_cast<int16_t>(C::take16(cs));
            magnitude = static_cast<uint32_t>(value < 0 ? -value : value);
            if (last && value == 0) return false;  // the list must end on a non-zero value
            if (magnitude >= (1u << kMaxMagnitudeLength)) return false;
        }
        // The sign model of a non-zero coefficient here is known before its
        // zero flag: ask for it now, as it is mostly a cache miss.  (Asking
        // for the magnitude models too costs more instructions than the
        // misses it saves.)
        const uint32_t signIndex = signModel(mem.sign[i], sh, i, n);
        c.prefetch(m + signIndex);
        if (!last && c.bit(m[zeroFlagModel(z, a, h, i, n)], value == 0 ? 1u : 0u)) {
            C::emit16(cs, 0);
            z = std::min(z + 1, 15u);
            h = (2 * h + 1) & 15;
            a = 0;
            mem.magnitude[i] = 0;
            continue;
        }
        h = (2 * h) & 15;
        const uint32_t t = codeEvenBit(c, m[signIndex], value < 0 ? 1u : 0u);
        sh = (2 * sh + t) & 31;
        mem.sign[i] = static_cast<uint8_t>(sh & 3);

        const uint32_t context = magnitudeContext(a, mem.magnitude[i], i, n);
        if (c.bit(m[magnitudeOneModel(context)], magnitude == 1 ? 1u : 0u)) {
            magnitude = 1;
            a = 1;
        } else {
            // Lengths 2..10 as 0..8 zeros before a 1.
            const uint32_t zeros = codeUnary(c, m + magnitudeLengthBase(context), kMaxMagnitudeLength - 1,
                                             bitLength(magnitude) - 2);
            if (zeros > kMaxMagnitudeLength - 2) return false;
            const uint32_t M = zeros + 2;
            const uint32_t top = 1u << (M - 1);
            magnitude = top | codeBitsMsbFirst(c, m + magnitudeMantissaBase(M, a, i, n), M - 1,
                                               magnitude & (top - 1));
            a = M & 7;
        }
        C::emit16(cs, withSign(magnitude, t));
        z = 0;
        mem.magnitude[i] = static_cast<uint8_t>(a);
    }
    return true;
}

// Codes one packet.  The decoder (C = DecodeCoder) writes the three outputs;
// the encoder takes the values from them and the number of blocks of each
// plane from `blocks`.  false: a value outside the models (encoding), a
// length past the table or an output over its capacity (decoding), or a
// stream used up (encoding).  The position memory carries into the next call.
// Always inlined into the chunk's decode, where the coder is a local: its code,
// range and position then stay in registers instead of going through memory at
// every decision (about a fifth fewer instructions).
template <class C>
DEV_INLINE bool codePacket(C& c, BitModel* m, PositionMemory& mem, bool inter, uint32_t planeCount, PlaneBlocks blocks,
                typename C::Stream& qs, typename C::Stream& dcs, typename C::Stream& cs) {
    if (planeCount > kMaxPlanes) return false;
    uint32_t prevQ = 0, prevN = 0, prevL = 0, prevSign = 0;
    for (uint32_t p = 0; p < planeCount; ++p) {
        const uint32_t target = blocks[p];
        uint32_t coded = 0;  // blocks of this plane so far
        for (;;) {
            const uint32_t counter = std::min(coded, kBlockCountLimit);
            if (c.bit(m[blockFollowsModel(p, counter)], coded == target ? 1u : 0u)) break;
            ++coded;

            uint32_t q = C::take8(qs);
            if (C::kEncoding && q > 15) return false;
            q = codeEvenTree(c, m + quantiserBase(prevN, prevQ), 4, q);
            C::emit8(qs, q);

            uint32_t n = C::take16(cs);
            if (C::kEncoding && n > kMaxCount) return false;
            n = codeEvenTree(c, m + countBase(prevN, q), 6, n);
            C::emit16(cs, n);

            const int32_t dc = static_cast<int16_t>(C::take16(dcs));
            uint32_t dcMagnitude = static_cast<uint32_t>(dc < 0 ? -dc : dc);
            uint32_t s = 0;
            if (inter) {
                s = c.bit(m[dcSignModel(p, prevSign)], dc < 0 ? 1u : 0u);
                prevSign = s;
            } else if (dc < 0) {
                return false;  // intra DC values are never negative
            }
            if (C::kEncoding && dcMagnitude >= (1u << kMaxDcLength)) return false;
            const uint32_t L = codeUnary(c, m + dcLengthBase(q, prevQ, s, prevL, p), kMaxDcLength + 1,
                                         bitLength(dcMagnitude));
            if (L > kMaxDcLength) return false;
            if (L > 0) {
                const uint32_t top = 1u << (L - 1);
                dcMagnitude = top | codeBitsMsbFirst(c, m + dcMantissaBase(L, p, q, n), L - 1,
                                                     dcMagnitude & (top - 1));
            }
            C::emit16(dcs, withSign(dcMagnitude, s));
            prevQ = q;
            prevN = n;
            prevL = L;

            if (n > 0 && !codeCoefficients(c, m, mem, n, cs)) return false;
            for (uint32_t i = n; i < kPositions; ++i) {
                mem.magnitude[i] = 0;
                mem.sign[i] = kSignAfterReset;
            }
            // Every block writes at least five bytes, so a full output ends
            // any run of blocks, however corrupt the chunk.
            if (streamFault(qs) || streamFault(dcs) || streamFault(cs)) return false;
        }
    }
    return true;
}

}  // namespace dev::dct

#include "core/models.h"

namespace dev {

// The state of one DCT block stage thread, and its decoding of one chunk as a
// plain call.  The stage table runs one for intra blocks and one for inter
// blocks (DctStageDecoder below).
struct DctBlockDecoder {
    ModelSet models;
    dct::PositionMemory memory;
    bool inter = false;
    uint32_t planeCount = 0;

    // Allocates the models (all at one half) and clears the position memory.
    // false when the memory cannot be had or there are more than 4 planes.
    bool setup(bool interBlocks, uint32_t planes);
    // Decodes one packet's chunk into the sub-streams of its kind of blocks
    // (bink1::dctStreams).  false on corrupt data or an output over its
    // capacity.
    bool decodeChunk(const uint8_t* chunk, size_t length, StreamArray<ValueWriter>& out);
    void release() { models.release(); }
};

// The decoder of the intra or the inter DCT block stage (stages/stage_decoder.h).
template <bool Inter>
struct DctStageDecoder : DctBlockDecoder {
    static constexpr int kStreamList[] = {bink1::dctStreams(Inter).quantisers, bink1::dctStreams(Inter).dc,
                                          bink1::dctStreams(Inter).coefficients};
    static constexpr std::span<const int> kStreams{kStreamList};

    bool setup(const BinkContext& context) { return DctBlockDecoder::setup(Inter, context.planeCount); }
};

}  // namespace dev
