#include "core/frame_assembly.h"

#include "platform/platform.h"
#include "writers/bink1/streams.h"
#include "writers/bink1/video_writer.h"
#include "writers/bink2/streams.h"

namespace dev {

int32_t assembleAudio(const BinkContext& file, FrameOutput& out) {
    static_assert(int(bink1::kAudio) == int(bink2::kAudio), "one audio sub-stream for both generations");
    constexpr int kAudio = bink1::kAudio;
    for (uint32_t t = 0; t < file.audioTrackCount; ++t) {
        uint32_t n;
        if (!out.takeWord(kAudio, n) || !out.putWord(n)) return -1;
        if (n && !out.copyBytes(kAudio, n)) return -1;
    }
    return 0;
}

bool FrameAssembly::setup(const BinkContext& file) {
    release();
    buffer_ = static_cast<uint8_t*>(platform::pageAlloc(file.frameBufferSize));
    if (!buffer_) return false;
    size_ = file.frameBufferSize;
    out_.out = buffer_;
    // A file without frames writes no video, whatever size its header claims.
    if (file.frameCount == 0) return true;
    if (file.isBink2) return bink2_.allocate(file);
    return bink1_.allocate(file.width, file.height);
}

void FrameAssembly::release() {
    if (buffer_) platform::pageFree(buffer_, size_);
    buffer_ = nullptr;
    size_ = 0;
    out_ = FrameOutput();
    bink1_.release();
    bink2_.release();
}

int32_t FrameAssembly::assemble(const BinkContext& file, StreamArray<StreamBuffer>& streams, uint32_t frame) {
    out_.out = buffer_;
    out_.outEnd = buffer_ + size_;
    out_.bitBuffer = 0;
    out_.bitCount = 0;
    out_.frameNumber = frame;
    out_.streams = &streams;
    if (!buffer_ || assembleAudio(file, out_) < 0) return -1;
    const int32_t r = file.isBink2 ? assembleBink2Video(file, out_, bink2_.data()) : bink1::writeVideo(file, out_, bink1_);
    return r < 0 ? -1 : 0;
}

}  // namespace dev
