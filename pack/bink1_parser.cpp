#include "pack/bink1_parser.h"

#include <algorithm>
#include <memory>
#include <new>

#include "core/frame_assembly.h"
#include "pack/bink1_plane_parser.h"
#include "pack/frame_view.h"

namespace dev {

namespace {

// Frames above this many bytes of bundle work areas are not rewritten here
// (no real Bink 1 file comes near; it keeps a damaged header from asking for
// gigabytes).
constexpr size_t kMaxBundleBytes = size_t(512) << 20;

// One frame view per thread, reused from packet to packet: its bundle areas
// are as large as the unpacker's and are worth keeping.
FrameView& viewFor(const BinkContext& c) {
    thread_local std::unique_ptr<FrameView> view;
    if (!view) view = std::make_unique<FrameView>(c);
    else view->adopt(c);
    return *view;
}

}  // namespace

const char* bink1PacketValues(const BinkContext& context, PackFrame& frame) {
    if (frame.video.size() < 4) return "packet shorter than 4 bytes";
    const size_t area = (size_t((context.width + 7) / 8) * 64) * ((context.height + 7) / 8);
    if (area > kMaxBundleBytes / 9) return "frame too large";
    const char* hint = nullptr;
    if (const char* why = parseBink1Packet(context, frame, &hint)) return why;
    // The proof: our frame assembly over the values gives the packet back.
    try {
        FrameView& view = viewFor(context);
        BinkContext& c = view.bind(frame, frame.video.size());
        if (assembleBink1Video(c) < 0) return hint ? hint : "the writers reject the values";
        const auto out = view.written();
        if (!std::equal(out.begin(), out.end(), frame.video.begin(), frame.video.end()))
            return hint ? hint : "the writers rebuild a different packet";
        if (!view.allConsumed(2)) return "the writers leave values unused";
    } catch (const std::bad_alloc&) {
        return "out of memory";
    }
    frame.stored = false;
    return nullptr;
}

bool bink1FrameValues(const BinkContext& context, PackFrame& frame) {
    if (!bink1PacketValues(context, frame)) return true;
    return storeBink1Packet(frame);
}

bool storeBink1Packet(PackFrame& frame) {
    if (frame.video.size() < 4) return false;
    for (int n = 2; n <= 21; ++n) frame.streams[n].clear();
    auto& rec = frame.streams[11];
    rec.assign(frame.video.begin(), frame.video.begin() + 4);
    rec.push_back(1);
    const uint32_t r = static_cast<uint32_t>(frame.video.size() - 4);
    for (int i = 0; i < 4; ++i) rec.push_back(static_cast<uint8_t>(r >> (8 * i)));
    rec.insert(rec.end(), frame.video.begin() + 4, frame.video.end());
    frame.dctBlocks[0].clear();
    frame.dctBlocks[1].clear();
    frame.stored = true;
    return true;
}

}  // namespace dev
