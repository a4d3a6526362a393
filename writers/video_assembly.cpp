#include "writers/video_assembly.h"

#include "writers/bink1/video_writer.h"

namespace dev {

bool VideoAssembly::setup(const BinkContext& file, const StreamArray<uint32_t>& streamCapacities) {
    release();
    if (file.frameCount == 0) return true;
    if (file.isBink2) return bink2_.allocate(file);
    return bink1_.allocate(file.width, file.height, bink1::bundleAreaLimit(streamCapacities));
}

void VideoAssembly::release() {
    bink1_.release();
    bink2_.release();
}

int32_t VideoAssembly::write(const BinkContext& file, FrameOutput& out) const {
    const int32_t r = file.isBink2 ? assembleBink2Video(file, out, bink2_.data()) : bink1::writeVideo(file, out, bink1_);
    return r < 0 ? -1 : 0;
}

}  // namespace dev
