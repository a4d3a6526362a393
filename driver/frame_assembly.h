// Assembly of one Bink frame from the front buffers of the sub-streams: the
// audio packets of every track (here), then the video of the file's
// generation, whose assembly lives beside its writers
// (writers/video_assembly.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/bink_context.h"
#include "writers/frame_output.h"
#include "writers/video_assembly.h"

namespace dev {

// The audio packets of a frame from the audio sub-stream: per track a 32-bit size n,
// then (n > 0) n bytes.  0, or -1 when the stream or the buffer is short.
int32_t assembleAudio(const BinkContext& file, FrameOutput& out);

// The frame buffer and the run buffers of the file's generation, owned by the
// driver for the length of a run.
class FrameAssembly {
public:
    FrameAssembly() = default;
    FrameAssembly(const FrameAssembly&) = delete;
    FrameAssembly& operator=(const FrameAssembly&) = delete;
    ~FrameAssembly() { release(); }

    // Sized once from the header and the sub-stream capacities: the frame
    // buffer, then the video writer's run buffers.  false when memory cannot
    // be had.
    bool setup(const BinkContext& file, const StreamArray<uint32_t>& streamCapacities);
    void release();

    // Assembles frame `frame` into the frame buffer.  0 on success, frame()
    // then holds it; -1 when a writer fails, a sub-stream holds fewer values
    // than the frame needs, or the frame would outgrow the buffer.
    int32_t assemble(const BinkContext& file, StreamArray<StreamBuffer>& streams, uint32_t frame);
    std::span<const uint8_t> frame() const { return {buffer_, static_cast<size_t>(out_.out - buffer_)}; }

    // Set to have assemble() time the audio and the video writers.
    bool timed = false;
    uint64_t audioNanos = 0;
    uint64_t videoNanos = 0;

private:
    uint8_t* buffer_ = nullptr;
    size_t size_ = 0;
    FrameOutput out_;
    VideoAssembly video_;
};

}  // namespace dev
