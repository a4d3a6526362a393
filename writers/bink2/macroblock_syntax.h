// The content of one intra or residue macroblock of a Bink 2 frame: the
// quantiser delta, and per plane the coded-block pattern, the DC values and
// the coefficient lists.  Written once over a bit-direction policy D:
// Bink2MacroblockCoder (writers/bink2/frame_writer.h) is the writing
// instance, the packer's parser the reading one.
//
// The writer derives every coded-block pattern from the coefficient lists
// (it looks at them before it consumes them) and takes from the value
// streams only the choices the lists do not decide: the extra bit of a
// pattern and whether a chroma pattern is the predicted one.  The parser
// reads the pattern first and then exactly the lists the pattern names, as a
// decoder does, and expects each of those lists to hold a coefficient.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "writers/bink2/codes.h"
#include "writers/bink2/streams.h"
#include "writers/bink2/tables.h"

namespace dev::bink2 {

template <class D>
class Bink2MacroblockSyntax {
public:
    using Values = typename D::Values;
    using C = Codes<D>;

    // streams[n] is sub-stream n (kIntraQuantisers to kResidueCoefficients
    // are used here).
    // alpha: the file has an alpha plane; extended: its header sets
    // BinkVideoFlag::kBink2Extended.
    Bink2MacroblockSyntax(D& d, StreamArray<Values>& streams, bool alpha, bool extended)
        : d_(d), s_(streams), fileAlpha_(alpha), extended_(extended) {}

    void setFrameFlags(uint32_t flags) {
        flags_ = flags;
        alpha_ = frameCodesAlpha(fileAlpha_, extended_, flags);
        if (fileAlpha_ && !alpha_) note(d_, cases::kAlphaLeftOut);
    }

    // At every row start: the intra patterns, and in other frames the
    // residue ones too, start empty.
    void resetPatterns(bool keyframe) {
        for (int k = 0; k < (keyframe ? 4 : kPatternSlots); ++k) previous_[k] = 0;
    }

    // entry: the macroblock's two quantiser predictors (intra, residue).
    // The Bink encoder codes the DC values of a slice's first macroblock
    // even when they are all zero.
    void intra(uint8_t* entry, bool sliceStart) {
        quantiser(s_[kIntraQuantisers], entry[0]);
        Values& sym = s_[kIntraBlockData];
        Values& ac = s_[kIntraCoefficients];
        dcAlways_ = sliceStart;
        plane16(kIntraLuma, sym, ac);
        chroma(kIntraU, sym, ac);
        chroma(kIntraV, sym, ac);
        if (alpha_) plane16(kIntraAlpha, sym, ac);
        dcAlways_ = false;
    }

    void residue(uint8_t* entry) {
        quantiser(s_[kResidueQuantisers], entry[1]);
        Values& sym = s_[kResidueBlockData];
        Values& ac = s_[kResidueCoefficients];
        plane16(kResidueLuma, sym, ac);
        if (C::flag(d_, s_[kResidueQuantisers], Value::kChromaPresent)) {
            note(d_, cases::kResidueChroma);
            chroma(kResidueU, sym, ac);
            chroma(kResidueV, sym, ac);
        } else {
            note(d_, cases::kNoResidueChroma);
            previous_[kResidueU] = previous_[kResidueV] = 0;
        }
        if (alpha_) plane16(kResidueAlpha, sym, ac);
    }

private:
    // The quantiser as a delta from its predictor (a signed byte against an
    // unsigned one); the predictor becomes the quantiser.
    void quantiser(Values& s, uint8_t& predictor) {
        const int32_t q = static_cast<int8_t>(take8<D>(s, Value::kQuantiser, predictor));
        const int32_t diff = q - predictor;
        uint32_t m = magnitudeOf(diff);
        if constexpr (D::kWriting) d_.expect(m <= kMaxQuantiserDelta, "a quantiser delta above 36");
        uint32_t zeros = m <= 2 ? m : m <= 4 ? 3 : 4;
        zeros = C::prefix(d_, zeros, 1, 4);
        if (zeros <= 2) m = zeros;
        else if (zeros == 3) m = 3 + d_.field((m - 3) & 1, 1);
        else m = 5 + d_.field((m - 5) & 31, 5);
        const uint32_t negative = m ? d_.field(diff < 0, 1) : 0;
        note(d_, cases::kQuantiserDelta + 2 * m + negative);
        const int32_t value = static_cast<int32_t>(predictor) + (negative ? -int32_t(m) : int32_t(m));
        if constexpr (!D::kWriting) d_.expect(value >= 0 && value <= 63, "a quantiser outside 0..63");
        D::emit8(s, static_cast<uint32_t>(value));
        predictor = static_cast<uint8_t>(value);
    }

    // Luma or alpha: pattern, 16 DC values, four groups of four lists.
    void plane16(PatternSlot slot, Values& sym, Values& ac) {
        const uint32_t pattern = pattern16(previous_[slot], sym, ac);
        previous_[slot] = pattern;
        dcValues(sym, 16);
        for (uint32_t g = 0; g < 4; ++g) acGroup(ac, pattern, g);
    }

    void chroma(PatternSlot slot, Values& sym, Values& ac) {
        const uint32_t pattern = pattern4(previous_[slot], sym, ac);
        previous_[slot] = pattern;
        dcValues(sym, 4);
        acGroup(ac, pattern, 0);
    }

    // Bit i set when list i of the next `count` lists holds coefficients.
    uint32_t listPattern(Values& ac, uint32_t count, uint32_t hint) {
        if constexpr (kGenerating<D>) D::prepareLists(ac, count, hint);
        Values look = ac;  // looked at, not consumed
        uint32_t p = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t n = look.get8();
            if (n) p |= 1u << i;
            look.take(2 * size_t(n));
        }
        return p;
    }

    // A 32-bit pattern: the blocks in the low half, repeated in the high half
    // when the extra bit is set.
    static uint32_t withExtra(uint32_t p, uint32_t extra) { return p | (extra ? p << 16 : 0); }

    // A 16-block pattern, inverted when the previous one had more than 7
    // blocks, written whole or by nibbles when few blocks differ from it.
    uint32_t pattern16(uint32_t previous, Values& sym, Values& ac) {
        uint32_t p = 0;
        if constexpr (D::kWriting) p = listPattern(ac, 16, 0);
        const uint32_t ones = static_cast<uint32_t>(std::popcount(previous & 0xFFFF));
        const uint32_t flip = ones > 7 ? 0xFFFF : 0;
        const uint32_t h = ones > 7 ? 16 - ones : ones;
        if (flip) note(d_, cases::kPatternInverted);
        uint32_t e = p ^ flip;
        if (d_.field(e == 0, 1)) {
            note(d_, cases::kPatternEmpty);
            e = 0;
        } else {
            note(d_, h < 4 ? cases::kPatternNibbles : cases::kPatternWhole);
            if (h < 4) {
                uint32_t nibbles = 0;
                for (uint32_t i = 0; i < 16; i += 4) {
                    uint32_t nibble = (e >> i) & 15;
                    if (!d_.field(nibble == 0, 1)) {
                        nibble = d_.field(nibble, 4);
                        d_.expect(nibble != 0, "an empty nibble written in full");
                    } else {
                        nibble = 0;
                    }
                    nibbles |= nibble << i;
                }
                e = nibbles;
            } else {
                e = d_.field(e, 16);
            }
            d_.expect(e != 0, "an empty pattern written in full");
        }
        p = e ^ flip;
        if ((flags_ & kEmptyPlaneSymbol) && p == 0) {
            note(d_, cases::kPatternBare);
            return 0;
        }
        return withExtra(p, extraBit(sym));
    }

    // A 4-block chroma pattern: the prediction from the previous pattern
    // (its extra bits kept), or the four bits and an extra bit.
    uint32_t pattern4(uint32_t previous, Values& sym, Values& ac) {
        const uint32_t predicted = kChromaPrediction[previous & 15] | (previous & 0xF0000);
        uint32_t p = 0;
        if constexpr (D::kWriting) p = listPattern(ac, 4, predicted & 15);
        const bool fits = p == (predicted & 15);
        if (C::flag(d_, sym, Value::kChromaChoice, fits)) {
            // The lists are coded by the pattern a decoder reads; a
            // prediction that names other blocks cannot stand for them.
            if constexpr (D::kWriting) d_.expect(fits, "a predicted chroma pattern that differs from the lists");
            note(d_, cases::kChromaPredicted);
            return predicted;
        }
        note(d_, cases::kChromaExplicit);
        p = d_.field(p, 4);
        return withExtra(p, extraBit(sym));
    }

    uint32_t extraBit(Values& sym) {
        const uint32_t x = C::flag(d_, sym, Value::kExtraBit);
        note(d_, x ? cases::kExtraBit1 : cases::kExtraBit0);
        return x;
    }

    // n DC values: one bit when all are zero (unless they are always
    // coded), else each value's magnitude and sign.
    void dcValues(Values& sym, uint32_t n) {
        int32_t v[16] = {};
        bool any = false;
        if constexpr (D::kWriting) {
            for (uint32_t i = 0; i < n; ++i) {
                v[i] = take16s<D>(sym, Value::kDc);
                any |= v[i] != 0;
            }
        }
        if (d_.field(any || dcAlways_, 1)) {
            bool nonZero = false;
            for (uint32_t i = 0; i < n; ++i) {
                v[i] = C::signedValue(d_, v[i], 0, 3, 18);
                const uint32_t m = magnitudeOf(v[i]);
                if constexpr (!D::kWriting) d_.expect(m <= 32767, "a DC value beyond 16 bits");
                nonZero |= m != 0;
                note(d_, m <= 4 ? cases::kDcValue + m : m >= 256 ? cases::kDcLarge : cases::kDcValue);
            }
            d_.expect(nonZero || dcAlways_, "all DC values zero, written one by one");
            if (!nonZero) note(d_, cases::kDcKept);
        } else {
            note(d_, cases::kDcAllZero);
        }
        for (uint32_t i = 0; i < n; ++i) D::emit16(sym, static_cast<uint32_t>(v[i]));
    }

    // Lists 4g to 4g + 3 of a pattern.
    void acGroup(Values& ac, uint32_t pattern, uint32_t g) {
        const SkipCode& table = ((pattern >> (4 * g)) >> 16) ? kSkipA : kSkipB;
        for (uint32_t i = 0; i < 4; ++i) acBlock(ac, table, (pattern >> (4 * g + i)) & 1);
    }

    // One coefficient list: count n, then positions 1..n, the last non-zero.
    // Zeros are skipped by skip codes; seven non-zero values in a row share
    // one code; a list shorter than 63 ends with the end code.
    void acBlock(Values& ac, const SkipCode& table, uint32_t coded) {
        int32_t v[kMaxCoefficients + 2];  // positions 1..63; the parser keeps skipped ones 0
        uint32_t n = 0;
        if constexpr (!D::kWriting) std::fill(v, v + kMaxCoefficients + 2, 0);
        if constexpr (D::kWriting) {
            n = take8<D>(ac, Value::kCoefficients);
            d_.expect(n <= kMaxCoefficients, "a coefficient count above 63");
            if (n > kMaxCoefficients) n = 0;
            for (uint32_t p = 1; p <= n; ++p) v[p] = take16s<D>(ac, Value::kCoefficients);
            if (n == 0) {
                note(d_, cases::kCount);
                return;
            }
            d_.expect(v[n] != 0, "a coefficient list ending in zero");
            if (v[n] == 0) return;
        } else {
            if (!coded) {
                note(d_, cases::kCount);
                D::emit8(ac, 0);
                return;
            }
        }
        uint32_t p = 1;
        int32_t due = 0;  // values left before the next skip code
        for (;;) {
            if (D::kWriting ? p > n : p > kMaxCoefficients) break;
            if (--due < 1) {
                uint32_t e = 1, zeros = 0;
                if constexpr (D::kWriting) {
                    if (v[p] != 0) {
                        bool seven = p + 6 <= n;
                        for (uint32_t i = 1; seven && i <= 6; ++i) seven = v[p + i] != 0;
                        e = seven ? kSkipSeven : 1;
                    } else {
                        while (v[p + zeros] == 0) ++zeros;
                        e = zeros <= kSkipLongestRun ? zeros + 1 : kSkipEscape;
                    }
                }
                e = C::symbol(d_, table, e);
                if constexpr (!D::kWriting) {
                    if (e == kSkipEnd || e >= kSkipEntries) break;
                }
                note(d_, (&table == &kSkipA ? cases::kSkipA : cases::kSkipB) + e);
                if (e == kSkipEscape) zeros = d_.field(zeros, 6);
                else if (e != kSkipSeven) zeros = e - 1;
                if (e == kSkipSeven) due = 7;
                p += zeros;
                if constexpr (!D::kWriting) {
                    if (p > kMaxCoefficients) {
                        d_.expect(false, "a zero run past the end of the block");
                        p = kMaxCoefficients + 1;  // the list below ends inside the block
                        break;
                    }
                }
            }
            v[p] = C::signedValue(d_, v[p], 1, 2, 17);
            if constexpr (!D::kWriting) d_.expect(magnitudeOf(v[p]) <= 32767, "a coefficient beyond 16 bits");
            if (magnitudeOf(v[p]) >= 512) note(d_, cases::kLargeCoefficient);
            ++p;
        }
        if constexpr (!D::kWriting) {
            n = p - 1;
            while (n > 0 && v[n] == 0) --n;
            d_.expect(n > 0, "a coded block without coefficients");
            D::emit8(ac, n);
            for (uint32_t i = 1; i <= n; ++i) D::emit16(ac, static_cast<uint32_t>(v[i]));
        }
        if (n < kMaxCoefficients) {
            if constexpr (D::kWriting) C::symbol(d_, table, kSkipEnd);  // read in the loop
            note(d_, (&table == &kSkipA ? cases::kSkipA : cases::kSkipB) + kSkipEnd);
        }
        note(d_, cases::kCount + n);
    }

    D& d_;
    StreamArray<Values>& s_;
    bool fileAlpha_;
    bool extended_;
    bool alpha_ = false;  // this frame codes the alpha plane
    uint32_t flags_ = 0;
    bool dcAlways_ = false;
    uint32_t previous_[kPatternSlots] = {};
};

}  // namespace dev::bink2
