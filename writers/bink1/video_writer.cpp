#include "writers/bink1/video_writer.h"

#include <cstring>

#include "writers/bink1/plane_syntax.h"

namespace dev::bink1 {

namespace {

// The frame writer: values from the front buffers, bits at the cursor.
class Writer {
public:
    Writer(const BinkContext& file, FrameOutput& out, const BundleAreas& areas)
        : out_(out), syntax_(BitsOut(BitWriter(out.out, out.outEnd)), in_, areas, file.width, file.height) {
        for (int n = 1; n <= kStreamCount; ++n) in_[n] = out.stream(n).frontReader();
    }
    // Hands the cursors back, so the next plane or frame takes its values
    // where this one stopped.
    int32_t finish(bool ok) {
        for (int n = 1; n <= kStreamCount; ++n) out_.stream(n).consumeTo(in_[n]);
        const BitWriter& w = syntax_.policy().w;
        out_.out = w.out;
        return ok && !w.overflow ? 0 : -1;
    }

    // A stored packet: its first word, already written, then its bytes.
    bool stored() {
        ValueReader& records = in_[kPacketRecords];
        BitWriter& w = syntax_.policy().w;
        w.flush();
        const uint32_t count = records.get32();
        const uint8_t* bytes = records.take(count);
        if (!bytes || records.underflow || static_cast<size_t>(w.end - w.out) < count) return false;
        if (count) std::memcpy(w.out, bytes, count);
        w.out += count;
        return true;
    }

    FrameOutput& out_;
    StreamArray<ValueReader> in_;
    PlaneSyntax<BitsOut> syntax_;
};

}  // namespace

int32_t writeVideo(const BinkContext& file, FrameOutput& out, const BundleAreas& areas) {
    if (!out.streams || !areas) return -1;
    Writer w(file, out, areas);
    bool ok = false;
    switch (w.syntax_.packet(file.hasAlpha != 0, file.grayscale != 0)) {
    case PlaneSyntax<BitsOut>::Packet::Coded:
        ok = true;
        break;
    case PlaneSyntax<BitsOut>::Packet::Stored:
        ok = w.stored();
        break;
    case PlaneSyntax<BitsOut>::Packet::Failed:
        break;
    }
    return w.finish(ok);
}

}  // namespace dev::bink1
