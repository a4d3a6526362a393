#include "pack/bink1_plane_parser.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "writers/bink1_tables.h"

namespace dev {

namespace {

// Repeats stood for by block-type values 12 to 15 in the run form of a chunk.
constexpr uint32_t kTypeRepeats[4] = {4, 8, 12, 32};

// For each code shape, the code index and code length behind every 7-bit
// window of the stream (the longest code has 7 bits): entry = index | length << 4.
struct CodeLookup {
    std::array<std::array<uint8_t, 128>, 16> entry{};
    CodeLookup() {
        for (int t = 0; t < 16; ++t)
            for (uint32_t w = 0; w < 128; ++w)
                for (int k = 0; k < 16; ++k) {
                    const uint32_t len = kBink1Trees[t].length[k];
                    if ((w & ((1u << len) - 1)) == kBink1Trees[t].code[k]) {
                        entry[t][w] = static_cast<uint8_t>(k | len << 4);
                        break;
                    }
                }
    }
};
const CodeLookup& codeLookup() {
    static const CodeLookup lookup;
    return lookup;
}

// The symbol of the video frame stage's block-type model for a single block of
// type t (0, 2 to 9), and for a scaled block of content type t (index t).
constexpr int8_t kSingleSymbol[10] = {0, -1, 1, 2, 3, 4, 5, 6, 7, 8};
constexpr int8_t kScaledSymbol[10] = {-1, -1, -1, 11, -1, 9, 10, -1, 12, 13};

inline void put8(std::vector<uint8_t>& s, uint32_t v) { s.push_back(static_cast<uint8_t>(v)); }
inline void put16(std::vector<uint8_t>& s, int32_t v) {
    s.push_back(static_cast<uint8_t>(v));
    s.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> 8));
}

uint32_t widthFor(uint32_t x) { return binkBitLength(x + 511); }

// The symbols our writer codes a block-type chunk with: per maximal run of
// equal values the value, then its repeats with the run codes while more
// repeats remain than a code stands for.  A decoder starts every chunk with 0
// as the last value, so an opening run of zeros is all repeats (no value
// first), as the Bink encoder writes it.
void typeRunSymbols(const int32_t* v, uint32_t t, std::vector<uint8_t>& out) {
    out.clear();
    int32_t last = 0;
    for (uint32_t i = 0; i < t;) {
        uint32_t j = i;
        while (j < t && v[j] == v[i]) ++j;
        uint32_t r = j - i;
        if (v[i] != last) {
            out.push_back(static_cast<uint8_t>(v[i]));
            last = v[i];
            --r;
        }
        while (r > 0) {
            if (r > 32) out.push_back(15), r -= 32;
            else if (r > 12) out.push_back(14), r -= 12;
            else if (r > 8) out.push_back(13), r -= 8;
            else if (r > 4) out.push_back(12), r -= 4;
            else out.push_back(static_cast<uint8_t>(v[i])), r -= 1;
        }
        i = j;
    }
}

}  // namespace

Bink1PlaneParser::Bink1PlaneParser(uint32_t width, uint32_t height)
    : width_(width), height_(height),
      areaBytes_((size_t((width + 7) / 8) * 64) * ((height + 7) / 8)) {
    codeLookup();
}

uint32_t Bink1PlaneParser::readSymbol(const Tree& tree) {
    const uint8_t e = codeLookup().entry[tree.shape][bits_->peek(7)];
    bits_->skip(e >> 4);
    return tree.symbols[e & 15];
}

// A tree description: the code shape, then either an explicit list of the
// values taking the first code indices, or the merge decisions of up to four
// merge-sort passes over the values 0..15.  Every field goes to sub-stream 12.
bool Bink1PlaneParser::readTree(Tree& tree) {
    std::vector<uint8_t>& out = frame_->streams[12];
    BitReader& b = *bits_;
    tree.shape = static_cast<uint8_t>(b.get(4));
    put8(out, tree.shape);
    for (int i = 0; i < 16; ++i) tree.symbols[i] = static_cast<uint8_t>(i);
    if (tree.shape == 0) return true;
    const uint32_t explicitList = b.bit();
    put8(out, explicitList);
    if (explicitList) {
        const uint32_t n = b.get(3);
        put8(out, n);
        bool named[16] = {};
        for (uint32_t i = 0; i <= n; ++i) {
            const uint32_t v = b.get(4);
            put8(out, v);
            // A Bink decoder accepts a value named twice (it then leaves another
            // value without a code), but such a tree has no single code per
            // value and cannot be rewritten.
            if (named[v]) return fail("tree list names a value twice");
            named[v] = true;
            tree.symbols[i] = static_cast<uint8_t>(v);
        }
        uint32_t k = n + 1;
        for (uint32_t v = 0; v < 16; ++v)
            if (!named[v]) tree.symbols[k++] = static_cast<uint8_t>(v);
        return true;
    }
    const uint32_t passes = b.get(2);
    put8(out, passes);
    uint8_t order[16], merged[16];
    for (int i = 0; i < 16; ++i) order[i] = static_cast<uint8_t>(i);
    for (uint32_t pass = 0; pass <= passes; ++pass) {
        const uint32_t size = 1u << pass;
        for (uint32_t s = 0; s < 16; s += 2 * size) {
            uint32_t a = s, c = s + size, o = s;
            const uint32_t aEnd = s + size, cEnd = s + 2 * size;
            while (a < aEnd && c < cEnd) {
                const uint32_t second = b.bit();
                put8(out, second);
                merged[o++] = second ? order[c++] : order[a++];
            }
            while (a < aEnd) merged[o++] = order[a++];
            while (c < cEnd) merged[o++] = order[c++];
        }
        for (int i = 0; i < 16; ++i) order[i] = merged[i];
    }
    for (int i = 0; i < 16; ++i) tree.symbols[i] = order[i];
    return true;
}

bool Bink1PlaneParser::take(int bundle, int32_t& value) {
    Bundle& bd = bundles_[bundle];
    if (bd.consumed >= bd.values.size()) return fail("a block uses a bundle value no chunk supplied");
    value = bd.values[bd.consumed++];
    return true;
}

bool Bink1PlaneParser::takeColours(uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        int32_t c;
        if (!take(kBundleColours, c)) return false;
        put8(frame_->streams[5], static_cast<uint32_t>(c));
    }
    return true;
}

// One chunk of a bundle: its count, then the values in the bundle's coding.
bool Bink1PlaneParser::readChunk(int bundle) {
    Bundle& bd = bundles_[bundle];
    const uint32_t t = bits_->get(static_cast<int>(bd.width));
    if (t > 0x7FFF) return fail("chunk count above 32767");
    put16(frame_->streams[14], static_cast<int32_t>(t));
    if (t == 0) {
        bd.ended = true;
        return true;
    }
    if (bd.values.size() + t > bd.capacity) return fail("chunk overflows the bundle area");
    bool ok = true;
    switch (bundle) {
    case kBundleBlockTypes:
    case kBundleSubBlockTypes:
        ok = typeChunk(bd, t);
        break;
    case kBundleColours:
        ok = colourChunk(bd, t);
        break;
    case kBundlePatterns:
        for (uint32_t i = 0; i < t && !bits_->overrun(); ++i) {
            const uint32_t lo = readSymbol(bd.tree);
            bd.values.push_back(static_cast<int32_t>(lo | readSymbol(bd.tree) << 4));
        }
        break;
    case kBundleXOffsets:
    case kBundleYOffsets:
        smallChunk(bd, t, true);
        break;
    case kBundleRuns:
        smallChunk(bd, t, false);
        break;
    default:
        ok = dcChunk(bd, t, bundle == kBundleInterDc);
        break;
    }
    if (!ok) return false;
    if (bits_->overrun()) return fail("packet ends inside a chunk");
    return true;
}

// Block and sub-block types: all t values in one 4-bit field, or values and
// run codes (12 to 15: 4, 8, 12 or 32 more of the last value, which starts
// at 0 in every chunk).
bool Bink1PlaneParser::typeChunk(Bundle& bd, uint32_t t) {
    BitReader& b = *bits_;
    std::vector<int32_t>& v = bd.values;
    const size_t first = v.size();
    if (b.bit()) {
        const uint32_t x = b.get(4);
        // Our writer uses this form for chunks of zeros only.
        if (x != 0) note("block-type chunk: all-equal form with a non-zero value");
        v.insert(v.end(), t, static_cast<int32_t>(x));
        return true;
    }
    symbols_.clear();
    int32_t last = 0;
    while (v.size() - first < t) {
        const uint32_t s = readSymbol(bd.tree);
        symbols_.push_back(static_cast<uint8_t>(s));
        if (s < 12) {
            last = static_cast<int32_t>(s);
            v.push_back(last);
        } else {
            const uint32_t n = kTypeRepeats[s - 12];
            if (v.size() - first + n > t) return fail("block-type run passes the chunk end");
            v.insert(v.end(), n, last);
        }
        if (b.overrun()) return fail("packet ends inside a chunk");
    }
    bool zeros = true;
    for (uint32_t i = 0; i < t && zeros; ++i) zeros = v[first + i] == 0;
    if (zeros) note("block-type chunk of zeros written value by value");
    typeRunSymbols(&v[first], t, expected_);
    if (expected_ != symbols_) note("block-type chunk: runs split differently from our writer");
    return true;
}

// Colours: one value for the whole chunk, or every value; each as a high
// nibble (with the tree chosen by the previous high nibble) and a low nibble.
bool Bink1PlaneParser::colourChunk(Bundle& bd, uint32_t t) {
    std::vector<int32_t>& v = bd.values;
    const size_t first = v.size();
    auto colour = [&]() {
        colourLast_ = readSymbol(colourHigh_[colourLast_]);
        return static_cast<int32_t>(colourLast_ << 4 | readSymbol(bd.tree));
    };
    if (bits_->bit()) {
        v.insert(v.end(), t, colour());
        return true;
    }
    for (uint32_t i = 0; i < t && !bits_->overrun(); ++i) v.push_back(colour());
    bool same = true;
    for (size_t i = first + 1; i < v.size() && same; ++i) same = v[i] == v[first];
    // Our writer codes equal colours once.
    if (same) note("colour chunk of equal values written value by value");
    return true;
}

// Motion offsets (signed) and runs: one 4-bit value for the whole chunk, or
// every value with the bundle's tree.  Chunks of equal values record which
// form was used in sub-stream 21.
void Bink1PlaneParser::smallChunk(Bundle& bd, uint32_t t, bool sign) {
    BitReader& b = *bits_;
    std::vector<int32_t>& v = bd.values;
    std::vector<uint8_t>& flags = frame_->streams[21];
    const size_t first = v.size();
    if (b.bit()) {
        int32_t x = static_cast<int32_t>(b.get(4));
        if (sign && x && b.bit()) x = -x;
        v.insert(v.end(), t, x);
        put8(flags, 1);
        return;
    }
    for (uint32_t i = 0; i < t && !b.overrun(); ++i) {
        int32_t x = static_cast<int32_t>(readSymbol(bd.tree));
        if (sign && x && b.bit()) x = -x;
        v.push_back(x);
    }
    bool same = true;
    for (size_t i = first + 1; i < v.size() && same; ++i) same = v[i] == v[first];
    if (same) put8(flags, 0);
}

// DC values: the first in full (intra 11 bits; inter 10 bits and a sign),
// the others as deltas in groups of 8 sharing one bit width.
bool Bink1PlaneParser::dcChunk(Bundle& bd, uint32_t t, bool inter) {
    BitReader& b = *bits_;
    std::vector<int32_t>& v = bd.values;
    int32_t x;
    if (inter) {
        x = static_cast<int32_t>(b.get(10));
        if (x && b.bit()) x = -x;
    } else {
        x = static_cast<int32_t>(b.get(11));
    }
    v.push_back(x);
    for (uint32_t done = 1; done < t && !b.overrun();) {
        const uint32_t group = t - done < 8 ? t - done : 8;
        const uint32_t width = b.get(4);
        uint32_t widest = 0;
        for (uint32_t j = 0; j < group; ++j) {
            int32_t d = 0;
            if (width) {
                d = static_cast<int32_t>(b.get(static_cast<int>(width)));
                if (d && b.bit()) d = -d;
            }
            widest = std::max(widest, binkBitLength(static_cast<uint32_t>(std::abs(d))));
            x += d;
            if (x < -32768 || x > 32767) return fail("DC value leaves 16 bits");
            v.push_back(x);
        }
        // Our writer sizes every delta group to its largest delta.
        if (widest != width) note("DC delta group wider than its largest delta");
        done += group;
    }
    return true;
}

// The per-pixel run field of a run block: scan pattern, then runs with a fill
// flag each, until the runs cover at least 63 of the 64 pixels.
bool Bink1PlaneParser::runField() {
    std::vector<uint8_t>& fields = frame_->streams[7];
    put8(fields, bits_->get(4));
    uint32_t sum = 0;
    while (sum < 63) {
        int32_t k;
        if (!take(kBundleRuns, k)) return false;
        put8(frame_->streams[6], static_cast<uint32_t>(k));
        sum += static_cast<uint32_t>(k) + 1;
        if (sum > 64) return fail("runs pass the 64 pixels of a block");
        const uint32_t f = bits_->bit();
        put8(fields, f);
        if (!takeColours(f ? 1 : static_cast<uint32_t>(k) + 1)) return false;
    }
    return sum == 63 ? takeColours(1) : true;
}

// A DCT coefficient field: the number of bit planes, then per plane a walk
// over a list of coefficient groups, each entry costing a flag bit, groups
// splitting into single coefficients as they become significant.
bool Bink1PlaneParser::coefficientField(bool inter) {
    BitReader& b = *bits_;
    int32_t slots[64] = {};
    uint8_t coef[128], mode[128];
    int start = 64, end = 64;
    const uint8_t init[6][2] = {{4, 0}, {24, 0}, {44, 0}, {1, 3}, {2, 3}, {3, 3}};
    for (const auto& e : init) {
        coef[end] = e[0];
        mode[end++] = e[1];
    }
    const uint32_t planes = b.get(4);
    auto value = [&](int k) {
        if (k == 0) return b.bit() ? -1 : 1;
        int32_t m = static_cast<int32_t>(b.get(k) | 1u << k);
        return b.bit() ? -m : m;
    };
    for (int k = static_cast<int>(planes) - 1; k >= 0; --k) {
        int pos = start;
        while (pos < end) {
            if (!(coef[pos] | mode[pos]) || !b.bit()) {
                ++pos;
                continue;
            }
            uint32_t c = coef[pos];
            const uint8_t m = mode[pos];
            if (m == 1) {
                mode[pos] = 2;
                for (int i = 0; i < 3; ++i) {
                    c += 4;
                    if (end >= 128 || c > 63) return fail("coefficient list out of range");
                    coef[end] = static_cast<uint8_t>(c);
                    mode[end++] = 2;
                }
            } else if (m == 3) {
                if (c > 63) return fail("coefficient list out of range");
                slots[c] = value(k);
                coef[pos] = 0;
                mode[pos++] = 0;
            } else {
                if (m == 0) {
                    coef[pos] = static_cast<uint8_t>(c + 4);
                    mode[pos] = 1;
                } else {
                    coef[pos] = 0;
                    mode[pos++] = 0;
                }
                for (int i = 0; i < 4; ++i, ++c) {
                    if (c > 63) return fail("coefficient list out of range");
                    if (b.bit()) {
                        if (start <= 0) return fail("coefficient list out of range");
                        coef[--start] = static_cast<uint8_t>(c);
                        mode[start] = 3;
                    } else {
                        slots[c] = value(k);
                    }
                }
            }
            if (b.overrun()) return fail("packet ends inside a coefficient field");
        }
    }
    // Stored order, up to the last non-zero coefficient.
    int32_t stored[64];
    uint32_t count = 0, widest = 0;
    for (uint32_t i = 1; i < 64; ++i) {
        stored[i] = slots[kBink1CoefficientOrder[i]];
        if (stored[i]) {
            count = i;
            const uint32_t len = binkBitLength(static_cast<uint32_t>(std::abs(stored[i])));
            widest = len > widest ? len : widest;
        }
    }
    if (widest > 10) return fail("DCT coefficient of magnitude 1024 or more");
    if (widest != planes) note("coefficient field has more bit planes than its largest value");
    std::vector<uint8_t>& out = frame_->streams[inter ? 20 : 17];
    put16(out, static_cast<int32_t>(count));
    for (uint32_t i = 1; i <= count; ++i) put16(out, stored[i]);
    put8(frame_->streams[inter ? 18 : 15], b.get(4));  // quantiser index
    return true;
}

// A residue field: the start exponent, then the decisions of the bit-plane
// walk; each decision is one element of sub-stream 13.  The 7-bit budget of
// non-zero decisions precedes the field.
bool Bink1PlaneParser::residueField() {
    BitReader& b = *bits_;
    std::vector<uint8_t>& out = frame_->streams[13];
    int32_t budget = static_cast<int32_t>(b.get(7));
    put8(frame_->streams[4], static_cast<uint32_t>(budget));
    const uint32_t exponent = b.get(3);
    put8(out, exponent);
    uint8_t coef[128], mode[128];
    int start = 64, end = 64;
    const uint8_t init[4][2] = {{4, 0}, {24, 0}, {44, 0}, {0, 2}};
    for (const auto& e : init) {
        coef[end] = e[0];
        mode[end++] = e[1];
    }
    auto decision = [&]() {
        const uint32_t d = b.bit();
        put8(out, d);
        return d;
    };
    uint32_t found = 0;
    for (uint32_t pass = 0; pass <= exponent; ++pass) {
        const uint32_t before = found;
        for (uint32_t i = 0; i < before; ++i)
            if (decision() && --budget < 0) return true;
        int pos = start;
        while (pos < end) {
            if (!(coef[pos] | mode[pos]) || !decision()) {
                ++pos;
                continue;
            }
            uint32_t c = coef[pos];
            const uint8_t m = mode[pos];
            if (m == 1) {
                mode[pos] = 2;
                for (int i = 0; i < 3; ++i) {
                    c += 4;
                    if (end >= 128 || c > 63) return fail("residue list out of range");
                    coef[end] = static_cast<uint8_t>(c);
                    mode[end++] = 2;
                }
            } else if (m == 3) {
                decision();  // sign
                coef[pos] = 0;
                mode[pos++] = 0;
                ++found;
                if (--budget < 0) return true;
            } else {
                if (m == 0) {
                    coef[pos] = static_cast<uint8_t>(c + 4);
                    mode[pos] = 1;
                } else {
                    coef[pos] = 0;
                    mode[pos++] = 0;
                }
                for (int i = 0; i < 4; ++i, ++c) {
                    if (c > 63) return fail("residue list out of range");
                    if (decision()) {
                        if (start <= 0) return fail("residue list out of range");
                        coef[--start] = static_cast<uint8_t>(c);
                        mode[start] = 3;
                    } else {
                        decision();  // sign
                        ++found;
                        if (--budget < 0) return true;
                    }
                }
            }
            if (b.overrun()) return fail("packet ends inside a residue field");
        }
    }
    return true;
}

bool Bink1PlaneParser::blockContent(uint32_t type) {
    PackFrame& f = *frame_;
    int32_t x, y, dc;
    switch (type) {
    case 0:
        return true;
    case 2:
        if (!take(kBundleXOffsets, x) || !take(kBundleYOffsets, y)) return false;
        put8(f.streams[9], static_cast<uint32_t>(x));
        put8(f.streams[8], static_cast<uint32_t>(y));
        return true;
    case 3:
        return runField();
    case 4:
        if (!take(kBundleXOffsets, x) || !take(kBundleYOffsets, y)) return false;
        put8(f.streams[9], static_cast<uint32_t>(x));
        put8(f.streams[8], static_cast<uint32_t>(y));
        return residueField();
    case 5:
        if (!take(kBundleIntraDc, dc)) return false;
        // The DCT stage codes an intra DC as an unsigned value of up to 11 bits.
        if (dc < 0 || dc > 2047) return fail("intra DC outside 0..2047");
        put16(f.streams[16], dc);
        ++intraBlocks_;
        return coefficientField(false);
    case 6:
        return takeColours(1);
    case 7:
        if (!take(kBundleXOffsets, x) || !take(kBundleYOffsets, y) || !take(kBundleInterDc, dc)) return false;
        if (dc < -2047 || dc > 2047) return fail("inter DC outside -2047..2047");
        put8(f.streams[9], static_cast<uint32_t>(x));
        put8(f.streams[8], static_cast<uint32_t>(y));
        put16(f.streams[19], dc);
        ++interBlocks_;
        return coefficientField(true);
    case 8: {
        if (!takeColours(2)) return false;
        for (int i = 0; i < 8; ++i) {
            int32_t p;
            if (!take(kBundlePatterns, p)) return false;
            put8(f.streams[10], static_cast<uint32_t>(p));
        }
        return true;
    }
    case 9:
        return takeColours(64);
    default:
        return fail("block type outside 0..9");
    }
}

// The blocks of one row.  Alongside the Bink walk this replays the above-row
// rule of the video frame stage's block loop: on an odd row a position lies
// under a scaled block exactly when the stage's above entry holds a scaled
// symbol, and the Bink stream must then carry the lower-half marker (type 1)
// there, and nowhere else on odd rows.
bool Bink1PlaneParser::walkRow(uint32_t row) {
    PackFrame& f = *frame_;
    const bool odd = row & 1;
    uint32_t x = 0;
    while (x < columns_) {
        int32_t type;
        if (!take(kBundleBlockTypes, type)) return false;
        const uint8_t a = above_[x];
        if (odd && a > 8) {
            if (type != 1) return fail("odd row: block under a scaled block is not its lower half");
            above_[x + 1] = a;
            put8(f.streams[2], 1);
            x += 2;
            continue;
        }
        if (type == 1) {
            if (odd) return fail("odd row: lower half of a scaled block with no scaled block above");
            int32_t sub;
            if (!take(kBundleSubBlockTypes, sub)) return false;
            if (sub < 0 || sub > 9 || kScaledSymbol[sub] < 0) return fail("scaled block of a content type it cannot have");
            above_[x] = above_[x + 1] = static_cast<uint8_t>(kScaledSymbol[sub]);
            put8(f.streams[2], 1);
            put8(f.streams[3], static_cast<uint32_t>(sub));
            if (!blockContent(static_cast<uint32_t>(sub))) return false;
            x += 2;
            continue;
        }
        if (type < 0 || type > 9) return fail("block type outside 0..9");
        above_[x] = static_cast<uint8_t>(kSingleSymbol[type]);
        put8(f.streams[2], static_cast<uint32_t>(type));
        if (!blockContent(static_cast<uint32_t>(type))) return false;
        x += 1;
    }
    return true;
}

bool Bink1PlaneParser::parsePlane(BitReader& bits, bool chroma, PackFrame& frame) {
    bits_ = &bits;
    frame_ = &frame;
    reason_ = nullptr;
    hint_ = nullptr;
    intraBlocks_ = interBlocks_ = 0;

    const uint32_t pw = chroma ? width_ >> 1 : width_;
    const uint32_t a = pw < 8 ? 15 : pw + 7;
    columns_ = chroma ? (width_ + 15) >> 4 : (width_ + 7) >> 3;
    const uint32_t rows = chroma ? (height_ + 15) >> 4 : (height_ + 7) >> 3;
    if (columns_ > kBink1MaxBlockColumns) return fail("plane wider than 1008 blocks");

    const uint32_t widths[9] = {widthFor(a >> 3),  widthFor(a >> 4),        widthFor(columns_ * 64),
                                widthFor(columns_ * 8), widthFor(a >> 3),    widthFor(a >> 3),
                                widthFor(a >> 3),  widthFor(a >> 3),        widthFor(columns_ * 48)};
    for (int i = 0; i < 9; ++i) {
        Bundle& bd = bundles_[i];
        bd.width = widths[i];
        bd.capacity = static_cast<uint32_t>(i == kBundleIntraDc || i == kBundleInterDc ? areaBytes_ / 2 : areaBytes_);
        bd.values.clear();
        bd.consumed = 0;
        bd.ended = false;
        bd.tree = Tree{};
    }

    // Trees: block types, sub-block types, the 16 high-nibble colour trees,
    // colours, patterns, x offsets, y offsets, runs.
    if (!readTree(bundles_[kBundleBlockTypes].tree) || !readTree(bundles_[kBundleSubBlockTypes].tree)) return false;
    for (Tree& t : colourHigh_)
        if (!readTree(t)) return false;
    for (int i : {kBundleColours, kBundlePatterns, kBundleXOffsets, kBundleYOffsets, kBundleRuns})
        if (!readTree(bundles_[i].tree)) return false;
    if (bits.overrun()) return fail("packet ends inside the trees");
    colourLast_ = 0;

    for (uint32_t i = 0; i < columns_ + 16; ++i) above_[i] = 0;
    for (uint32_t r = 0; r < rows; ++r) {
        for (int i = 0; i < 9; ++i) {
            Bundle& bd = bundles_[i];
            if (!bd.ended && bd.values.size() <= bd.consumed && !readChunk(i)) return false;
        }
        if (!walkRow(r)) return false;
        if (bits.overrun()) return fail("packet ends inside a block row");
        // Without block columns nothing is consumed, so no chunk is due after
        // the first row: the remaining rows (as many as a damaged header
        // claims) read nothing.
        if (columns_ == 0) break;
    }
    bits.alignTo32();
    if (bits.overrun()) return fail("packet ends inside a plane");
    return true;
}

const char* parseBink1Packet(const BinkContext& c, PackFrame& frame, const char** hint) {
    if (hint) *hint = nullptr;
    if (c.isBink2) return "not a Bink 1 file";
    // Before version 'i' a frame has no leading 32-bit word, which our frame
    // assembly always writes.
    if (c.version < 'i') return "Bink 1 version without the frame's leading word";
    const auto& video = frame.video;
    if (video.size() < 4) return "packet shorter than 4 bytes";
    for (int n = 2; n <= 21; ++n) frame.streams[n].clear();
    frame.dctBlocks[0].clear();
    frame.dctBlocks[1].clear();

    std::vector<uint8_t>& record = frame.streams[11];
    record.assign(video.begin(), video.begin() + 4);
    record.push_back(0);

    Bink1PlaneParser parser(c.width, c.height);
    BitReader bits(video.data() + 4, video.size() - 4);
    auto plane = [&](bool chroma) -> const char* {
        if (!parser.parsePlane(bits, chroma, frame)) return parser.reason();
        if (hint && !*hint) *hint = parser.hint();
        frame.dctBlocks[0].push_back(parser.intraBlocks());
        frame.dctBlocks[1].push_back(parser.interBlocks());
        return nullptr;
    };
    if (c.hasAlpha) {
        if (const char* why = plane(false)) return why;
        const size_t at = bits.position() / 8;
        if (at + 4 > video.size() - 4) return "packet ends before the word after the alpha plane";
        record.insert(record.end(), video.begin() + 4 + at, video.begin() + 8 + at);
        bits.skip(32);
    }
    if (const char* why = plane(false)) return why;
    if (!c.grayscale) {
        if (const char* why = plane(true)) return why;
        if (const char* why = plane(true)) return why;
    }
    if (bits.position() != bits.sizeInBits()) return "bytes follow the last plane";
    return nullptr;
}

}  // namespace dev
