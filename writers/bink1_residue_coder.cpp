#include "writers/bink1_residue_coder.h"

namespace dev {

namespace {

// Scan list entry: slot in bits 0-5, mode in bits 6-7; a cleared entry is 0.
// Slot 0 does take part in the residue (it starts in a mode-2 group and may
// come back as a mode-3 single), but never with mode 0, so 0 stays free.
inline uint16_t entry(uint32_t slot, uint32_t mode) { return static_cast<uint16_t>(slot | (mode << 6)); }

// Every group of four slots is split at most once, so at most 64 entries are
// inserted at the front and at most nine appended: 128 entries from the
// middle suffice whatever the elements say.
constexpr int kListMiddle = 64;

}  // namespace

bool Bink1ResidueCoder::write(BitWriter& w, ValueReader& bits, uint32_t budget) {
    bool bad = false;
    // Takes one decision element and writes it as one bit.
    auto take = [&]() -> uint32_t {
        const uint32_t b = bits.get8();
        bad |= b > 1;
        w.put(b & 1, 1);
        return b & 1;
    };

    const uint32_t passes = bits.get8();
    if (passes > 7) return false;
    w.put(passes, 3);

    uint16_t list[128];
    int start = kListMiddle;
    int end = kListMiddle;
    list[end++] = entry(4, 0);
    list[end++] = entry(24, 0);
    list[end++] = entry(44, 0);
    list[end++] = entry(0, 2);

    int32_t left = static_cast<int32_t>(budget);
    uint32_t found = 0;  // coefficients that turned non-zero so far

    // Four slots of a split group; false once the budget is spent.
    auto codeFour = [&](uint32_t g) -> bool {
        for (uint32_t s = g; s < g + 4; ++s) {
            if (take()) {
                list[--start] = entry(s, 3);
            } else {
                ++found;
                take();  // sign
                if (--left < 0) return false;
            }
        }
        return true;
    };

    for (uint32_t pass = 0; pass <= passes; ++pass) {
        // Refinement of the coefficients found in earlier passes.
        const uint32_t known = found;
        for (uint32_t i = 0; i < known; ++i)
            if (take() && --left < 0) return !bad;
        int pos = start;
        while (pos < end) {
            const uint16_t e = list[pos];
            if (e == 0 || !take()) {
                ++pos;
                continue;
            }
            const uint32_t g = e & 63u;
            switch ((e >> 6) & 3u) {
            case 0:
                list[pos] = entry(g + 4, 1);
                if (!codeFour(g)) return !bad;
                break;
            case 1:
                list[pos] = entry(g, 2);
                list[end++] = entry(g + 4, 2);
                list[end++] = entry(g + 8, 2);
                list[end++] = entry(g + 12, 2);
                break;
            case 2:
                list[pos++] = 0;
                if (!codeFour(g)) return !bad;
                break;
            default:
                take();  // sign
                ++found;
                list[pos++] = 0;
                if (--left < 0) return !bad;
                break;
            }
        }
    }
    return !bad;
}

}  // namespace dev
