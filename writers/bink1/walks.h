// The parts of the Bink 1 plane syntax whose decisions the video frame stage
// codes too: tree descriptions and residue fields.  Each is written once over
// a source of decisions R, whatever codes them: the plane syntax writes or
// reads each as a field of the bitstream (writers/bink1/plane_syntax.h), the
// video frame stage codes each under contexts of its own.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/range_decoder.h"  // DEV_INLINE

namespace dev::bink1 {

// ---- Tree descriptions ------------------------------------------------------

// A tree description: the code row, then for rows other than 0 either an
// explicit list of the values that take the first code indices (the others
// follow in increasing order), or the decisions of up to four merge passes
// that sort the values 0..15 into code order.  R provides
//   uint32_t row();              // the code row, 4 bits
//   uint32_t explicitList();     // 1: a list follows, 0: merge passes
//   uint32_t listLength();       // values in the list less one, 3 bits
//   uint32_t listValue();        // a value of the list, 4 bits
//   uint32_t mergePasses();      // merge passes less one, 2 bits
//   uint32_t mergeBit(uint32_t pass);  // 1: the next value from the second run
//   void expect(bool, const char*);    // a list value the writer could not code
// Returns the row; `order` receives the value of each code index.
template <class R>
DEV_INLINE uint32_t treeOrder(R& r, uint8_t order[16]) {
    for (uint32_t k = 0; k < 16; ++k) order[k] = static_cast<uint8_t>(k);
    const uint32_t row = r.row();
    if (row != 0 && r.explicitList()) {
        const uint32_t last = r.listLength();
        bool named[16] = {};
        uint32_t k = 0;
        for (uint32_t i = 0; i <= last; ++i) {
            const uint32_t v = r.listValue() & 15;
            // A Bink decoder takes a value named twice (and leaves another
            // one without a code), but such a tree cannot be rewritten.
            r.expect(!named[v], "tree list names a value twice");
            named[v] = true;
            order[k++] = static_cast<uint8_t>(v);
        }
        for (uint32_t v = 0; v < 16 && k < 16; ++v)
            if (!named[v]) order[k++] = static_cast<uint8_t>(v);
    } else if (row != 0) {
        // Pass i merges neighbouring runs of 2^i values; one decision per
        // element while both runs have elements left.
        const uint32_t passes = r.mergePasses();
        for (uint32_t i = 0; i <= passes; ++i) {
            const uint32_t size = 1u << i;
            uint8_t merged[16];
            for (uint32_t start = 0; start < 16; start += 2 * size) {
                uint32_t a = start, b = start + size, k = start;
                const uint32_t aEnd = start + size, bEnd = start + 2 * size;
                while (a < aEnd && b < bEnd) merged[k++] = r.mergeBit(i) ? order[b++] : order[a++];
                while (a < aEnd) merged[k++] = order[a++];
                while (b < bEnd) merged[k++] = order[b++];
            }
            std::memcpy(order, merged, 16);
        }
    }
    return row;
}

// ---- Residue fields ---------------------------------------------------------

// A residue field has the group-splitting shape of a coefficient field without the
// magnitudes: passes over a scan list of coefficient groups, each entry
// announced by a decision until it acts (a group splits, a waiting
// coefficient is found), and before every pass but the first one decision
// per coefficient found so far.  Each coefficient found, and each of those
// decisions that is 1, costs a unit of the budget sent before the field; the
// field ends the moment the budget runs out, or after its last pass.
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
