#include "pack/bink1_parser.h"

#include <algorithm>
#include <memory>
#include <new>

#include "pack/frame_view.h"
#include "writers/bink1/plane_syntax.h"

namespace dev {

namespace {

// Frames above this many bytes of bundle areas are not rewritten here (no
// real Bink 1 file comes near; it keeps a damaged header from asking for
// gigabytes).
constexpr uint64_t kMaxBundleBytes = uint64_t(512) << 20;

void clearVideoValues(PackFrame& frame) {
    for (int n = bink1::kBlockTypes; n <= bink1::kFormChoices; ++n) frame.streams[n].clear();
    frame.dctBlocks[0].clear();
    frame.dctBlocks[1].clear();
}

// The parse in the view kept in `slot`, made there on first use after the
// packet's checks; the parse fills its bundle areas, then the proof's writer
// does.
Status parseInView(const BinkContext& c, PackFrame& frame, std::unique_ptr<FrameView>& slot) {
    if (c.isBink2) return "not a Bink 1 file";
    // Before version 'i' a frame has no leading 32-bit word, which our frame
    // assembly always writes.
    if (c.version < 'i') return "Bink 1 version without the frame's leading word";
    if (frame.video.size() < 4) return "packet shorter than 4 bytes";
    if (bink1::bundleAreaBytes(c.width, c.height) > kMaxBundleBytes / bink1::kBundleCount) return "frame too large";
    clearVideoValues(frame);
    FrameView* view;
    try {
        view = FrameView::keptIn(slot, c);
    } catch (const std::bad_alloc&) {
        view = nullptr;
    }
    if (!view) return "out of memory";

    bink1::PlaneSyntax<BitsIn> syntax(BitsIn(BitReader(frame.video.data(), frame.video.size())), frame.streams,
                                      view->areas(), c.width, c.height);
    if (syntax.packet(c.hasAlpha != 0, c.grayscale != 0) != bink1::PlaneSyntax<BitsIn>::Packet::Coded)
        return syntax.reason();
    const BitReader& bits = syntax.policy().r;
    if (bits.position() != bits.sizeInBits()) return "bytes follow the last plane";
    for (uint32_t p = 0; p < syntax.planes(); ++p) {
        frame.dctBlocks[0].push_back(syntax.intraBlocks(p));
        frame.dctBlocks[1].push_back(syntax.interBlocks(p));
    }
    return {};
}

}  // namespace

Status parseBink1Packet(const BinkContext& c, PackFrame& frame, std::unique_ptr<FrameView>* kept) {
    std::unique_ptr<FrameView> own;
    return parseInView(c, frame, kept ? *kept : own);
}

Status bink1PacketValues(const BinkContext& context, PackFrame& frame, std::unique_ptr<FrameView>* kept) {
    try {
        std::unique_ptr<FrameView> own;
        std::unique_ptr<FrameView>& slot = kept ? *kept : own;
        if (Status parsed = parseInView(context, frame, slot); !parsed.ok()) return parsed;
        // The proof: our frame writer over the values gives the packet back.
        FrameView* const view = slot.get();
        view->bind(frame, frame.video.size());
        if (view->writeVideo() < 0) return "the writers reject the values";
        const auto out = view->written();
        if (!std::equal(out.begin(), out.end(), frame.video.begin(), frame.video.end()))
            return "the writers rebuild a different packet";
        if (!view->allConsumed(bink1::kBlockTypes)) return "the writers leave values unused";
    } catch (const std::bad_alloc&) {
        return "out of memory";
    }
    frame.stored = false;
    return {};
}

bool bink1FrameValues(const BinkContext& context, PackFrame& frame, std::unique_ptr<FrameView>* kept) {
    if (bink1PacketValues(context, frame, kept).ok()) return true;
    return storeBink1Packet(frame);
}

bool storeBink1Packet(PackFrame& frame) {
    if (frame.video.size() < 4) return false;
    clearVideoValues(frame);
    auto& rec = frame.streams[bink1::kPacketRecords];
    rec.assign(frame.video.begin(), frame.video.begin() + 4);
    rec.push_back(1);
    const uint32_t r = static_cast<uint32_t>(frame.video.size() - 4);
    appendLe32(rec, r);
    rec.insert(rec.end(), frame.video.begin() + 4, frame.video.end());
    frame.stored = true;
    return true;
}

}  // namespace dev
