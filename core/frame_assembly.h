// Assembly of one Bink frame from the front buffers of the sub-streams: the
// audio packets, then the frame-level words and the video bitstream.
#pragma once

#include <cstdint>

#include "core/bink_context.h"

namespace dev {

// Assembles frame context.frameNumber at context.out, which must not pass
// context.outEnd.  0 on success, -1 when a writer fails, a sub-stream holds
// fewer values than the frame needs, or the frame would outgrow the buffer.
int32_t assembleFrame(BinkContext& context);
int32_t assembleAudio(BinkContext& context);
int32_t assembleBink1Video(BinkContext& context);
// Bink 2: writers/bink2/frame_assembly.h

// The nine Bink 1 bundle work areas, 64 bytes per 8x8 block of the frame.
bool allocateBundleAreas(BinkContext& context);
void releaseBundleAreas(BinkContext& context);

}  // namespace dev
