// Fuzz target: the frame writers of both generations on fuzzed values.  The
// input is a small file (FuzzedFile in fuzz_support.h; byte 0: bit 0 the
// generation, bits 1-7 the room in the frame buffer, in steps of 257 bytes)
// followed by the front buffers of sub-streams 1, 2, ... (pieces(); the
// streams not given are empty).  One frame is assembled as the driver
// assembles it: the audio packets, then the video, with run buffers sized as
// the driver sizes them from the stream capacities.  Whatever the values,
// the writers must end with 0 or -1, read nothing past a stream, and write
// nothing past the frame buffer, which is a block of exactly its room.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "driver/frame_assembly.h"
#include "fuzz_support.h"
#include "writers/bink1/bundle_areas.h"
#include "writers/bink1/video_writer.h"
#include "writers/bink2/frame_assembly.h"

namespace {

using namespace dev;

uint8_t gEmpty[1];  // stands in for an empty stream's storage

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < fuzz::FuzzedFile::kBytes) return 0;
    const bool isBink2 = data[0] & 1;
    fuzz::FuzzedFile file;
    if (!file.read(data, isBink2, 1)) return 0;
    const BinkContext& c = file.context;

    auto values = fuzz::pieces(data + fuzz::FuzzedFile::kBytes, data + size, kStreamCount);
    values.resize(kStreamCount);  // the streams not given are empty
    StreamArray<StreamBuffer> streams;
    StreamArray<uint32_t> capacities;
    for (int n = 1; n <= kStreamCount; ++n) {
        std::vector<uint8_t>& v = values[n - 1];
        capacities[n] = static_cast<uint32_t>(v.size());
        streams[n].holdFront(v.empty() ? gEmpty : v.data(), capacities[n]);
    }

    std::vector<uint8_t> frame(size_t(data[0] >> 1) * 257);
    FrameOutput out;
    out.out = frame.data();
    out.outEnd = frame.data() + frame.size();
    out.streams = &streams;

    int32_t r = assembleAudio(c, out);
    if (r == 0 && isBink2) {
        Bink2RowBuffer rows;
        if (!rows.allocate(c)) return 0;
        r = assembleBink2Video(c, out, rows.data());
    } else if (r == 0) {
        bink1::BundleAreas areas;
        if (!areas.allocate(c.width, c.height, bink1::bundleAreaLimit(capacities))) return 0;
        r = bink1::writeVideo(c, out, areas);
    }
    DEV_FUZZ_CHECK(r == 0 || r == -1);
    DEV_FUZZ_CHECK(out.out >= frame.data() && out.out <= frame.data() + frame.size());
    for (const StreamBuffer& s : streams)
        DEV_FUZZ_CHECK(s.cursor >= s.buffers[0] && s.cursor <= s.buffers[0] + s.filled[0]);
    return 0;
}
