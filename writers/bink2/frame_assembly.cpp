#include "writers/bink2/frame_assembly.h"

#include "platform/platform.h"
#include "writers/bink2/frame_writer.h"
#include "writers/bink2/geometry.h"
#include "writers/bink2/streams.h"

namespace dev {

bool Bink2RowBuffer::allocate(const BinkContext& file) {
    release();
    rows_ = static_cast<uint16_t*>(platform::heapAlloc(size_t(file.rowBufferEntries) * sizeof(uint16_t)));
    return rows_ != nullptr;
}

void Bink2RowBuffer::release() {
    platform::heapFree(rows_);
    rows_ = nullptr;
}

int32_t assembleBink2Video(const BinkContext& file, FrameOutput& out, uint16_t* rowBuffer) {
    StreamBuffer& s = out.stream(bink2::kFrameHeader);
    ValueReader r = s.frontReader();
    const uint32_t words = bink2::leadWordCount(file);
    if (r.remaining() / 4 < words || static_cast<size_t>(out.outEnd - out.out) / 4 < words) return -1;
    uint32_t flags = 0;
    for (uint32_t k = 0; k < words; ++k) {
        const uint32_t w = r.get32();
        if (k == 0) flags = w;
        out.putWord(w);
    }
    s.consumeTo(r);
    const uint32_t key = file.keyframes ? file.keyframes[out.frameNumber] : 0;
    return Bink2FrameWriter::writeFrame(file, out, rowBuffer, key, flags) < 0 ? -1 : 0;
}

}  // namespace dev
