// Assembly of the video part of a Bink 2 frame: the frame flags word and the
// slice offsets, copied from sub-stream 4, then the frame's bitstream.
#pragma once

#include <cstdint>

#include "core/bink_context.h"

namespace dev {

// Writes at context.out, which must not pass context.outEnd.  0 on success,
// -1 when the writer fails, sub-stream 4 runs out or the frame would outgrow
// the buffer.
int32_t assembleBink2Video(BinkContext& context);

}  // namespace dev
