// Coefficient data of Bink 2 intra and residue macroblocks, written once for
// both directions (see core/coder.h): per plane a symbol and a block group
// (for each 8x8 block its coefficient count, DC value and coefficients), and
// the chroma flag of residue macroblocks.  Value layout and model table in
// stages/bink2_video_layout.h; the frame and macroblock layer that calls this
// in stages/bink2_video_grammar.h.
#pragma once

#include <cstdint>

#include "core/coder.h"
#include "core/grammar_codes.h"
#include "core/sub_streams.h"
#include "core/value_stream.h"
#include "stages/bink2_video_layout.h"
#include "writers/bink2/frame_flags.h"

namespace dev::b2video {

namespace detail {

inline uint32_t magnitudeOf(int32_t v) { return static_cast<uint32_t>(v < 0 ? -v : v); }

// The encoder's look-ahead for a luma or alpha symbol: whether any of the
// group's next `blocks` counts is non-zero (counts of 0 carry no values, so
// the first non-zero count ends the walk).
inline bool anyCoded(ValueReader r, uint32_t blocks) {
    for (uint32_t b = 0; b < blocks; ++b)
        if (r.get8() != 0) return true;
    return false;
}

}  // namespace detail

template <class C>
class BlockGrammar {
public:
    using Stream = typename C::Stream;

    BlockGrammar(C& coder, BitModel* models, StreamArray<Stream>& streams) : c(coder), m(models), s(streams) {}

    // Set when a value taken by the encoder lies outside the grammar, or the
    // decoder meets a value past the bounds of valid streams.
    bool bad = false;

protected:
    C& c;
    BitModel* m;
    StreamArray<Stream>& s;  // the stage's sub-streams, bink2::kVideoStreams
    RowState row;

    DEV_INLINE Stream& out(bink2::Stream n) { return s[n]; }

    // The encoder's next byte of a sub-stream, which must not exceed limit;
    // 0 for the decoder.
    DEV_INLINE uint32_t takeByte(bink2::Stream n, uint32_t limit) {
        if constexpr (C::kEncoding) {
            const uint32_t v = C::take8(out(n));
            if (v <= limit) return v;
            bad = true;
        } else {
            (void)n;
            (void)limit;
        }
        return 0;
    }
    // The encoder's next int16 of a sub-stream, whose magnitude must not
    // exceed limit; 0 for the decoder.
    DEV_INLINE int32_t takeSigned(bink2::Stream n, uint32_t limit) {
        if constexpr (C::kEncoding) {
            const int32_t v = static_cast<int16_t>(C::take16(out(n)));
            if (detail::magnitudeOf(v) <= limit) return v;
            bad = true;
        } else {
            (void)n;
            (void)limit;
        }
        return 0;
    }

    // Everything of an intra macroblock after its quantiser q.
    DEV_INLINE void intraBlocks(uint32_t q, uint32_t flags, bool alpha) {
        const uint32_t q8 = q < 8 ? 8 : q;
        const uint32_t T = 8 * (row.context >> 6);
        group(kIntraLuma, planeSymbol(kIntraLuma, flags, 16), 16, q8, T);
        group(kIntraU, chromaSymbol(kIntraU, q8), 4, q8, T);
        group(kIntraV, chromaSymbol(kIntraV, q8), 4, q8, T);
        if (alpha) group(kIntraAlpha, planeSymbol(kIntraAlpha, flags, 16), 16, q8, T);
    }

    // Everything of a residue macroblock after its quantiser q: the chroma
    // flag follows the quantiser in kResidueQuantisers.
    DEV_INLINE void residueBlocks(uint32_t q, uint32_t flags, bool alpha) {
        const uint32_t q8 = q < 8 ? 8 : q;
        const uint32_t T = 8 * (row.context >> 6);
        group(kResidueLuma, planeSymbol(kResidueLuma, flags, 16), 16, q8, T);
        uint32_t chroma = takeByte(bink2::kResidueQuantisers, 1);
        chroma = c.bit(m[chromaFlagModel(row.context, row.chromaFlagHistory, row.recent[kResidueLuma])], chroma);
        C::emit8(out(bink2::kResidueQuantisers), chroma);
        row.chromaFlagHistory = ((2 * row.chromaFlagHistory) & 3) + chroma;
        if (chroma) {
            group(kResidueU, chromaSymbol(kResidueU, q8), 4, q8, T);
            group(kResidueV, chromaSymbol(kResidueV, q8), 4, q8, T);
        } else {
            row.recent[kResidueU] = row.recent[kResidueV] = 0;
            row.symbolHistory[kResidueU] = row.symbolHistory[kResidueV] = 0;
        }
        if (alpha) group(kResidueAlpha, planeSymbol(kResidueAlpha, flags, 16), 16, q8, T);
    }

private:
    static constexpr bink2::Stream symbolsOf(GroupKind k) {
        return k >= kResidueLuma ? bink2::kResidueBlockData : bink2::kIntraBlockData;
    }
    static constexpr bink2::Stream coefficientsOf(GroupKind k) {
        return k >= kResidueLuma ? bink2::kResidueCoefficients : bink2::kIntraCoefficients;
    }

    // Luma or alpha symbol: the extra bit 0 or 1 (written), or 2 when the
    // frame allows empty planes without it (nothing written).
    DEV_INLINE uint32_t planeSymbol(GroupKind k, uint32_t flags, uint32_t blocks) {
        const SymbolTables& t = kSymbolTables[k];
        const uint32_t R = row.recent[k], h = row.symbolHistory[k];
        const bool emptyAllowed = (flags & bink2::kEmptyPlaneSymbol) != 0;
        uint32_t symbol = 0;
        if constexpr (C::kEncoding) {
            symbol = emptyAllowed && !detail::anyCoded(out(coefficientsOf(k)), blocks) ? 2u
                                                                                      : takeByte(symbolsOf(k), 1);
        } else {
            (void)blocks;
        }
        if (emptyAllowed && c.bit(m[lumaSymbolModel(t.first, R, h)], symbol == 2 ? 1u : 0u)) {
            symbol = 2;
        } else {
            symbol = c.bit(m[lumaSymbolModel(t.second, R, h)], symbol);
            C::emit8(out(symbolsOf(k)), symbol);
        }
        row.symbolHistory[k] = (symbol + 4 * h) & 15;
        return symbol;
    }

    // U or V symbol: the pattern choice (written; 1 gives 2), then after a
    // choice of 0 the extra bit (written).
    DEV_INLINE uint32_t chromaSymbol(GroupKind k, uint32_t q8) {
        const SymbolTables& t = kSymbolTables[k];
        const uint32_t h = row.symbolHistory[k];
        uint32_t choice = takeByte(symbolsOf(k), 1);
        choice = c.bit(m[chromaSymbolModel(t.first, row.recent[lumaOf(k)], row.recent[k], q8, h)], choice);
        C::emit8(out(symbolsOf(k)), choice);
        row.symbolHistory[k] = ((2 * h) & 3) + choice;
        if (choice) return 2;
        uint32_t extra = takeByte(symbolsOf(k), 1);
        extra = c.bit(m[t.second], extra);
        C::emit8(out(symbolsOf(k)), extra);
        return extra;
    }

    // One block group of `blocks` blocks with symbol S: counts and
    // coefficients to the coefficient sub-stream, DC values to the symbol
    // sub-stream (after the group's symbol bytes).
    DEV_INLINE void group(GroupKind k, uint32_t S, uint32_t blocks, uint32_t q8, uint32_t T) {
        const GroupTables& t = kGroupTables[k];
        const bink2::Stream symbols = symbolsOf(k), coefficients = coefficientsOf(k);
        const uint32_t B = bitLength(q8), R = row.recent[k];
        uint32_t p = 0, d = 6, h = 1, g = 0, coded = 0;
        for (uint32_t b = 0; b < blocks; ++b) {
            uint32_t n = takeByte(coefficients, kMaxCount);
            if (c.bit(m[countZeroModel(t, B, R, S, T, p)], n == 0 ? 1u : 0u)) {
                n = 0;
                p = kZeroClass;
            } else {
                const uint32_t e = c.tree(m + countClassBase(t, B, R, S, p), 3, bitLength(n) - 1);
                p = e;
                if (e > kMaxCountClass) {
                    bad = true;
                    return;
                }
                n = (1u << e) | c.tree(m + countBitsBase(t, S, e), static_cast<int>(e), n & ((1u << e) - 1));
                ++coded;
            }
            C::emit8(out(coefficients), n);
            // Every model of the DC value's first decisions is known now.
            c.prefetch(m + dcZeroModel(t, p, d, h));
            c.prefetch(m + dcSignModel(t, p, b, d, g));
            c.prefetch(m + dcLengthModel(t, p, d, q8, 0));
            c.prefetch(m + coefficientZeroModel(t, S, n, 0, 0));

            int32_t dc = takeSigned(symbols, kMaxDc);
            uint32_t z;  // DC sign class: 0 positive, 1 negative, 2 zero
            if (c.bit(m[dcZeroModel(t, p, d, h)], dc == 0 ? 1u : 0u)) {
                dc = 0;
                h = 2 * h + 1;
                g = (2 * g) & 255;
                d = 7;
                z = 2;
            } else {
                h = 2 * h;
                const uint32_t sign = c.bit(m[dcSignModel(t, p, b, d, g)], dc < 0 ? 1u : 0u);
                g = (2 * g + sign) & 255;
                z = sign;
                uint32_t magnitude = detail::magnitudeOf(dc);
                const uint32_t L =
                    codeUnary(c, m + dcLengthModel(t, p, d, q8, 0), kMaxDcLength + 1, bitLength(magnitude) - 1);
                if (L > kMaxDcLength) {
                    bad = true;
                    return;
                }
                d = L;
                magnitude = (1u << L) | codeBitsMsbFirst(c, m + dcBitModel(t, q8, L, p, 0), L, magnitude);
                dc = static_cast<int32_t>(withSign(magnitude, sign));
            }
            if (h > 2047) h = (h & 1023) | 1024;
            // The next block's DC models under each count class it may take.
            for (uint32_t q = 0; q <= kZeroClass; ++q) {
                c.prefetch(m + dcZeroModel(t, q, d, h));
                c.prefetch(m + dcSignModel(t, q, b + 1, d, g));
            }
            C::emit16(out(symbols), static_cast<uint32_t>(dc));
            if (n > 0) coefficientList(t, S, n, z, p, q8, coefficients);
            if (bad) return;
        }
        row.recent[k] = coded < 1 ? 1 : coded > kMaxRecent ? kMaxRecent : coded;
    }

    // The n coefficients of one block, after its DC value (sign class z) and
    // count class p.
    DEV_INLINE void coefficientList(const GroupTables& t, uint32_t S, uint32_t n, uint32_t z, uint32_t p,
                                    uint32_t q8, bink2::Stream coefficients) {
        BitModel* const zeros = m + coefficientZeroModel(t, S, n, 0, 0);
        BitModel* const signs = m + coefficientSignSlab(t, z, p);
        BitModel* const lengths = m + coefficientLengthHot(t, q8, p);
        BitModel* const longLengths = m + coefficientLengthCold(t, q8, p);
        BitModel* const escapes = m + coefficientEscapeBase(t, 0, p);
        uint32_t Z = 4, f = 0, level = 0;
        // The models of the next positions are asked for before they are
        // needed, whatever the decisions in between turn out to be: the zero
        // contexts of one position share a line, so do the sign histories
        // three signs on, and the first length nodes of the next position
        // under all eight levels.  Without this the table's size makes
        // nearly every sign and length a cache miss.
        c.prefetch(signs);
        c.prefetch(lengths);
        for (uint32_t k = 0; k < n; ++k) {
            c.prefetch(zeros + kCoefficientZeroStep * (k + 1));
            c.prefetch(signs + kSignPositions.at[k + 3] + ((8 * f) & 1016));
            c.prefetch(lengths + kLengthHotStep * (k + 1));
            const int32_t value = takeSigned(coefficients, kMaxCoefficient);
            if (c.bit(zeros[kCoefficientZeroStep * k + Z], value == 0 ? 1u : 0u)) {
                Z = Z < 5 ? 5 : (Z < 15 ? Z + 1 : 15);
                f = (2 * f) & 1023;
                level = 7;
                C::emit16(out(coefficients), 0);
                continue;
            }
            Z = Z > 4 ? 4 : (Z > 0 ? Z - 1 : 0);
            const uint32_t sign = codeEvenBit(c, signs[kSignPositions.at[k] + f], value < 0 ? 1u : 0u);
            f = (2 * f + sign) & 1023;
            uint32_t u = detail::magnitudeOf(value);
            // Lengths 0..4 give magnitudes 1..5; from 5 on, an escape of
            // x - 4 bits above 4.
            uint32_t x = u <= 5 ? u - 1 : bitLength(u - 4) + 3;
            x = codeUnary(c, lengths + kLengthHotStep * k + kLengthHotNodes * level, kLengthHotNodes,
                          longLengths + kLengthColdStep * k + kLengthColdNodes * level, kMaxEscapeLength + 1, x);
            if (x > kMaxEscapeLength) {
                bad = true;
                return;
            }
            if (x <= 4) {
                u = x + 1;
                level = x;
            } else {
                const uint32_t bits = x - 4;
                level = x < 6 ? x : 6;
                u = (1u << bits) + codeEvenTree(c, escapes + 2048 * x, static_cast<int>(bits), (u - 4) & ((1u << bits) - 1)) + 4;
            }
            C::emit16(out(coefficients), withSign(u, sign));
        }
    }
};

}  // namespace dev::b2video
