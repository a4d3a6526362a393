// Bink 1 plane bitstream: tree descriptions, per-row bundle chunks, and the
// row loop around the block walk.
#include "writers/bink1_plane_writer.h"

#include <cstring>
#include <initializer_list>

#include "core/pipeline.h"
#include "writers/bink1_plane_state.h"
#include "writers/bink1_tables.h"

namespace dev {

namespace {

// Block columns a plane may have; the video frame stage keeps one byte per
// column of the row above and sizes that row for no more.
constexpr uint32_t kMaxBlockColumns = 1008;

// Sub-stream each bundle's chunk values come from.
constexpr int kBundleSource[kBundleCount] = {2, 3, 5, 10, 9, 8, 16, 19, 6};

// Sub-streams the plane writer reads (11 belongs to the frame assembly).
constexpr int kReadStreams[] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};

inline uint32_t elementSize(int bundle) { return bundle == kBundleIntraDc || bundle == kBundleInterDc ? 2 : 1; }

inline int32_t dcAt(const uint8_t* p, uint32_t i) { return static_cast<int16_t>(p[2 * i] | (p[2 * i + 1] << 8)); }

inline uint32_t magnitude(int32_t v) { return static_cast<uint32_t>(v < 0 ? -v : v); }

// One tree description: the tree number, then either nothing (tree 0 keeps
// the values in order), an explicit list of the first values, or the merge
// decisions that sort the sixteen values into code order.  Every field comes
// from sub-stream 12 and is written back as it is; the control flow only
// decides how many fields follow.
void writeTree(Bink1PlaneState& s, Bink1ValueCodes& codes) {
    ValueReader& in = s.in[12];
    const uint32_t t = s.putField(in, 4);
    uint8_t order[16];
    for (uint32_t k = 0; k < 16; ++k) order[k] = static_cast<uint8_t>(k);
    if (t != 0) {
        if (s.putField(in, 1)) {
            const uint32_t n = s.putField(in, 3);
            bool named[16] = {};
            uint32_t k = 0;
            for (uint32_t i = 0; i <= n; ++i) {
                const uint32_t v = s.putField(in, 4);
                order[k++] = static_cast<uint8_t>(v);
                named[v] = true;
            }
            for (uint32_t v = 0; v < 16 && k < 16; ++v)
                if (!named[v]) order[k++] = static_cast<uint8_t>(v);
        } else {
            const uint32_t passes = s.putField(in, 2);
            for (uint32_t i = 0; i <= passes; ++i) {
                const uint32_t size = 1u << i;
                for (uint32_t start = 0; start < 16; start += 2 * size) {
                    uint8_t merged[16];
                    uint32_t a = start, b = start + size, k = 0;
                    const uint32_t aEnd = start + size, bEnd = start + 2 * size;
                    while (a < aEnd && b < bEnd) merged[k++] = s.putField(in, 1) ? order[b++] : order[a++];
                    while (a < aEnd) merged[k++] = order[a++];
                    while (b < bEnd) merged[k++] = order[b++];
                    std::memcpy(order + start, merged, k);
                }
            }
        }
    }
    // Value order[k] takes code index k.  (A list naming a value twice leaves
    // the last value out; such a tree never comes from a Bink encoder.)
    const Bink1TreeRow& row = kBink1Trees[t];
    for (uint32_t k = 0; k < 16; ++k) {
        codes.code[order[k]] = row.code[k];
        codes.length[order[k]] = row.length[k];
    }
}

void writeColour(Bink1PlaneState& s, uint32_t v) {
    const uint32_t high = v >> 4;
    s.putValue(s.colourHigh[s.colourLast], high);
    s.colourLast = high;
    s.putValue(s.trees[kBundleColours], v & 15);
}

// Block and sub-block types: all zeros in five bits, else runs of equal
// values where the tree values 12..15 stand for 4, 8, 12 and 32 repeats of
// the last value.  A run code is only used when more repeats remain than it
// covers, which is how the Bink encoder splits runs.  A decoder starts every
// chunk with 0 as the last value, and the Bink encoder makes use of it: a
// chunk that opens with zeros sends them all as repeats, without a first 0
// (every such chunk of the real files we have seen does so).
void writeTypes(Bink1PlaneState& s, const Bink1ValueCodes& tree, const uint8_t* v, uint32_t t) {
    bool allZero = true;
    for (uint32_t i = 0; i < t; ++i) allZero &= v[i] == 0;
    if (allZero) {
        s.w.put(1, 1);
        s.w.put(0, 4);
        return;
    }
    s.w.put(0, 1);
    uint32_t last = 0;
    for (uint32_t i = 0; i < t;) {
        const uint32_t value = v[i];
        uint32_t j = i + 1;
        while (j < t && v[j] == value) ++j;
        s.bad |= value >= 12;  // would read as a run code
        uint32_t left = j - i;
        if (value != last) {  // runs are maximal: only an opening run of zeros can repeat `last`
            s.putValue(tree, value);
            left -= 1;
            last = value;
        }
        while (left > 0) {
            if (left > 32) {
                s.putValue(tree, 15);
                left -= 32;
            } else if (left > 12) {
                s.putValue(tree, 14);
                left -= 12;
            } else if (left > 8) {
                s.putValue(tree, 13);
                left -= 8;
            } else if (left > 4) {
                s.putValue(tree, 12);
                left -= 4;
            } else {
                s.putValue(tree, value);
                left -= 1;
            }
        }
        i = j;
    }
}

bool allEqual(const uint8_t* v, uint32_t t) {
    for (uint32_t i = 1; i < t; ++i)
        if (v[i] != v[0]) return false;
    return true;
}

// Motion offsets: magnitude and sign; the all-equal short form is used when
// the packer recorded that the encoder chose it.
void writeOffsets(Bink1PlaneState& s, const Bink1ValueCodes& tree, const uint8_t* v, uint32_t t) {
    if (allEqual(v, t) && s.in[21].get8()) {
        const int32_t x = static_cast<int8_t>(v[0]);
        const uint32_t m = magnitude(x);
        s.bad |= m > 15;
        s.w.put(1, 1);
        s.w.put(m & 15, 4);
        if (x) s.w.put(x < 0, 1);
        return;
    }
    s.w.put(0, 1);
    for (uint32_t i = 0; i < t; ++i) {
        const int32_t x = static_cast<int8_t>(v[i]);
        s.putValue(tree, magnitude(x));
        if (x) s.w.put(x < 0, 1);
    }
}

void writeRuns(Bink1PlaneState& s, const Bink1ValueCodes& tree, const uint8_t* v, uint32_t t) {
    if (allEqual(v, t) && s.in[21].get8()) {
        s.bad |= v[0] > 15;
        s.w.put(1, 1);
        s.w.put(v[0] & 15u, 4);
        return;
    }
    s.w.put(0, 1);
    for (uint32_t i = 0; i < t; ++i) s.putValue(tree, v[i]);
}

// DC values: the first in full, the rest as deltas in groups of eight, each
// group with the bit length of its largest delta.
void writeDcs(Bink1PlaneState& s, const uint8_t* p, uint32_t t, bool isSigned) {
    const int32_t first = dcAt(p, 0);
    const uint32_t m = magnitude(first);
    if (isSigned) {
        s.bad |= m >= 1024;
        s.w.put(m & 1023, 10);
        if (first) s.w.put(first < 0, 1);
    } else {
        s.bad |= m >= 2048;
        s.w.put(m & 2047, 11);
    }
    int32_t previous = first;
    for (uint32_t i = 1; i < t; i += 8) {
        const uint32_t n = t - i < 8 ? t - i : 8;
        int32_t delta[8];
        uint32_t widest = 0;
        for (uint32_t j = 0; j < n; ++j) {
            const int32_t v = dcAt(p, i + j);
            delta[j] = v - previous;
            previous = v;
            const uint32_t b = binkBitLength(magnitude(delta[j]));
            widest = b > widest ? b : widest;
        }
        s.bad |= widest > 15;
        widest &= 15;
        s.w.put(widest, 4);
        if (!widest) continue;
        const uint32_t mask = (1u << widest) - 1;
        for (uint32_t j = 0; j < n; ++j) {
            s.w.put(magnitude(delta[j]) & mask, widest);
            if (delta[j]) s.w.put(delta[j] < 0, 1);
        }
    }
}

// The chunk of bundle b for the current row, when one is due.
bool writeChunk(Bink1PlaneState& s, int b) {
    Bink1Bundle& u = s.bundles[b];
    if (u.ended || u.fill > u.consume) return true;
    const int32_t t = s.in[14].get16s();
    if (t < 0) return false;
    s.bad |= (static_cast<uint32_t>(t) >> u.width) != 0;
    s.w.put(static_cast<uint32_t>(t), u.width);
    if (t == 0) {
        u.ended = true;
        return true;
    }
    const uint32_t count = static_cast<uint32_t>(t);
    if (count > u.capacity - u.fill) return false;
    const uint32_t size = elementSize(b);
    const uint8_t* src = s.in[kBundleSource[b]].take(size_t(count) * size);
    if (!src) return false;
    uint8_t* v = u.data + size_t(u.fill) * size;
    std::memcpy(v, src, size_t(count) * size);
    u.fill += count;

    switch (b) {
    case kBundleBlockTypes:
    case kBundleSubBlockTypes:
        writeTypes(s, s.trees[b], v, count);
        break;
    case kBundleColours:
        if (allEqual(v, count)) {
            s.w.put(1, 1);
            writeColour(s, v[0]);
        } else {
            s.w.put(0, 1);
            for (uint32_t i = 0; i < count; ++i) writeColour(s, v[i]);
        }
        break;
    case kBundlePatterns:
        for (uint32_t i = 0; i < count; ++i) {
            s.putValue(s.trees[b], v[i] & 15u);
            s.putValue(s.trees[b], v[i] >> 4);
        }
        break;
    case kBundleXOffsets:
    case kBundleYOffsets:
        writeOffsets(s, s.trees[b], v, count);
        break;
    case kBundleIntraDc:
    case kBundleInterDc:
        writeDcs(s, v, count, b == kBundleInterDc);
        break;
    default:
        writeRuns(s, s.trees[b], v, count);
        break;
    }
    return true;
}

bool streamsIntact(const Bink1PlaneState& s) {
    for (int n : kReadStreams)
        if (s.in[n].underflow) return false;
    return !s.w.overflow && !s.bad;
}

bool writeRows(Bink1PlaneState& s, uint32_t rows) {
    for (int t : {kBundleBlockTypes, kBundleSubBlockTypes}) writeTree(s, s.trees[t]);
    for (Bink1ValueCodes& t : s.colourHigh) writeTree(s, t);
    for (int t : {kBundleColours, kBundlePatterns, kBundleXOffsets, kBundleYOffsets, kBundleRuns})
        writeTree(s, s.trees[t]);
    s.colourLast = 0;
    if (!streamsIntact(s)) return false;
    for (uint32_t r = 0; r < rows; ++r) {
        // A plane with no block columns consumes nothing, so after its first
        // row every bundle has ended or stays ahead of the walk: the other
        // rows write nothing, however many the header claims.
        if (s.blocksPerRow == 0 && r > 0) break;
        for (int b = 0; b < kBundleCount; ++b)
            if (!writeChunk(s, b)) return false;
        if (!writeBink1BlockRow(s, r) || !streamsIntact(s)) return false;
    }
    return true;
}

}  // namespace

int32_t Bink1PlaneWriter::writePlane(BinkContext& c, int isChroma) {
    if (!c.streams) return -1;
    for (const BundleArea& a : c.bundles)
        if ((a.start == nullptr) != (a.end == nullptr) || a.end < a.start) return -1;

    // In 64 bits, so that a header width near 2^32 cannot wrap to a narrow plane.
    const uint64_t planeWidth = isChroma ? c.width >> 1 : c.width;
    const uint64_t wideColumns = isChroma ? (uint64_t(c.width) + 15) >> 4 : (uint64_t(c.width) + 7) >> 3;
    if (wideColumns > kMaxBlockColumns) return -1;
    const uint32_t columns = static_cast<uint32_t>(wideColumns);
    const uint32_t a = planeWidth < 8 ? 15 : static_cast<uint32_t>(planeWidth + 7);
    const uint32_t rows = static_cast<uint32_t>(isChroma ? (uint64_t(c.height) + 15) >> 4 : (uint64_t(c.height) + 7) >> 3);

    Bink1PlaneState s;
    s.w = BitWriter::fromContext(c);
    s.blocksPerRow = columns;
    const uint8_t* begin[22] = {};
    for (int n : kReadStreams) {
        s.in[n] = c.streams[n - 1].frontReader();
        begin[n] = s.in[n].p;
    }
    const uint32_t offsetWidth = binkBitLength((a >> 3) + 511);
    const uint32_t widths[kBundleCount] = {
        offsetWidth,
        binkBitLength((a >> 4) + 511),
        binkBitLength(columns * 64 + 511),
        binkBitLength(columns * 8 + 511),
        offsetWidth,
        offsetWidth,
        offsetWidth,
        offsetWidth,
        binkBitLength(columns * 48 + 511),
    };
    for (int b = 0; b < kBundleCount; ++b) {
        Bink1Bundle& u = s.bundles[b];
        u.data = c.bundles[b].start;
        u.capacity = static_cast<uint32_t>(size_t(c.bundles[b].end - c.bundles[b].start) / elementSize(b));
        u.width = widths[b];
    }

    bool ok = writeRows(s, rows);
    if (ok) {
        s.w.flush();
        ok = !s.w.overflow;
    }
    for (int n : kReadStreams) c.streams[n - 1].cursor += s.in[n].p - begin[n];
    s.w.toContext(c);
    return ok ? 0 : -1;
}

}  // namespace dev
