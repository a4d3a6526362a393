#include "pack/frame_view.h"

namespace dev {

namespace {
// Stands in for the storage of an empty vector, so no stream pointer is null.
uint8_t gEmpty[1];
}  // namespace

FrameView::FrameView(const BinkContext& header) { adopt(header); }

void FrameView::adopt(const BinkContext& header) {
    context_ = header;
    context_.stages = nullptr;
    context_.streams = streams_;
    context_.frameBuffer = nullptr;
    context_.frameBufferSize = 0;
    for (BundleArea& b : context_.bundles) b = BundleArea{};
    if (!header.isBink2) {
        // The unpacker's size: 64 bytes per 8x8 block of the frame, per area.
        const size_t area = (size_t((header.width + 7) / 8) * 64) * ((header.height + 7) / 8);
        if (bundleMemory_.size() != area * 9 + 1) bundleMemory_.assign(area * 9 + 1, 0);
        for (int i = 0; i < 9; ++i) {
            context_.bundles[i].start = bundleMemory_.data() + area * i;
            context_.bundles[i].end = context_.bundles[i].start + area;
        }
    }
    context_.rowBuffer = nullptr;
    if (header.isBink2) {
        rowMemory_.assign(header.rowBufferEntries, 0);
        context_.rowBuffer = rowMemory_.data();
    }
    for (int n = 0; n < kStreamCount; ++n) streams_[n].number = static_cast<uint8_t>(n);
}

BinkContext& FrameView::bind(PackFrame& frame, size_t outputCapacity) {
    for (int n = 0; n < kStreamCount; ++n) {
        std::vector<uint8_t>& v = frame.streams[n + 1];
        StreamBuffer& s = streams_[n];
        uint8_t* data = v.empty() ? gEmpty : v.data();
        s.start = s.cursor = data;
        s.capacity = static_cast<uint32_t>(v.size());
        s.end = data + v.size();
        s.buffers[0] = data;
        s.buffers[1] = nullptr;
        s.toggle = 0;
        s.filled[0] = static_cast<uint32_t>(v.size());
        s.filled[1] = 0;
    }
    output_.assign(outputCapacity + 1, 0);
    context_.out = output_.data();
    context_.outEnd = output_.data() + outputCapacity;
    context_.bitBuffer = 0;
    context_.bitCount = 0;
    context_.frameNumber = frame.index;
    return context_;
}

std::span<const uint8_t> FrameView::written() const {
    if (output_.empty() || !context_.out) return {};
    return {output_.data(), static_cast<size_t>(context_.out - output_.data())};
}

size_t FrameView::unread(int n) const {
    const StreamBuffer& s = streams_[n - 1];
    const size_t used = static_cast<size_t>(s.cursor - s.buffers[0]);
    return used < s.filled[0] ? s.filled[0] - used : 0;
}

bool FrameView::allConsumed(int first) const {
    for (int n = first; n <= kStreamCount; ++n)
        if (unread(n)) return false;
    return true;
}

}  // namespace dev
