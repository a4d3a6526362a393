// The Bink 1 video frame stage's decoder (stages/stage_decoder.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/bink_context.h"
#include "core/models.h"
#include "core/sub_streams.h"
#include "core/value_stream.h"
#include "stages/video_frame_layout.h"

namespace dev {

// Models, above-row array and running state of one video frame decoder.
struct VideoFrameDecoder {
    static constexpr std::span<const int> kStreams{vframe::kOutputs};

    ModelSet models;
    uint8_t* above = nullptr;  // vframe::kAboveBytes from the process heap
    vframe::VideoFrameState state;

    VideoFrameDecoder() = default;
    VideoFrameDecoder(const VideoFrameDecoder&) = delete;
    VideoFrameDecoder& operator=(const VideoFrameDecoder&) = delete;
    ~VideoFrameDecoder() { release(); }

    // false when the memory cannot be had.
    bool setup(const BinkContext& context);
    // false when the chunk cannot form a packet or a writer overflowed.
    bool decodeChunk(const uint8_t* chunk, size_t length, StreamArray<ValueWriter>& out);
    void release();
};

}  // namespace dev
