#include "testkit/bink1_plane_writer.h"

#include "writers/bink1/plane_syntax.h"

namespace dev::bink1 {

int32_t writePlane(const BinkContext& file, FrameOutput& out, const BundleAreas& areas, bool chroma) {
    if (!out.streams || !areas) return -1;
    StreamArray<ValueReader> in;
    for (int n = 1; n <= kStreamCount; ++n) in[n] = out.stream(n).frontReader();
    PlaneSyntax<BitsOut> syntax(BitsOut(BitWriter(out.out, out.outEnd)), in, areas, file.width, file.height);
    const bool ok = syntax.plane(chroma);
    for (int n = 1; n <= kStreamCount; ++n) out.stream(n).consumeTo(in[n]);
    const BitWriter& w = syntax.policy().w;
    out.out = w.out;
    return ok && !w.overflow ? 0 : -1;
}

}  // namespace dev::bink1
