// The video bitstream of one Bink 2 frame after its leading words (frame
// flags and slice offsets): the optional row and column flag lists, then per
// slice the rows of 32x32 macroblocks, each slice ending on a 32-bit word.
// Written once over a bit-direction policy D (writers/bit_direction.h):
// Bink2FrameWriter is the writing instance, the packer's parser reads packets
// with it, and the test generator draws values through it.
//
// The syntax keeps what a decoder keeps across macroblocks: the type recency
// list, the quantiser predictors of the current row and the row above, and
// (in the macroblock syntax) the previous coded-block patterns.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>

#include "core/bink_context.h"
#include "writers/bink2/codes.h"
#include "writers/bink2/geometry.h"
#include "writers/bink2/macroblock_syntax.h"
#include "writers/bink2/streams.h"
#include "writers/bink2/tables.h"
#include "writers/bink_container.h"

namespace dev::bink2 {

template <class D>
class Bink2FrameSyntax {
public:
    using Values = typename D::Values;
    using C = Codes<D>;

    // streams[n] is sub-stream n (kVideoStreams are used); rows holds
    // quantiserRowBytes(width) bytes.
    Bink2FrameSyntax(D& d, StreamArray<Values>& streams, const BinkContext& c, uint8_t* rows)
        : d_(d), s_(streams), c_(c), rows_(rows),
          mb_(d, streams, c.hasAlpha != 0, videoFlagsExtended(c.isBink2, c.videoFlags)) {}

    void frame(uint32_t keyframe, uint32_t flags) {
        mb_.setFrameFlags(flags);
        note(d_, keyframe ? cases::kKeyFrame : cases::kInterFrame);
        size_t sliceBits = position();
        if (flags & kFlagListsPresent) {
            if (!(flags & kNoRowFlags)) flagList(c_.rowFlagCount, cases::kRowList);
            if (!(flags & kNoColumnFlags)) flagList(c_.columnFlagCount, cases::kColumnList);
        }
        const bool key = keyframe != 0;
        const uint32_t columns = macroblockColumns(c_.width);
        uint8_t* current = rows_;
        uint8_t* above = rows_ + quantiserRowBytes(c_.width) / 2;  // the second row
        uint32_t y = 0;
        for (uint32_t k = 0; k < c_.sliceCount && k < kMaxSlices; ++k) {
            const bool empty = y >= c_.sliceEnds[k];
            if constexpr (requires { d_.sliceBegins(k, empty); }) d_.sliceBegins(k, empty);
            if (empty) continue;  // no row, no word
            for (bool first = true; y < c_.sliceEnds[k]; y += kMacroblockSize, first = false) {
                if (first) {
                    current[0] = kFirstQuantiser;
                    if (!key) current[1] = kFirstQuantiser;
                }
                mb_.resetPatterns(key);
                std::copy(kTypeRecency, kTypeRecency + 4, recency_);
                for (uint32_t m = 0; m < columns; ++m) {
                    uint8_t* entry = current + 2 * m;
                    const bool sliceStart = first && m == 0;
                    if (key) mb_.intra(entry, sliceStart);
                    else macroblock(entry, sliceStart);
                    predict(entry, above + 2 * m, first, key);
                    if (stopped()) return;
                }
                above[0] = current[0];
                above[1] = current[1];
                std::swap(current, above);
            }
            endSlice(sliceBits);
            sliceBits = position();
        }
    }

    // True once a value cannot be written (or a packet no longer reads as
    // ours): the frame is abandoned.
    bool stopped() const {
        if (d_.failed()) return true;
        if constexpr (D::kWriting)
            for (int n : kVideoStreams)
                if (s_[n].underflow) return true;
        return false;
    }

private:
    size_t position() const {
        if constexpr (D::kWriting) return 0;
        else return d_.r.position();
    }

    void macroblock(uint8_t* entry, bool sliceStart) {
        Values& types = s_[kMacroblockTypes];
        uint32_t t = take8<D>(types, Value::kType);
        d_.expect(t <= kMotionResidue, "a macroblock type above 3");
        t = typeCode(t & 3);
        D::emit8(types, t);
        switch (t) {
            case kIntra: mb_.intra(entry, sliceStart); break;
            case kSkip: break;
            case kMotion: vectors(); break;
            default:
                vectors();
                mb_.residue(entry);
                break;
        }
    }

    // The type by its place in the recency list (1; 0 1; 0 0 0; 0 0 1),
    // which then moves one place up.
    uint32_t typeCode(uint32_t t) {
        uint32_t at = 0;
        if constexpr (D::kWriting)
            while (at < 3 && recency_[at] != t) ++at;
        if (d_.field(at == 0, 1)) at = 0;
        else if (d_.field(at == 1, 1)) at = 1;
        else at = d_.field(at == 3, 1) ? 3 : 2;
        t = recency_[at];
        note(d_, cases::kTypeAt + 4 * at + t);
        if (at) std::swap(recency_[at - 1], recency_[at]);
        return t;
    }

    // One vector or four: all horizontal components, then all vertical ones.
    void vectors() {
        Values& s = s_[kMotionVectors];
        const uint32_t count = C::flag(d_, s, Value::kVectorCount) ? 1 : 4;
        note(d_, count == 1 ? cases::kOneVector : cases::kFourVectors);
        for (uint32_t i = 0; i < 2 * count; ++i) D::emit16(s, static_cast<uint32_t>(vector(take16s<D>(s, Value::kVector))));
    }

    // 0 is bit 1.  Below 16384, e = floor(log2 |v|): e + 1 zeros, a one, the
    // sign (1 for positive) and the e bits below the top one.  From 16384:
    // 16 zeros, the sign and 15 bits of |v|.
    int32_t vector(int32_t v) {
        uint32_t a = magnitudeOf(v);
        uint32_t zeros = 0;
        if constexpr (D::kWriting) {
            d_.expect(a <= 32767, "a vector component of -32768");
            zeros = a == 0 ? 0 : a < 16384 ? bitLength(a) : 16;
        }
        zeros = C::prefix(d_, zeros, 1, 16);
        if (zeros == 0) {
            note(d_, cases::kVectorZero);
            return 0;
        }
        if (zeros == 16) {
            const uint32_t positive = d_.field(v >= 0, 1);
            a = d_.field(a & 0x7FFF, 15);
            if constexpr (!D::kWriting) d_.expect(a >= 16384, "a short vector component escaped");
            note(d_, a == 32767 ? cases::kVectorLargest : cases::kVectorEscaped);
            return positive ? int32_t(a) : -int32_t(a);
        }
        if constexpr (!D::kWriting) d_.expect(zeros <= 14, "a vector component of 15 bits not escaped");
        const uint32_t e = zeros - 1;
        const uint32_t positive = d_.field(v > 0, 1);
        a = (1u << e) | d_.field(a & ((1u << e) - 1), e);
        note(d_, a <= 7 ? cases::kVectorSmall + 2 * (a - 1) + !positive
                        : a == 16383 ? cases::kVector16383 : cases::kVectorGeneral);
        return positive ? int32_t(a) : -int32_t(a);
    }

    static uint8_t median(uint8_t a, uint8_t b, uint8_t c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

    // The predictors of the next macroblock: a copy in a slice's first row,
    // else the median of the two above and the one to the left (in key frames
    // the intra one only).
    static void predict(uint8_t* entry, const uint8_t* up, bool first, bool key) {
        if (first) {
            entry[2] = entry[0];
            entry[3] = entry[1];
            return;
        }
        entry[2] = median(up[0], up[2], entry[0]);
        if (!key) entry[3] = median(up[1], up[3], entry[1]);
    }

    // A slice ends with its last word stored whole; a slice that wrote no
    // bit still stores one word.
    void endSlice(size_t sliceBits) {
        if constexpr (D::kWriting) {
            d_.w.flush();
        } else {
            const size_t at = d_.r.position();
            uint32_t pad = at == sliceBits ? 32 : static_cast<uint32_t>((32 - (at & 31)) & 31);
            while (pad) {
                const uint32_t n = std::min<uint32_t>(pad, 16);
                d_.expect(d_.field(0, n) == 0, "set bits in the padding of a slice");
                pad -= n;
            }
        }
    }

    // A flag list of n flags: its mode bit, then the flags raw (8 per byte,
    // first flag lowest) or in runs.  In the value stream both modes keep
    // the mode byte and the flags packed in bytes.
    void flagList(uint32_t n, uint32_t which) {
        Values& s = s_[kFrameHeader];
        const uint32_t mode = C::flag(d_, s, Value::kListMode);
        note(d_, which);
        note(d_, mode ? cases::kRunList : cases::kRawList);
        const size_t bytes = (size_t(n) + 7) / 8;
        uint8_t* flags = nullptr;
        if constexpr (kGenerating<D>) {
            flags = D::takeFlags(s, bytes, n, mode);
        } else if constexpr (D::kWriting) {
            flags = const_cast<uint8_t*>(s.take(bytes));  // only read
            if (!flags) return;
            if (n & 7) d_.expect((flags[bytes - 1] >> (n & 7)) == 0, "set bits past the last flag");
        } else {
            s.insert(s.end(), bytes, 0);
            flags = s.data() + s.size() - bytes;
        }
        if (n == 0) return;
        if (mode == 0) {
            for (size_t i = 0; i < bytes; ++i) {
                const uint32_t width = std::min<uint32_t>(8, n - 8 * static_cast<uint32_t>(i));
                const uint32_t v = d_.field(flags[i] & ((1u << width) - 1), width);
                if constexpr (!D::kWriting) flags[i] = static_cast<uint8_t>(v);
            }
        } else {
            runs(flags, n);
        }
    }

    static uint32_t flagAt(const uint8_t* f, uint32_t i) { return (f[i >> 3] >> (i & 7)) & 1; }
    static void setFlags(uint8_t* f, uint32_t from, uint32_t count, uint32_t v) {
        if (!v) return;
        for (uint32_t i = from; i < from + count; ++i) f[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
    }

    // Run coding of a flag list.  Each step takes a value v (written, or the
    // opposite of the last one after a run that a different flag stopped)
    // and either a run of v over the next k or k + 1 flags, extended by a
    // k-bit count, or a literal group of the next 4 flags.
    void runs(uint8_t* f, uint32_t n) {
        enum { kNone, kChanged, kRun, kLiteral } state = kNone;
        uint32_t i = 0, v = 0;
        while (i < n) {
            const uint32_t left = n - i;
            const uint32_t k = left <= 3 ? 2 : left <= 15 ? 4 : 5;
            const bool implied = state == kChanged;
            uint32_t span = k;
            if (implied) {
                v ^= 1;
                if constexpr (!D::kWriting) setFlags(f, i, 1, v);
            } else {
                if constexpr (D::kWriting) v = flagAt(f, i);
                span = k + 1;
            }
            ++i;
            span = std::min(span, n - i);
            bool run = true;
            if constexpr (D::kWriting)
                for (uint32_t j = 0; run && j < span; ++j) run = flagAt(f, i + j) == v;
            run = d_.field(run, 1);
            if (!implied) {
                v = d_.field(v, 1);
                if constexpr (!D::kWriting) setFlags(f, i - 1, 1, v);
            }
            if (run) {
                if constexpr (!D::kWriting) setFlags(f, i, span, v);
                i += span;
                if (i == n) {
                    note(d_, cases::kRunEndsList);
                    break;
                }
                const uint32_t limit = std::min((1u << k) - 1, n - i);
                uint32_t count = 0;
                if constexpr (D::kWriting)
                    while (count < limit && flagAt(f, i + count) == v) ++count;
                count = d_.field(count, k);
                if constexpr (!D::kWriting) {
                    d_.expect(count <= limit, "a flag run past the end of the list");
                    if (count > limit) return;
                    setFlags(f, i, count, v);
                }
                i += count;
                state = count < limit ? kChanged : kRun;
                note(d_, count < limit ? cases::kRunStopped : cases::kRunFull);
            } else {
                const uint32_t width = std::min(n - i, 4u);
                uint32_t bits = 0;
                if constexpr (D::kWriting)
                    for (uint32_t j = 0; j < width; ++j) bits |= flagAt(f, i + j) << j;
                bits = d_.field(bits, width);
                if constexpr (!D::kWriting)
                    for (uint32_t j = 0; j < width; ++j) setFlags(f, i + j, 1, (bits >> j) & 1);
                i += width;
                state = kLiteral;
                note(d_, width < 4 ? cases::kShortLiteral : cases::kLiteral);
            }
            if (stopped()) return;
        }
    }

    D& d_;
    StreamArray<Values>& s_;
    const BinkContext& c_;
    uint8_t* rows_;
    Bink2MacroblockSyntax<D> mb_;
    uint8_t recency_[4] = {};
};

}  // namespace dev::bink2
