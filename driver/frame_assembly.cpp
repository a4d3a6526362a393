#include "driver/frame_assembly.h"

#include "core/stage_protocol.h"
#include "platform/platform.h"

namespace dev {

int32_t assembleAudio(const BinkContext& file, FrameOutput& out) {
    for (uint32_t t = 0; t < file.audioTrackCount; ++t) {
        uint32_t n;
        if (!out.takeWord(kAudioStream, n) || !out.putWord(n)) return -1;
        if (n && !out.copyBytes(kAudioStream, n)) return -1;
    }
    return 0;
}

bool FrameAssembly::setup(const BinkContext& file, const StreamArray<uint32_t>& streamCapacities) {
    release();
    buffer_ = static_cast<uint8_t*>(platform::pageAlloc(file.frameBufferSize));
    if (!buffer_) return false;
    size_ = file.frameBufferSize;
    out_.out = buffer_;
    return video_.setup(file, streamCapacities);
}

void FrameAssembly::release() {
    if (buffer_) platform::pageFree(buffer_, size_);
    buffer_ = nullptr;
    size_ = 0;
    out_ = FrameOutput();
    video_.release();
}

int32_t FrameAssembly::assemble(const BinkContext& file, StreamArray<StreamBuffer>& streams, uint32_t frame) {
    out_.out = buffer_;
    out_.outEnd = buffer_ + size_;
    out_.frameNumber = frame;
    out_.streams = &streams;
    if (!buffer_) return -1;
    if (!timed) return assembleAudio(file, out_) < 0 ? -1 : video_.write(file, out_);
    const uint64_t start = clockNanos();
    if (assembleAudio(file, out_) < 0) return -1;
    const uint64_t audioDone = clockNanos();
    const int32_t result = video_.write(file, out_);
    audioNanos += audioDone - start;
    videoNanos += clockNanos() - audioDone;
    return result;
}

}  // namespace dev
