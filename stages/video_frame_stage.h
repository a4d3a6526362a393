// The Bink 1 video frame stage as plain functions, so that one chunk can be
// decoded without the pipeline's threads (the stage routine and the tests
// share them).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bink_context.h"
#include "core/models.h"
#include "core/value_stream.h"
#include "stages/video_frame_layout.h"

namespace dev {

// Models, above-row array and running state of one video frame decoder.
struct VideoFrameDecoder {
    ModelSet models;
    uint8_t* above = nullptr;  // vframe::kAboveBytes from the process heap
    vframe::VideoFrameState state;

    VideoFrameDecoder() = default;
    VideoFrameDecoder(const VideoFrameDecoder&) = delete;
    VideoFrameDecoder& operator=(const VideoFrameDecoder&) = delete;
    ~VideoFrameDecoder() { release(); }

    // false when the memory cannot be had.
    bool setup(const BinkContext& context);
    void release();
};

// Decodes one chunk into the writers of the stage's sub-streams
// (vframe::kOutputs).  false when the chunk cannot form a packet or a writer
// overflowed; the writers then hold a partial frame.
bool decodeVideoFrameChunk(VideoFrameDecoder& decoder, const uint8_t* chunk, size_t length,
                           StreamArray<ValueWriter>& writers);

}  // namespace dev
