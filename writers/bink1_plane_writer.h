// Writes one Bink 1 plane bitstream, bit for bit, from the value sub-streams.
#pragma once

#include <cstdint>

#include "core/bink_context.h"

namespace dev {

struct Bink1PlaneWriter {
    // Writes the plane at context.out (advancing it); 0 on success, -1 on failure.
    static int32_t writePlane(BinkContext& context, int isChroma);
};

}  // namespace dev
