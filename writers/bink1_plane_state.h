// Working state of one Bink 1 plane write, shared by the bundle chunk writer
// (bink1_plane_writer.cpp) and the block walk (bink1_block_walk.cpp).  Lives
// on the stack of Bink1PlaneWriter::writePlane; nothing is allocated.
#pragma once

#include <cstdint>

#include "core/value_stream.h"
#include "writers/bink1_tables.h"
#include "writers/bit_writer.h"

namespace dev {

// A Huffman tree of the plane, resolved to the code of every value 0..15.
struct Bink1ValueCodes {
    uint8_t code[16];
    uint8_t length[16];
};

// Positions are counted in elements (bytes, or 16-bit words for the DC
// bundles) from the start of the bundle's work area.  A chunk is due once the
// block walk has consumed everything filled so far; the walk may move
// `consume` past `fill` for bundles whose values it only counts, but it never
// reads a value that no chunk has filled.
struct Bink1Bundle {
    uint8_t* data = nullptr;
    uint32_t capacity = 0;
    uint32_t fill = 0;
    uint32_t consume = 0;
    uint32_t width = 0;  // bits of every chunk count
    bool ended = false;
};

struct Bink1PlaneState {
    BitWriter w;
    // Readers over sub-streams 2..21, indexed by sub-stream number.
    ValueReader in[22];
    Bink1Bundle bundles[kBundleCount];
    Bink1ValueCodes trees[kBundleCount];  // none for the DC bundles
    Bink1ValueCodes colourHigh[16];
    uint32_t colourLast = 0;  // high nibble of the last colour written
    uint32_t blocksPerRow = 0;
    // Set when a value does not fit the field it is written into; checked
    // after every block row.
    bool bad = false;

    inline void putValue(const Bink1ValueCodes& t, uint32_t v) {
        bad |= v > 15;
        v &= 15;
        w.put(t.code[v], t.length[v]);
    }
    // A field copied from a sub-stream: `bits` wide, flagged when it is wider.
    inline uint32_t putField(ValueReader& r, uint32_t bits) {
        const uint32_t v = r.get8();
        bad |= (v >> bits) != 0;
        const uint32_t f = v & ((1u << bits) - 1);
        w.put(f, bits);
        return f;
    }
};

// Walks the blocks of row `row` (the chunks of the row are written), writing
// their own fields and consuming bundle values as a decoder does.  false on a
// block type the format does not have, a run that passes the block, or a
// value read from a bundle no chunk has filled.
bool writeBink1BlockRow(Bink1PlaneState& s, uint32_t row);

}  // namespace dev
