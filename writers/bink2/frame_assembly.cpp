#include "writers/bink2/frame_assembly.h"

#include "core/pipeline.h"
#include "writers/bink2/frame_writer.h"
#include "writers/bink2/streams.h"

namespace dev {

int32_t assembleBink2Video(BinkContext& c) {
    StreamBuffer& s = c.streams[bink2::kFrameHeader - 1];
    ValueReader r = s.frontReader();
    const uint32_t words = c.sliceCount ? c.sliceCount : 1;
    if (r.remaining() / 4 < words || static_cast<size_t>(c.outEnd - c.out) / 4 < words) return -1;
    uint32_t flags = 0;
    for (uint32_t k = 0; k < words; ++k) {
        const uint32_t w = r.get32();
        if (k == 0) flags = w;
        for (int i = 0; i < 4; ++i) *c.out++ = static_cast<uint8_t>(w >> (8 * i));
    }
    s.cursor += 4 * words;
    c.bitBuffer = 0;
    c.bitCount = 0;
    const uint32_t key = c.keyframes ? c.keyframes[c.frameNumber] : 0;
    return Bink2FrameWriter::writeFrame(c, key, flags) < 0 ? -1 : 0;
}

}  // namespace dev
