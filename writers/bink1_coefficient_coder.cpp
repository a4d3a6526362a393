#include "writers/bink1_coefficient_coder.h"

#include <algorithm>
#include <cstring>

#include "writers/bink1_tables.h"

namespace dev {

namespace {

// The coefficients of one block as the field needs them: magnitude, sign and
// bit length per slot, and the largest bit length of every aligned group of
// four slots (the covers of all list entries are made of such groups).
struct Block {
    uint32_t mag[64];
    uint8_t len[64];
    uint8_t negative[64];
    uint8_t groupLen[16];
    uint32_t top = 0;  // largest bit length of slots 1..63

    Block() {
        std::memset(len, 0, sizeof len);
        std::memset(groupLen, 0, sizeof groupLen);
    }
    // Slots may be set in any order, each at most once, slot 0 never.
    void set(uint32_t slot, int32_t v) {
        const uint32_t m = static_cast<uint32_t>(v < 0 ? -int64_t(v) : v);
        const uint32_t b = binkBitLength(m);
        mag[slot] = m;
        len[slot] = static_cast<uint8_t>(b);
        negative[slot] = v < 0;
        groupLen[slot >> 2] = static_cast<uint8_t>(std::max<uint32_t>(groupLen[slot >> 2], b));
        top = std::max(top, b);
    }
};

// Scan list entry: slot in bits 0-5, mode in bits 6-7, length (the largest
// bit length of the slots the entry covers) from bit 8.  A cleared entry is
// 0; slot 0 never appears in this list (the DC is sent elsewhere), so no live
// entry packs to 0.
//
// Modes and the slots they cover: 0 - twenty slots from g, 1 - sixteen, 2 -
// four, 3 - slot g alone.  Every cover but mode 3's is whole groups of four.
constexpr uint32_t kCoverGroups[3] = {5, 4, 1};

// Front insertions are at most one per slot (63) and appends at most nine,
// so starting in the middle of 128 entries leaves room both ways.
constexpr int kListMiddle = 64;

inline uint16_t makeEntry(const Block& b, uint32_t slot, uint32_t mode) {
    uint32_t len;
    if (mode == 3) {
        len = b.len[slot];
    } else {
        const uint8_t* g = b.groupLen + (slot >> 2);
        len = *std::max_element(g, g + kCoverGroups[mode]);
    }
    return static_cast<uint16_t>(slot | (mode << 6) | (len << 8));
}

inline uint32_t slotOf(uint16_t e) { return e & 63u; }
inline uint32_t modeOf(uint16_t e) { return (e >> 6) & 3u; }
inline uint32_t lengthOf(uint16_t e) { return e >> 8; }

bool writeBlock(BitWriter& out, const Block& b) {
    const uint32_t top = b.top;
    if (top > 15) return false;
    if (top == 0) {
        out.put(0, 4);
        return true;
    }
    // A local copy lets the compiler keep the accumulator in registers; the
    // caller's writer is reachable through every byte pointer.
    BitWriter w = out;
    w.put(top, 4);

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
        // Four slots of a group that has just turned significant: the ones
        // significant in this plane send their bits, the others wait in the
        // list as single coefficients (inserted at the front, so this walk
        // does not visit them).
        auto codeFour = [&](uint32_t g) {
            for (uint32_t s = g; s < g + 4; ++s) {
                if (b.len[s] == plane) {
                    w.put(0, 1);
                    w.put(b.mag[s] & low, static_cast<uint32_t>(k));
                    w.put(b.negative[s], 1);
                } else {
                    w.put(1, 1);
                    list[--start] = makeEntry(b, s, 3);
                }
            }
        };
        int pos = start;
        while (pos < end) {
            const uint16_t e = list[pos];
            if (e == 0) {
                ++pos;
                continue;
            }
            if (lengthOf(e) != plane) {
                w.put(0, 1);
                ++pos;
                continue;
            }
            w.put(1, 1);
            const uint32_t g = slotOf(e);
            switch (modeOf(e)) {
            case 0:  // split off four slots; the rest stays as one mode-1 group
                list[pos] = makeEntry(b, g + 4, 1);
                codeFour(g);
                break;
            case 1:  // split into four groups of four
                list[pos] = makeEntry(b, g, 2);
                list[end++] = makeEntry(b, g + 4, 2);
                list[end++] = makeEntry(b, g + 8, 2);
                list[end++] = makeEntry(b, g + 12, 2);
                break;
            case 2:
                list[pos++] = 0;
                codeFour(g);
                break;
            default:  // single coefficient turning significant
                w.put(b.mag[g] & low, static_cast<uint32_t>(k));
                w.put(b.negative[g], 1);
                list[pos++] = 0;
                break;
            }
        }
    }
    out = w;
    return true;
}

}  // namespace

bool Bink1CoefficientCoder::writeSlots(BitWriter& w, const int32_t slots[64]) {
    Block b;
    for (uint32_t s = 1; s < 64; ++s)
        if (slots[s]) b.set(s, slots[s]);
    return writeBlock(w, b);
}

bool Bink1CoefficientCoder::write(BitWriter& w, ValueReader& source) {
    const uint32_t count = source.get16();
    if (count > 63) return true;
    if (count == 0) {
        w.put(0, 4);
        return true;
    }
    Block b;
    for (uint32_t i = 1; i <= count; ++i) {
        const int32_t v = source.get16s();
        if (v) b.set(kBink1CoefficientOrder[i], v);
    }
    return writeBlock(w, b);
}

}  // namespace dev
