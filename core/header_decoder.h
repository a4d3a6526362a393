// Rebuilds the Bink header, audio track table and frame index from the
// header chunk and fills the file-level fields of the run's BinkContext.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bink_context.h"
#include "core/byte_io.h"

namespace dev {

// Returns the number of bytes written, -4 for rejected video flags, -1 for a
// chunk that is corrupt or memory that cannot be had.  Buffers it allocates in
// the context (frameBuffer, keyframes, tracks, rowBuffer) are released by
// releaseHeaderBuffers(), also after a failure.
int32_t decodeHeader(BinkContext& context, const uint8_t* chunk, size_t length, ByteSink& output);
void releaseHeaderBuffers(BinkContext& context);

}  // namespace dev
