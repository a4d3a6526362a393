#include "pack/bink2_parser.h"

#include <algorithm>
#include <memory>
#include <new>

#include "pack/frame_view.h"
#include "writers/bink2/frame_assembly.h"
#include "writers/bink2/frame_syntax.h"

namespace dev {

namespace {

// The reading policy, told where every slice begins: a decoder seeks to the
// slice offsets, our writer puts each slice right behind the previous one.
struct SliceReader : BitsIn {
    const uint32_t* offsets;  // byte offset of slice k, k >= 1

    SliceReader(const BitReader& reader, const uint32_t* sliceOffsets) : BitsIn(reader), offsets(sliceOffsets) {}

    void sliceBegins(uint32_t k, bool empty) {
        if (k > 0 && !empty) expect(uint64_t(offsets[k]) * 8 == r.position(), "a slice that does not start where the last one ends");
    }
};


std::string atBit(size_t bit, const char* why) {
    std::string s = "the video packet does not rewrite bit for bit: bit " + std::to_string(bit) + " differs";
    if (why) s += std::string(" (") + why + ")";
    return s;
}

// The first bit where two byte strings differ, the stream's lowest bit first.
size_t firstDifferentBit(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) {
            const uint32_t x = a[i] ^ b[i];
            uint32_t bit = 0;
            while (!((x >> bit) & 1)) ++bit;
            return 8 * i + bit;
        }
    return 8 * n;
}

}  // namespace

Status bink2PacketValues(const BinkContext& c, PackFrame& frame, std::unique_ptr<FrameView>* kept) {
    if (c.width == 0 || c.height == 0 || c.width > kBink2MaxSide || c.height > kBink2MaxSide)
        return "frame size " + std::to_string(c.width) + "x" + std::to_string(c.height) + " is not supported";
    const std::span<const uint8_t> packet = frame.video;
    const uint32_t words = bink2::leadWordCount(c);
    if (packet.size() < bink2::leadBytes(c)) return "the video packet is shorter than its slice offsets";
    for (int n : bink2::kVideoStreams) frame.streams[n].clear();

    // The lead words (frame flags, slice offsets) stand as they are.
    uint32_t offsets[kMaxSlices] = {};
    uint32_t flags = 0;
    BitReader reader(packet.data(), packet.size());
    for (uint32_t k = 0; k < words; ++k) {
        const uint32_t w = reader.get(16) | reader.get(16) << 16;
        (k == 0 ? flags : offsets[k]) = w;
        BitsIn::emit32(frame.streams[bink2::kFrameHeader], w);
    }

    std::vector<uint8_t> rows(bink2::quantiserRowBytes(c.width));
    SliceReader d(reader, offsets);
    bink2::Bink2FrameSyntax<SliceReader> syntax(d, frame.streams, c, rows.data());
    const uint32_t key = c.keyframes ? c.keyframes[frame.index] : 0;
    syntax.frame(key, flags);
    // Past the end the reader sees zero bits, which may read as a choice of
    // ours or not: a short packet is named as such.
    if (d.firstMismatch != SIZE_MAX && d.firstMismatch <= d.r.sizeInBits()) return atBit(d.firstMismatch, d.mismatchWhy);
    if (d.r.overrun()) return "the video packet ends inside its last slice";
    if (d.r.position() != d.r.sizeInBits())
        return atBit(d.r.position(), "bytes after the last slice");

    // The proof: our frame assembly over the values gives the packet back.
    try {
        std::unique_ptr<FrameView> own;
        FrameView* const found = FrameView::keptIn(kept ? *kept : own, c);
        if (!found) return "out of memory";
        FrameView& view = *found;
        view.bind(frame, packet.size());
        if (view.writeVideo() < 0) return "the writer rejects the values";
        const auto written = view.written();
        if (!std::equal(written.begin(), written.end(), packet.begin(), packet.end()))
            return atBit(firstDifferentBit(written, packet), nullptr);
        if (!view.allConsumed(bink2::kMacroblockTypes)) return "the writer leaves values unused";
    } catch (const std::bad_alloc&) {
        return "out of memory";
    }
    return {};
}

}  // namespace dev
