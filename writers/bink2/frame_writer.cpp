#include "writers/bink2/frame_writer.h"

#include "core/pipeline.h"
#include "writers/bink2/frame_syntax.h"

namespace dev {

int32_t Bink2FrameWriter::writeFrame(BinkContext& c, uint32_t keyframe, uint32_t frameWord) {
    // Two rows of quantiser predictors live in the row buffer the header
    // decoder sized from the width.
    if (!c.rowBuffer || size_t(c.rowBufferEntries) * 2 < bink2::quantiserRowBytes(c.width)) return -1;
    ValueReader in[bink2::kResidueCoefficients + 1];
    ValueReader* streams[bink2::kResidueCoefficients + 1] = {};
    for (int n = bink2::kMacroblockTypes; n <= bink2::kResidueCoefficients; ++n) {
        in[n] = c.streams[n - 1].frontReader();
        streams[n] = &in[n];
    }
    BitsOut d(BitWriter::fromContext(c));
    bink2::Bink2FrameSyntax<BitsOut> syntax(d, streams, c, reinterpret_cast<uint8_t*>(c.rowBuffer));
    syntax.frame(keyframe, frameWord);
    if (syntax.stopped()) return -1;
    d.w.toContext(c);
    for (int n = bink2::kMacroblockTypes; n <= bink2::kResidueCoefficients; ++n)
        c.streams[n - 1].cursor = const_cast<uint8_t*>(in[n].p);
    return 0;
}

}  // namespace dev
