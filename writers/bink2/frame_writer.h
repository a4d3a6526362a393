// Writes the video bitstream of one Bink 2 frame from the value sub-streams:
// the writing instances of the Bink 2 frame and macroblock syntax.
#pragma once

#include <cstdint>

#include "core/bink_context.h"
#include "writers/bink2/macroblock_syntax.h"
#include "writers/bit_direction.h"
#include "writers/frame_output.h"

namespace dev {

struct Bink2FrameWriter {
    // Writes the flag lists and slices of the frame at out.out (the frame
    // word and slice offsets are already there), advancing it and the
    // sub-stream cursors; rowBuffer is the run's Bink2RowBuffer.  0 on success; -1 on a value the bitstream cannot
    // hold (a macroblock type above 3, a quantiser delta above 36, a
    // coefficient count above 63, ...), a sub-stream that runs out, or a frame
    // that outgrows the frame buffer.
    static int32_t writeFrame(const BinkContext& file, FrameOutput& out, uint16_t* rowBuffer, uint32_t keyframe,
                              uint32_t frameWord);
};

using Bink2MacroblockCoder = bink2::Bink2MacroblockSyntax<BitsOut>;

}  // namespace dev
