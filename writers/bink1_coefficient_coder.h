// Writes the DCT coefficient field of a Bink 1 intra or inter block.
//
// The field sends the 63 AC coefficients bit plane by bit plane, from the
// highest plane that holds a significant bit down to plane 0, driven by a scan
// list of coefficient groups: each group is announced by one bit per plane
// until it becomes significant, then split into smaller groups, and single
// coefficients send their remaining magnitude bits and sign once they turn
// significant.  The writer derives every decision from the coefficient values,
// so it reproduces the Bink encoder's choices exactly.
#pragma once

#include <cstdint>

#include "core/value_stream.h"
#include "writers/bit_writer.h"

namespace dev {

struct Bink1CoefficientCoder {
    // Writes the field for the coefficients by slot (slot 0, the DC, is not
    // part of the field).  false when a magnitude needs more than 15 bits,
    // which the 4-bit plane count cannot express.
    static bool writeSlots(BitWriter& w, const int32_t slots[64]);

    // Takes the next coefficient list from `source` (a 16-bit count, then
    // that many signed 16-bit values in stored order) and writes its field.  A
    // count above 63 leaves the field out and takes nothing more; valid
    // streams never hold one.
    static bool write(BitWriter& w, ValueReader& source);
};

}  // namespace dev
