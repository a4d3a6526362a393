// Writes the residue field of a Bink 1 residue block.
//
// The residue field has the same group-splitting shape as the coefficient
// field but carries no magnitudes: each significant coefficient costs a unit
// of a budget sent before the field, and the field stops the moment the
// budget runs out.  The DEV stream keeps every decision of the field as one
// element, so the writer replays them; the elements taken drive the same walk
// a decoder performs, which tells how many elements belong to the field.
#pragma once

#include <cstdint>

#include "core/value_stream.h"
#include "writers/bit_writer.h"

namespace dev {

struct Bink1ResidueCoder {
    // Replays one field from `bits` (sub-stream 13: the 3-bit pass count, then
    // one element per decision bit) with the given budget.  false when an
    // element does not fit its field (a pass count above 7 or a bit above 1).
    static bool write(BitWriter& w, ValueReader& bits, uint32_t budget);
};

}  // namespace dev
