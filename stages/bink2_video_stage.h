// The Bink 2 video stage's decoder (stages/stage_decoder.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/bink_context.h"
#include "core/models.h"
#include "core/sub_streams.h"
#include "core/value_stream.h"
#include "stages/bink2_video_layout.h"
#include "writers/bink2/streams.h"

namespace dev {

// Models, geometry and running state of one Bink 2 video decoder.  Built once
// per thread; decoding a frame allocates nothing.
struct Bink2VideoDecoder {
    static constexpr std::span<const int> kStreams{bink2::kVideoStreams};

    ModelSet models;
    b2video::Geometry geometry;
    b2video::VideoState state;

    // Allocates the models and takes the geometry from the file's header
    // fields.  false when the memory cannot be had.  A geometry out of bounds
    // is not an error here: every frame of such a file fails instead.
    bool setup(const BinkContext& context);
    // Decodes the next frame's chunk.  false when the chunk cannot form a
    // frame, the file has no further frame, or a writer filled up.
    bool decodeChunk(const uint8_t* chunk, size_t length, StreamArray<ValueWriter>& out);
    void release() { models.release(); }
};

}  // namespace dev
