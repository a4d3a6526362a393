// Writes the video data of one Bink 2 frame from the value sub-streams.
#pragma once

#include <cstdint>

#include "core/bink_context.h"

namespace dev {

struct Bink2FrameWriter {
    // Writes at context.out (advancing it); 0 on success, -1 on failure.
    static int32_t writeFrame(BinkContext& context, uint32_t keyframe, uint32_t frameWord);
};

}  // namespace dev
