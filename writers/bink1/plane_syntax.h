// The bitstream syntax of a Bink 1 video packet, written once for both
// directions over a bit-direction policy D (writers/bit_direction.h):
// BitsOut for the frame writer, which takes the values from the sub-streams
// and writes the bits, and BitsIn for the packer's parser, which reads the
// bits and appends the values.  The synthetic file generator draws tree
// descriptions and residue fields by parsing random bits with them.
//
// A packet is its first word and its planes; a plane is 23 tree
// descriptions, then per block row the bundle chunks that are due and the
// walk over the row's blocks, then the end of its last 32-bit word:
//   - tree descriptions: a code row and the order of the values 0..15;
//   - bundle chunks: a count, then the values in the bundle's coding form;
//     wherever a form is a choice the writer makes it from the values (or
//     from a form choice flag) and the parser checks that the file made
//     the same one;
//   - the block walk: takes block types from their bundle, counts what each
//     block uses of the other bundles (which decides when their next chunks
//     are due) and writes the fields that live in the blocks: run fields,
//     residue budgets and fields, coefficient fields and quantisers.
// Bundle values travel in their sub-streams in chunk order; the parser
// appends each chunk's values when it has read them.
#pragma once

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/sub_streams.h"
#include "writers/bink1/bundle_areas.h"
#include "writers/bink1/format.h"
#include "writers/bink1/walks.h"
#include "writers/bit_direction.h"

namespace dev::bink1 {

// ---- Trees ------------------------------------------------------------------

// A tree of a plane: a code row and the value that takes each code index.
// The prefix code of the policies' symbol().
struct Tree {
    uint8_t row = 0;
    uint8_t valueAt[16] = {};  // code index -> value
    uint8_t code[16] = {};     // value -> code bits
    uint8_t length[16] = {};   // value -> code length

    void build(uint32_t codeRow, const uint8_t order[16]) {
        row = static_cast<uint8_t>(codeRow);
        std::memset(code, 0, sizeof code);
        std::memset(length, 0, sizeof length);
        const CodeRow& c = kCodeRows[codeRow];
        for (uint32_t k = 0; k < 16; ++k) {
            valueAt[k] = order[k];
            code[order[k]] = c.code[k];
            length[order[k]] = c.length[k];
        }
    }
    DEV_INLINE bool put(BitWriter& w, uint32_t v) const {
        w.put(code[v & 15], length[v & 15]);
        return v < 16;
    }
    DEV_INLINE uint32_t read(BitReader& r) const {
        const uint32_t e = kCodeLookup[row][r.peek(kLongestCode)];
        r.skip(static_cast<int>(e >> 4));
        return valueAt[e & 15];
    }
};

// A tree description (writers/bink1/walks.h) with every field one field of
// the bitstream.  The DEV stream keeps each as one element of the tree
// sub-stream.
template <class D>
struct TreeFields {
    D& d;
    typename D::Values& fields;
    DEV_INLINE uint32_t row() { return d.byteField(fields, 4); }
    DEV_INLINE uint32_t explicitList() { return d.byteField(fields, 1); }
    DEV_INLINE uint32_t listLength() { return d.byteField(fields, 3); }
    DEV_INLINE uint32_t listValue() { return d.byteField(fields, 4); }
    DEV_INLINE uint32_t mergePasses() { return d.byteField(fields, 2); }
    DEV_INLINE uint32_t mergeBit(uint32_t) { return d.byteField(fields, 1); }
    DEV_INLINE void expect(bool ok, const char* what) { d.expect(ok, what); }
};

template <class D>
void treeDescription(D& d, typename D::Values& fields, Tree& tree) {
    TreeFields<D> r{d, fields};
    uint8_t order[16];
    const uint32_t row = treeOrder(r, order);
    tree.build(row, order);
}

// ---- Coefficient fields -----------------------------------------------------

// The 63 AC coefficients of a block as the coefficient field needs them:
// magnitude, sign and bit length per slot, the largest bit length of every
// aligned group of four slots (list entries other than singles cover whole
// groups) and of the block.
struct CoefficientBlock {
    uint32_t mag[64];
    uint8_t negative[64];
    uint8_t len[64];
    uint8_t groupLen[16];
    uint32_t top = 0;

    // The writer sets every slot it reads, so only the lengths need clearing.
    explicit CoefficientBlock(bool clearValues) {
        std::memset(len, 0, sizeof len);
        std::memset(groupLen, 0, sizeof groupLen);
        if (clearValues) {
            std::memset(mag, 0, sizeof mag);
            std::memset(negative, 0, sizeof negative);
        }
    }
    // Each slot at most once, slot 0 never; setting 0 leaves the slot out.
    DEV_INLINE void set(uint32_t slot, int32_t v) {
        const uint32_t m = static_cast<uint32_t>(v < 0 ? -int64_t(v) : v);
        const uint32_t b = bitLength(2 * m + 1) - 1;  // bitLength(m), with no branch for 0 (m < 2^31)
        mag[slot] = m;
        negative[slot] = v < 0;
        len[slot] = static_cast<uint8_t>(b);
        // Without branches: the lengths of a block's values are erratic.
        groupLen[slot >> 2] = static_cast<uint8_t>(std::max<uint32_t>(groupLen[slot >> 2], b));
        top = std::max(top, b);
    }
    int32_t value(uint32_t slot) const {
        if (!len[slot]) return 0;
        return negative[slot] ? -static_cast<int32_t>(mag[slot]) : static_cast<int32_t>(mag[slot]);
    }
};

namespace detail {

// Scan list entry: slot in bits 0-5, mode in bits 6-7, from bit 8 the length
// of the entry's cover (the largest bit length of its slots; the writer's
// choices follow from it).  Finished entries leave the list.
//
// Modes and their covers: 0 - twenty slots from g, 1 - sixteen, 2 - four,
// 3 - slot g alone.  The list's shape depends on the decisions only through
// which groups split when, never on where: each group of four splits once
// and each slot goes to the front at most once, and three mode-1 entries
// append three entries each, so 64 entries each way from the middle of 128
// always suffice.
constexpr uint32_t kCoverGroups[3] = {5, 4, 1};
constexpr int kListMiddle = 64;

DEV_INLINE uint16_t makeEntry(const CoefficientBlock& b, uint32_t slot, uint32_t mode) {
    uint32_t len = b.len[slot];
    if (mode != 3) {
        len = 0;
        for (uint32_t g = slot >> 2, e = g + kCoverGroups[mode]; g < e; ++g) len = b.groupLen[g] > len ? b.groupLen[g] : len;
    }
    return static_cast<uint16_t>(slot | (mode << 6) | (len << 8));
}
DEV_INLINE uint32_t slotOf(uint16_t e) { return e & 63u; }
DEV_INLINE uint32_t modeOf(uint16_t e) { return (e >> 6) & 3u; }
DEV_INLINE uint32_t lengthOf(uint16_t e) { return e >> 8; }

// The planes of a coefficient field, from plane top - 1 down to 0: a walk
// over a list of coefficient groups, each entry announced by one bit per
// plane until it becomes significant, then split; single coefficients send
// their remaining magnitude bits and sign once they turn significant.
template <class D>
DEV_INLINE void coefficientPlanes(D& d, CoefficientBlock& b, uint32_t top) {
    uint16_t list[128];
    int start = kListMiddle;
    int end = kListMiddle;
    list[end++] = makeEntry(b, 4, 0);
    list[end++] = makeEntry(b, 24, 0);
    list[end++] = makeEntry(b, 44, 0);
    list[end++] = makeEntry(b, 1, 3);
    list[end++] = makeEntry(b, 2, 3);
    list[end++] = makeEntry(b, 3, 3);

    for (int k = static_cast<int>(top) - 1; k >= 0; --k) {
        const uint32_t plane = static_cast<uint32_t>(k) + 1;
        const uint32_t low = (1u << k) - 1;
        // The magnitude bits below the leading one, then the sign.
        auto single = [&](uint32_t s) {
            const uint32_t m = d.field(b.mag[s] & low, static_cast<uint32_t>(k));
            const uint32_t negative = d.field(b.negative[s], 1);
            if constexpr (!D::kWriting) {
                const int32_t v = static_cast<int32_t>(m | (1u << k));
                b.set(s, negative ? -v : v);
            }
        };
        // Four slots of a group that has just turned significant: the ones
        // significant in this plane send their bits, the others wait in the
        // list as singles, inserted at the front (this walk does not visit
        // them).
        auto four = [&](uint32_t g) {
            for (uint32_t s = g; s < g + 4; ++s) {
                if (d.flag(b.len[s] != plane)) list[--start] = makeEntry(b, s, 3);
                else single(s);
            }
        };
        // The walk keeps the entries that stay in the list packed from where
        // this plane's part began (kept <= pos), so the next plane visits
        // no finished ones; front insertions lie below that point, appended
        // entries at the end, beyond what the walk has read.
        int kept = start;
        for (int pos = start; pos < end; ++pos) {
            uint16_t e = list[pos];
            for (;;) {
                if (!d.flag(lengthOf(e) == plane)) {
                    list[kept++] = e;
                    break;
                }
                const uint32_t g = slotOf(e);
                const uint32_t mode = modeOf(e);
                if (mode == 0) {  // four slots split off; the rest, a mode-1 group, is visited again
                    e = makeEntry(b, g + 4, 1);
                    four(g);
                } else if (mode == 1) {  // four groups of four; the first is visited again
                    e = makeEntry(b, g, 2);
                    list[end++] = makeEntry(b, g + 4, 2);
                    list[end++] = makeEntry(b, g + 8, 2);
                    list[end++] = makeEntry(b, g + 12, 2);
                } else {
                    if (mode == 2) four(g);
                    else single(g);
                    break;  // finished: not kept
                }
            }
        }
        end = kept;
    }
}

}  // namespace detail

// The coefficient field of an intra or inter block, from or to the block's
// coefficient list in `list`: a 16-bit count, then the coefficients of
// stored positions 1 to count (the parser ends the list at the last non-zero
// one).  The writer leaves the field out for a count above 63 (valid streams
// never hold one) and fails on a magnitude the 4-bit plane count cannot
// express.
template <class D>
bool coefficientField(D& outer, typename D::Values& list) {
    uint32_t count = 0;
    if constexpr (D::kWriting) {
        count = list.get16();
        if (count == 0) {  // many blocks: the field is the plane count 0 alone
            outer.field(0, 4);
            return true;
        }
        if (count > kMaxCoefficientCount) return true;
    }
    CoefficientBlock b(!D::kWriting);
    if constexpr (D::kWriting) {
        // One check for the whole list, and no branch on each value (zeros
        // are set like the others): the values of a block are erratic.
        const uint8_t* v = list.take(2 * size_t(count));
        if (!v) {  // the list ran out: the packet fails as a whole (see intact())
            outer.field(0, 4);
            return true;
        }
        for (uint32_t i = 1; i <= count; ++i, v += 2)
            b.set(kCoefficientOrder[i], static_cast<int16_t>(loadLe16(v)));
        if (b.top > 15) return false;
    }
    // A local copy lets the compiler keep the policy's state in registers.
    D d = outer;
    const uint32_t top = d.field(b.top, 4);
    if (top) detail::coefficientPlanes(d, b, top);
    if constexpr (!D::kWriting) {
        d.expect(b.top == top, "coefficient field has more bit planes than its largest value");
        for (uint32_t i = 1; i < 64; ++i)
            if (b.len[kCoefficientOrder[i]]) count = i;
        D::emit16(list, count);
        for (uint32_t i = 1; i <= count; ++i) D::emit16(list, static_cast<uint32_t>(b.value(kCoefficientOrder[i])));
    }
    outer = d;
    return true;
}

// ---- Residue fields ---------------------------------------------------------

// The residue field of a residue block: its pass count in 3 bits, then the
// walk of writers/bink1/walks.h with every decision one bit.  The DEV
// stream keeps the pass count and each decision as one element of the
// residue sub-stream; the elements taken drive the walk, which tells how many
// belong to the field.
template <class D>
struct ResidueBits {
    D& d;
    typename D::Values& fields;
    DEV_INLINE void pass(uint32_t) {}
    DEV_INLINE uint32_t bit() { return d.byteField(fields, 1); }
    DEV_INLINE uint32_t refinement() { return bit(); }
    DEV_INLINE uint32_t entry() { return bit(); }
    DEV_INLINE uint32_t later() { return bit(); }
    DEV_INLINE uint32_t sign() { return bit(); }
    DEV_INLINE uint32_t lateSign() { return bit(); }
};

template <class D>
void residueField(D& outer, typename D::Values& fields, uint32_t budget) {
    D d = outer;
    ResidueBits<D> bits{d, fields};
    residueWalk(bits, d.byteField(fields, 3), budget);
    outer = d;
}

// ---- Bundles ----------------------------------------------------------------

// One bundle of a plane.  Positions count values from the start of the area.
struct Bundle {
    uint8_t* data = nullptr;
    uint32_t capacity = 0;  // values the area holds
    uint32_t fill = 0;      // values the chunks have supplied
    uint32_t consume = 0;   // values the walk has used (it counts past fill for bundles it never reads)
    uint32_t width = 0;     // bits of each chunk count
    bool ended = false;     // a count of 0 ended the bundle for the plane

    // A chunk is due while the bundle goes on and the walk has used every
    // value supplied so far.
    bool due() const { return !ended && fill <= consume; }
};

// How our writer codes a block-type chunk in values and run codes: for each
// maximal run of equal values the value, unless it continues the last value
// (as an opening run of zeros does, the last value starting at 0), then its
// repeats, a run code only while more repeats remain than it stands for.
struct TypeRunSplit {
    const uint8_t* v;
    uint32_t count;
    uint32_t runEnd = 0;

    uint32_t next(uint32_t i, uint32_t last) {
        if (i >= runEnd) {
            runEnd = i + 1;
            while (runEnd < count && v[runEnd] == v[i]) ++runEnd;
        }
        if (v[i] != last) return v[i];
        const uint32_t left = runEnd - i;
        for (uint32_t c = 4; c-- > 0;)
            if (left > kRunCodeRepeats[c]) return kFirstRunCode + c;
        return v[i];
    }
};

// What a block-type symbol stands for: a value, or repeats of the last one.
struct TypeStep {
    uint32_t count;
    uint32_t value;
};
DEV_INLINE TypeStep typeStep(uint32_t symbol, uint32_t last) {
    if (symbol < kFirstRunCode) return {1, symbol};
    return {kRunCodeRepeats[(symbol - kFirstRunCode) & 3], last};
}

DEV_INLINE bool allEqual(const uint8_t* v, uint32_t count) {
    for (uint32_t i = 1; i < count; ++i)
        if (v[i] != v[0]) return false;
    return true;
}
DEV_INLINE uint32_t magnitude(int32_t v) { return static_cast<uint32_t>(v < 0 ? -v : v); }
DEV_INLINE int32_t loadDc(const uint8_t* p, uint32_t i) { return static_cast<int16_t>(loadLe16(p + 2 * i)); }
DEV_INLINE void storeDc(uint8_t* p, uint32_t i, int32_t v) { storeLe16(p + 2 * i, static_cast<uint32_t>(v)); }

// ---- Planes and packets -----------------------------------------------------

template <class D>
class PlaneSyntax {
public:
    using Values = typename D::Values;
    static constexpr uint32_t kMaxPlanes = 4;

    // The policy starts where the packet starts (the writer's output, or the
    // parser's reader).  Values: the sub-streams, by number (the writer's
    // readers, or the parser's frame).  The areas must hold
    // bundleAreaBytes(width, height).
    PlaneSyntax(const D& policy, StreamArray<Values>& values, const BundleAreas& areas, uint32_t width, uint32_t height)
        : d_(policy), s_(values), areas_(areas), width_(width), height_(height) {}

    // Where the policy stands: the writer's output, the parser's reader.
    D& policy() { return d_; }

    enum class Packet { Coded, Stored, Failed };

    // A video packet: its first word and the record's coded-or-stored byte,
    // then (coded) the planes in frame order: alpha and the alpha word after
    // it, luma, the two chroma planes.  The parser codes every packet it
    // reads; the writer hands a stored one back to its caller.
    Packet packet(bool alpha, bool grayscale) {
        Values& records = s_[kPacketRecords];
        packetWord(d_, records);
        if (D::take8(records)) return Packet::Stored;
        D::emit8(records, 0);
        if (alpha) {
            if (!plane(false)) return Packet::Failed;
            packetWord(d_, records);
            if (!intact("packet ends before the word after the alpha plane")) return Packet::Failed;
        }
        if (!plane(false)) return Packet::Failed;
        if (!grayscale && (!plane(true) || !plane(true))) return Packet::Failed;
        return Packet::Coded;
    }

    // One plane: the tree descriptions, per block row the chunks that are
    // due and the block walk, and the end of the last word.  false when the
    // values or bits cannot form a plane; reason() says why.
    bool plane(bool chroma) {
        PlaneGeometry g;
        if (!planeGeometry(width_, height_, chroma, g)) return fail("plane wider than 1008 blocks");
        for (int b = 0; b < kBundleCount; ++b) {
            Bundle& u = bundles_[b];
            u = Bundle();
            u.data = areas_.area(b);
            u.capacity = static_cast<uint32_t>(areas_.bytes() / bundleElementBytes(b));
            u.width = g.countWidth[b];
        }
        local([&](D& d) {
            Values& fields = s_[kTrees];
            for (int b : {kBundleBlockTypes, kBundleSubBlockTypes}) treeDescription(d, fields, trees_[b]);
            for (Tree& t : colourHigh_) treeDescription(d, fields, t);
            for (int b : {kBundleColours, kBundlePatterns, kBundleXOffsets, kBundleYOffsets, kBundleRuns})
                treeDescription(d, fields, trees_[b]);
            return true;
        });
        colourLast_ = 0;
        if (!intact("packet ends inside the trees")) return false;
        for (uint32_t r = 0; r < g.rows; ++r) {
            // A plane without block columns uses nothing, so after its first
            // row no chunk is due: the other rows hold nothing, however many
            // a damaged header claims.
            if (g.columns == 0 && r > 0) break;
            const bool ok = local([&](D& d) {
                for (int b = 0; b < kBundleCount; ++b)
                    if (!chunk(d, b)) return false;
                return blockRow(d, r, g.columns);
            });
            if (!ok || !intact("packet ends inside a block row")) return false;
        }
        d_.align32();
        if (!intact("packet ends inside a plane")) return false;
        if (planes_ < kMaxPlanes) {
            intraBlocks_[planes_] = bundles_[kBundleIntraDc].consume;
            interBlocks_[planes_] = bundles_[kBundleInterDc].consume;
        }
        ++planes_;
        return true;
    }

    const char* reason() const { return reason_; }
    // Planes written or read so far, and the intra and inter blocks of each.
    uint32_t planes() const { return planes_; }
    uint32_t intraBlocks(uint32_t p) const { return p < kMaxPlanes ? intraBlocks_[p] : 0; }
    uint32_t interBlocks(uint32_t p) const { return p < kMaxPlanes ? interBlocks_[p] : 0; }

private:
    bool fail(const char* why) {
        if (!reason_) reason_ = why;
        return false;
    }

    // Runs f on a local copy of the policy.  The writer's output bytes could
    // alias any object in memory, so a bit accumulator there would be stored
    // and reloaded around every byte; a local one stays in registers.
    template <class F>
    DEV_INLINE bool local(F&& f) {
        D d = d_;
        const bool ok = f(d);
        d_ = d;
        return ok;
    }

    // Nothing went wrong so far: for the writer, no sub-stream ran out and
    // every value fitted its field; for the parser, the packet did not end
    // and every choice was ours.
    bool intact(const char* where) {
        if constexpr (D::kWriting) {
            for (const ValueReader& r : s_)
                if (r.underflow) return fail(where);
            return !d_.failed() || fail(where);
        } else {
            if (d_.r.overrun()) return fail(where);
            return !d_.failed() || fail(d_.mismatchWhy ? d_.mismatchWhy : "a choice our writer makes differently");
        }
    }

    // The 32-bit word of the packet record that leads a packet or follows the
    // alpha plane, in two fields.
    static void packetWord(D& d, Values& records) {
        const uint32_t w = D::take32(records);
        const uint32_t low = d.field(w & 0xFFFF, 16);
        const uint32_t high = d.field(w >> 16, 16);
        D::emit32(records, low | high << 16);
    }

    // The chunk of bundle b for the current row, when one is due.
    DEV_INLINE bool chunk(D& d, int b) {
        Bundle& u = bundles_[b];
        if (!u.due()) return true;
        const int32_t taken = static_cast<int16_t>(D::take16(s_[kChunkCounts]));
        if (taken < 0) return fail("negative chunk count");
        const uint32_t count = d.checkedField(static_cast<uint32_t>(taken), u.width);
        if constexpr (!D::kWriting) {
            if (count > 0x7FFF) return fail("chunk count above 32767");
            D::emit16(s_[kChunkCounts], count);
        }
        if (count == 0) {
            u.ended = true;
            return true;
        }
        if (count > u.capacity - u.fill) return fail("chunk overflows the bundle area");
        const size_t bytes = size_t(count) * bundleElementBytes(b);
        uint8_t* v = u.data + size_t(u.fill) * bundleElementBytes(b);
        Values& source = s_[kBundleSource[b]];
        if constexpr (D::kWriting) {
            const uint8_t* from = source.take(bytes);
            if (!from) return fail("chunk values missing");
            std::memcpy(v, from, bytes);
        }
        switch (b) {
        case kBundleBlockTypes:
        case kBundleSubBlockTypes:
            if (!typeChunk(d, trees_[b], v, count)) return false;
            break;
        case kBundleColours:
            colourChunk(d, v, count);
            break;
        case kBundlePatterns:
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t x = D::kWriting ? v[i] : 0;
                const uint32_t low = d.symbol(trees_[b], x & 15u);
                const uint32_t high = d.symbol(trees_[b], x >> 4);
                if constexpr (!D::kWriting) v[i] = static_cast<uint8_t>(low | high << 4);
            }
            break;
        case kBundleIntraDc:
        case kBundleInterDc:
            dcChunk(d, b == kBundleInterDc, v, count);
            break;
        default:
            choiceChunk(d, b, v, count);
            break;
        }
        if constexpr (!D::kWriting) source.insert(source.end(), v, v + bytes);
        u.fill += count;
        return true;
    }

    // Block and sub-block types: all zeros in one 4-bit field, or values and
    // run codes.
    DEV_INLINE bool typeChunk(D& d, const Tree& tree, uint8_t* v, uint32_t count) {
        bool zeros = true;
        if constexpr (D::kWriting) {
            for (uint32_t i = 0; i < count; ++i) {
                if (v[i] >= kFirstRunCode) return fail("block type that reads as a run code");
                zeros &= v[i] == 0;
            }
        }
        if (d.field(D::kWriting && zeros, 1)) {
            const uint32_t x = d.field(0, 4);
            d.expect(x == 0, "block-type chunk: all-equal form with a non-zero value");
            if constexpr (!D::kWriting) std::memset(v, static_cast<int>(x), count);
            return true;
        }
        if constexpr (!D::kWriting) symbols_.clear();
        TypeRunSplit split{v, count};
        uint32_t last = 0;
        for (uint32_t i = 0; i < count;) {
            const uint32_t symbol = d.symbol(tree, D::kWriting ? split.next(i, last) : 0);
            const TypeStep step = typeStep(symbol, last);
            if (step.count > count - i) return fail("block-type run passes the chunk end");
            if constexpr (!D::kWriting) {
                std::memset(v + i, static_cast<int>(step.value), step.count);
                symbols_.push_back(static_cast<uint8_t>(symbol));
            }
            last = step.value;
            i += step.count;
        }
        if constexpr (!D::kWriting) {
            for (uint32_t i = 0; i < count && zeros; ++i) zeros = v[i] == 0;
            d.expect(!zeros, "block-type chunk of zeros written value by value");
            last = 0;
            size_t k = 0;
            for (uint32_t i = 0; i < count; ++k) {
                const uint32_t symbol = split.next(i, last);
                d.expect(k < symbols_.size() && symbol == symbols_[k],
                         "block-type chunk: runs split differently from our writer");
                const TypeStep step = typeStep(symbol, last);
                last = step.value;
                i += step.count;
            }
        }
        return true;
    }

    // A colour: the high nibble with the colour-high tree chosen by the last
    // high nibble, then the low nibble with the colour tree.
    DEV_INLINE uint32_t colour(D& d, uint32_t v) {
        const uint32_t high = d.symbol(colourHigh_[colourLast_], v >> 4) & 15;
        colourLast_ = high;
        const uint32_t low = d.symbol(trees_[kBundleColours], v & 15);
        return high << 4 | low;
    }

    // Colours: one for the whole chunk when all are equal, else every one.
    DEV_INLINE void colourChunk(D& d, uint8_t* v, uint32_t count) {
        if (d.field(D::kWriting && allEqual(v, count), 1)) {
            const uint32_t c = colour(d, D::kWriting ? v[0] : 0);
            if constexpr (!D::kWriting) std::memset(v, static_cast<int>(c), count);
            return;
        }
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t c = colour(d, D::kWriting ? v[i] : 0);
            if constexpr (!D::kWriting) v[i] = static_cast<uint8_t>(c);
        }
        if constexpr (!D::kWriting) d.expect(!allEqual(v, count), "colour chunk of equal values written value by value");
    }

    // Motion offsets (signed) and runs: one 4-bit value for a chunk of equal
    // values when its form choice flag says so, else every value with the
    // bundle's tree.  Offsets send a sign after every non-zero magnitude.
    DEV_INLINE void choiceChunk(D& d, int b, uint8_t* v, uint32_t count) {
        const bool isSigned = b != kBundleRuns;
        // The values being written; the parser has none yet.
        auto valueAt = [&](uint32_t i) {
            if constexpr (!D::kWriting) return 0;
            return isSigned ? static_cast<int32_t>(static_cast<int8_t>(v[i])) : int32_t(v[i]);
        };
        auto sign = [&](uint32_t m, int32_t x) {
            const bool negative = isSigned && m && d.field(x < 0, 1);
            return static_cast<uint8_t>(negative ? 0u - m : m);
        };
        const bool equal = D::kWriting && allEqual(v, count);
        if (d.field(equal && D::take8(s_[kFormChoices]) != 0, 1)) {
            const int32_t x = valueAt(0);
            const uint32_t m = d.checkedField(magnitude(x), 4);
            const uint8_t r = sign(m, x);
            if constexpr (!D::kWriting) {
                std::memset(v, r, count);
                D::emit8(s_[kFormChoices], 1);
            }
            return;
        }
        for (uint32_t i = 0; i < count; ++i) {
            const int32_t x = valueAt(i);
            const uint8_t r = sign(d.symbol(trees_[b], magnitude(x)), x);
            if constexpr (!D::kWriting) v[i] = r;
        }
        if constexpr (!D::kWriting) {
            if (allEqual(v, count)) D::emit8(s_[kFormChoices], 0);
        }
    }

    // DC values: the first in full, the others as deltas in groups of eight,
    // each group with the bit length of its largest delta.
    DEV_INLINE void dcChunk(D& d, bool inter, uint8_t* p, uint32_t count) {
        const int32_t first = D::kWriting ? loadDc(p, 0) : 0;
        d.expect(inter || first >= 0, "intra DC below 0");
        const uint32_t m = d.checkedField(magnitude(first), inter ? kInterDcBits : kIntraDcBits);
        int32_t previous = inter && m && d.field(first < 0, 1) ? -static_cast<int32_t>(m) : static_cast<int32_t>(m);
        if constexpr (!D::kWriting) storeDc(p, 0, previous);
        for (uint32_t i = 1; i < count; i += kDcGroup) {
            const uint32_t n = count - i < kDcGroup ? count - i : kDcGroup;
            int32_t delta[kDcGroup] = {};
            uint32_t widest = 0;
            if constexpr (D::kWriting) {
                for (uint32_t j = 0; j < n; ++j) {
                    const int32_t v = loadDc(p, i + j);
                    delta[j] = v - previous;
                    previous = v;
                    const uint32_t b = bitLength(magnitude(delta[j]));
                    widest = b > widest ? b : widest;
                }
            }
            const uint32_t width = d.checkedField(widest, 4);
            if (width) {
                const uint32_t mask = (1u << width) - 1;
                for (uint32_t j = 0; j < n; ++j) {
                    const uint32_t dm = d.field(magnitude(delta[j]) & mask, width);
                    const bool negative = dm && d.field(delta[j] < 0, 1);
                    if constexpr (!D::kWriting) delta[j] = negative ? -static_cast<int32_t>(dm) : static_cast<int32_t>(dm);
                }
            }
            if constexpr (!D::kWriting) {
                for (uint32_t j = 0; j < n; ++j) {
                    previous += delta[j];
                    storeDc(p, i + j, previous);
                    const uint32_t b = bitLength(magnitude(delta[j]));
                    widest = b > widest ? b : widest;
                }
                d.expect(widest == width, "DC delta group wider than its largest delta");
            }
        }
    }

    // The next value of a bundle the walk reads (block types, sub-block
    // types, runs); false when no chunk has supplied it.
    DEV_INLINE bool take(int b, uint32_t& v) {
        Bundle& u = bundles_[b];
        if (u.consume >= u.fill) return fail("a block uses a bundle value no chunk supplied");
        v = u.data[u.consume++];
        return true;
    }

    // The blocks of row `row`.
    DEV_INLINE bool blockRow(D& d, uint32_t row, uint32_t columns) {
        for (uint32_t x = 0; x < columns;) {
            uint32_t type;
            if (!take(kBundleBlockTypes, type)) return false;
            if (type == kScaledBlock) {
                // A scaled block covers two columns of two rows; on the odd
                // row its lower half is only marked, with no fields.
                if (!(row & 1)) {
                    uint32_t content;
                    if (!take(kBundleSubBlockTypes, content)) return false;
                    if (!isScaledContent(content)) return fail("scaled block of a content type it cannot have");
                    if (!blockFields(d, content)) return false;
                }
                x += 2;
                continue;
            }
            if (!blockFields(d, type)) return false;
            x += 1;
        }
        return true;
    }

    DEV_INLINE void motion() {
        ++bundles_[kBundleXOffsets].consume;
        ++bundles_[kBundleYOffsets].consume;
    }

    // What a block uses of the bundles, and the fields it holds itself.
    DEV_INLINE bool blockFields(D& d, uint32_t type) {
        switch (type) {
        case kSkipBlock:
            return true;
        case kMotionBlock:
            motion();
            return true;
        case kRunBlock:
            return runField(d);
        case kResidueBlock:
            motion();
            residueField(d, s_[kResidues], d.byteField(s_[kResidueBudgets], 7));
            return true;
        case kIntraBlock:
            ++bundles_[kBundleIntraDc].consume;
            if (!coefficientField(d, s_[kIntraCoefficients])) return fail("coefficient of 16 bits or more");
            d.byteField(s_[kIntraQuantisers], 4);
            return true;
        case kFillBlock:
            bundles_[kBundleColours].consume += 1;
            return true;
        case kInterBlock:
            motion();
            ++bundles_[kBundleInterDc].consume;
            if (!coefficientField(d, s_[kInterCoefficients])) return fail("coefficient of 16 bits or more");
            d.byteField(s_[kInterQuantisers], 4);
            return true;
        case kPatternBlock:
            bundles_[kBundleColours].consume += 2;
            bundles_[kBundlePatterns].consume += 8;
            return true;
        case kRawBlock:
            bundles_[kBundleColours].consume += 64;
            return true;
        default:
            return fail("block type outside 0..9");
        }
    }

    // A run block: the scan index, then per run a fill flag, until the runs
    // cover the block; the colours they take are only counted.
    DEV_INLINE bool runField(D& d) {
        d.byteField(s_[kRunFields], 4);
        Bundle& colours = bundles_[kBundleColours];
        RunCover cover;
        uint32_t p = colours.consume;
        while (cover.open()) {
            uint32_t run;
            if (!take(kBundleRuns, run)) return false;
            if (!cover.add(run)) return fail("runs pass the 64 pixels of a block");
            p += RunCover::colours(run, d.byteField(s_[kRunFields], 1));
        }
        colours.consume = p + cover.closingColours();
        return true;
    }

    struct NoScratch {};

    D d_;
    StreamArray<Values>& s_;
    const BundleAreas& areas_;
    uint32_t width_, height_;
    Bundle bundles_[kBundleCount];
    Tree trees_[kBundleCount];  // none for the DC bundles
    Tree colourHigh_[16];
    uint32_t colourLast_ = 0;  // high nibble of the last colour
    uint32_t planes_ = 0;
    uint32_t intraBlocks_[kMaxPlanes] = {};
    uint32_t interBlocks_[kMaxPlanes] = {};
    const char* reason_ = nullptr;
    // The parser's record of a block-type chunk's symbols, to check the split.
    [[no_unique_address]] std::conditional_t<D::kWriting, NoScratch, std::vector<uint8_t>> symbols_;
};

}  // namespace dev::bink1
