#include "pack/frame_view.h"

#include "writers/bink1/video_writer.h"
#include "writers/bink2/frame_assembly.h"

namespace dev {

namespace {
// Stands in for the storage of an empty vector, so no stream pointer is null.
uint8_t gEmpty[1];
}  // namespace

FrameView* FrameView::keptIn(std::unique_ptr<FrameView>& slot, const BinkContext& header) {
    if (!slot) slot = std::make_unique<FrameView>();
    return slot->adopt(header) ? slot.get() : nullptr;
}

bool FrameView::adopt(const BinkContext& header) {
    context_ = header;
    if (header.isBink2) return rows_.allocate(header);
    return areas_.allocate(header.width, header.height);
}

FrameOutput& FrameView::bind(PackFrame& frame, size_t outputCapacity) {
    for (int n = 1; n <= kStreamCount; ++n) {
        std::vector<uint8_t>& v = frame.streams[n];
        streams_[n].holdFront(v.empty() ? gEmpty : v.data(), static_cast<uint32_t>(v.size()));
    }
    output_.assign(outputCapacity + 1, 0);
    out_ = FrameOutput();
    out_.out = output_.data();
    out_.outEnd = output_.data() + outputCapacity;
    out_.frameNumber = frame.index;
    out_.streams = &streams_;
    return out_;
}

int32_t FrameView::writeVideo() {
    if (context_.isBink2) return assembleBink2Video(context_, out_, rows_.data());
    return bink1::writeVideo(context_, out_, areas_);
}

std::span<const uint8_t> FrameView::written() const {
    if (output_.empty() || !out_.out) return {};
    return {output_.data(), static_cast<size_t>(out_.out - output_.data())};
}

size_t FrameView::unread(int n) const {
    const StreamBuffer& s = streams_[n];
    const size_t used = static_cast<size_t>(s.cursor - s.buffers[0]);
    return used < s.filled[0] ? s.filled[0] - used : 0;
}

bool FrameView::allConsumed(int first) const {
    for (int n = first; n <= kStreamCount; ++n)
        if (unread(n)) return false;
    return true;
}

}  // namespace dev
