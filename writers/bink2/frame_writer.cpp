#include "writers/bink2/frame_writer.h"

#include "core/stage_protocol.h"
#include "writers/bink2/frame_syntax.h"

namespace dev {

int32_t Bink2FrameWriter::writeFrame(const BinkContext& c, FrameOutput& out, uint16_t* rowBuffer, uint32_t keyframe,
                                     uint32_t frameWord) {
    // Two rows of quantiser predictors live in the row buffer the driver
    // sized from the width.
    if (!rowBuffer || size_t(c.rowBufferEntries) * 2 < bink2::quantiserRowBytes(c.width)) return -1;
    StreamArray<ValueReader> in;
    for (int n : bink2::kVideoStreams) in[n] = out.stream(n).frontReader();
    BitsOut d(BitWriter(out.out, out.outEnd));
    bink2::Bink2FrameSyntax<BitsOut> syntax(d, in, c, reinterpret_cast<uint8_t*>(rowBuffer));
    syntax.frame(keyframe, frameWord);
    if (syntax.stopped()) return -1;
    out.out = d.w.out;
    for (int n : bink2::kVideoStreams) out.stream(n).consumeTo(in[n]);
    return 0;
}

}  // namespace dev
