// The Bink 2 video stage as plain functions, so that one chunk can be decoded
// without the pipeline's threads (the stage routine, the tests and the bench
// share them).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bink_context.h"
#include "core/models.h"
#include "core/value_stream.h"
#include "stages/bink2_video_layout.h"

namespace dev {

// Models, geometry and running state of one Bink 2 video decoder.  Built once
// per thread; decoding a frame allocates nothing.
struct Bink2VideoDecoder {
    ModelSet models;
    b2video::Geometry geometry;
    b2video::VideoState state;

    // Allocates the models and takes the geometry from the file's header
    // fields.  false when the memory cannot be had.  A geometry out of bounds
    // is not an error here: every frame of such a file fails instead.
    bool setup(const BinkContext& context);
    void release() { models.release(); }
};

// Decodes the next frame's chunk into the nine writers of sub-streams 2..10
// (index = sub-stream - 2).  false when the chunk cannot form a frame, the
// file has no further frame, or a writer filled up; the writers then hold a
// partial frame.
bool decodeBink2VideoChunk(Bink2VideoDecoder& decoder, const uint8_t* chunk, size_t length, ValueWriter* writers);

}  // namespace dev
