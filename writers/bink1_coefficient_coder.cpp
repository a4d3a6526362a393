#include "writers/bink1_coefficient_coder.h"

#include <algorithm>

#include "writers/bink1_tables.h"

namespace dev {

namespace {

// Scan list entry: slot in bits 0-5, mode in bits 6-7, length (the largest
// bit length of the slots the entry covers) from bit 8.  A cleared entry is
// 0; slot 0 never appears in this list (the DC is sent elsewhere), so no live
// entry packs to 0.
//
// Modes and the slots they cover: 0 - twenty slots from g, 1 - sixteen, 2 -
// four, 3 - slot g alone.
constexpr uint32_t kCover[4] = {20, 16, 4, 1};

// Front insertions are at most one per slot (63) and appends at most nine,
// so starting in the middle of 128 entries leaves room both ways.
constexpr int kListMiddle = 64;

struct Entries {
    const uint8_t* lengths;
    uint16_t make(uint32_t slot, uint32_t mode) const {
        const uint8_t* from = lengths + slot;
        const uint32_t len = *std::max_element(from, from + kCover[mode]);
        return static_cast<uint16_t>(slot | (mode << 6) | (len << 8));
    }
};

inline uint32_t slotOf(uint16_t e) { return e & 63u; }
inline uint32_t modeOf(uint16_t e) { return (e >> 6) & 3u; }
inline uint32_t lengthOf(uint16_t e) { return e >> 8; }

}  // namespace

bool Bink1CoefficientCoder::writeSlots(BitWriter& w, const int32_t slots[64]) {
    uint32_t mag[64];
    uint8_t len[64];
    uint32_t top = 0;
    for (int s = 0; s < 64; ++s) {
        mag[s] = static_cast<uint32_t>(slots[s] < 0 ? -int64_t(slots[s]) : slots[s]);
        len[s] = static_cast<uint8_t>(binkBitLength(mag[s]));
        if (s) top = std::max<uint32_t>(top, len[s]);
    }
    len[0] = 0;  // never coded here
    if (top > 15) return false;
    w.put(top, 4);
    if (top == 0) return true;

    const Entries make{len};
    uint16_t list[128];
    int start = kListMiddle;
    int end = kListMiddle;
    list[end++] = make.make(4, 0);
    list[end++] = make.make(24, 0);
    list[end++] = make.make(44, 0);
    list[end++] = make.make(1, 3);
    list[end++] = make.make(2, 3);
    list[end++] = make.make(3, 3);

    for (int k = static_cast<int>(top) - 1; k >= 0; --k) {
        const uint32_t plane = static_cast<uint32_t>(k) + 1;
        const uint32_t low = (1u << k) - 1;
        // Four slots of a group that has just turned significant: the ones
        // significant in this plane send their bits, the others wait in the
        // list as single coefficients (inserted at the front, so this walk
        // does not visit them).
        auto codeFour = [&](uint32_t g) {
            for (uint32_t s = g; s < g + 4; ++s) {
                if (len[s] == plane) {
                    w.put(0, 1);
                    w.put(mag[s] & low, static_cast<uint32_t>(k));
                    w.put(slots[s] < 0, 1);
                } else {
                    w.put(1, 1);
                    list[--start] = make.make(s, 3);
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
                list[pos] = make.make(g + 4, 1);
                codeFour(g);
                break;
            case 1:  // split into four groups of four
                list[pos] = make.make(g, 2);
                list[end++] = make.make(g + 4, 2);
                list[end++] = make.make(g + 8, 2);
                list[end++] = make.make(g + 12, 2);
                break;
            case 2:
                list[pos++] = 0;
                codeFour(g);
                break;
            default:  // single coefficient turning significant
                w.put(mag[g] & low, static_cast<uint32_t>(k));
                w.put(slots[g] < 0, 1);
                list[pos++] = 0;
                break;
            }
        }
    }
    return true;
}

bool Bink1CoefficientCoder::write(BitWriter& w, ValueReader& source) {
    const uint32_t count = source.get16();
    if (count > 63) return true;
    int32_t slots[64] = {};
    for (uint32_t i = 1; i <= count; ++i) slots[kBink1CoefficientOrder[i]] = source.get16s();
    return writeSlots(w, slots);
}

}  // namespace dev
