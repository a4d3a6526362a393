// The walk of a Bink 1 residue field, whatever codes its decisions: the
// plane syntax writes or reads each as one bit of the bitstream, the video
// frame stage codes each under contexts of its own.
//
// The field has the group-splitting shape of a coefficient field without the
// magnitudes: passes over a scan list of coefficient groups, each entry
// announced by a decision until it acts (a group splits, a waiting
// coefficient is found), and before every pass but the first one decision
// per coefficient found so far.  Each coefficient found, and each of those
// decisions that is 1, costs a unit of the budget sent before the field; the
// field ends the moment the budget runs out, or after its last pass.
#pragma once

#include <cstdint>

#include "core/range_decoder.h"  // DEV_INLINE

namespace dev::bink1 {

// The decisions of a residue field, one call each, in field order; R provides
//   void pass(uint32_t e);      // pass e begins (1 for the first)
//   uint32_t refinement();      // a coefficient found before this pass
//   uint32_t entry();           // an entry of the scan list: 1 acts on it
//   uint32_t later();           // a coefficient of a group that splits: 1
//                               // waits in the list, 0 is found now
//   uint32_t sign();            // the sign of a coefficient found at a split
//   uint32_t lateSign();        // the sign of a waiting coefficient found
// and each returns the decision (0 or 1).
template <class R>
DEV_INLINE void residueWalk(R& r, uint32_t passes, uint32_t budget) {
    // Entry: slot in bits 0-5, mode in bits 6-7 (0: twenty slots from the
    // slot, 1: sixteen, 2: four, 3: the slot alone); cleared 0.  Slot 0 does
    // take part (it starts in a mode-2 group and may return as a single), but
    // never with mode 0.  The list's shape does not depend on the decisions:
    // each slot goes to the front at most once and three mode-1 entries
    // append three entries each, so 64 entries each way from the middle of
    // 128 always suffice.
    auto entry = [](uint32_t slot, uint32_t mode) { return static_cast<uint16_t>(slot | (mode << 6)); };
    uint16_t list[128];
    int start = 64;
    int end = 64;
    list[end++] = entry(4, 0);
    list[end++] = entry(24, 0);
    list[end++] = entry(44, 0);
    list[end++] = entry(0, 2);

    int32_t left = static_cast<int32_t>(budget);
    uint32_t found = 0;  // coefficients found so far
    // Four slots of a group that splits.  false once the budget is spent.
    auto four = [&](uint32_t g) {
        for (uint32_t s = g; s < g + 4; ++s) {
            if (r.later()) {
                list[--start] = entry(s, 3);
            } else {
                ++found;
                r.sign();
                if (--left < 0) return false;
            }
        }
        return true;
    };
    for (uint32_t e = 1; e <= passes + 1; ++e) {
        r.pass(e);
        if (e > 1) {
            const uint32_t known = found;
            for (uint32_t i = 0; i < known; ++i)
                if (r.refinement() && --left < 0) return;
        }
        int pos = start;
        while (pos < end) {
            const uint16_t at = list[pos];
            if (at == 0 || !r.entry()) {
                ++pos;
                continue;
            }
            const uint32_t g = at & 63u;
            switch ((at >> 6) & 3u) {
            case 0:
                list[pos] = entry(g + 4, 1);
                if (!four(g)) return;
                break;
            case 1:
                list[pos] = entry(g, 2);
                list[end++] = entry(g + 4, 2);
                list[end++] = entry(g + 8, 2);
                list[end++] = entry(g + 12, 2);
                break;
            case 2:
                list[pos++] = 0;
                if (!four(g)) return;
                break;
            default:
                r.lateSign();
                ++found;
                list[pos++] = 0;
                if (--left < 0) return;
                break;
            }
        }
    }
}

}  // namespace dev::bink1
