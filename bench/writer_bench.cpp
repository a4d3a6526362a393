// Rates of the Bink 1 bitstream syntax in both directions: the frame writer
// (values to packet bits, as the unpacker runs it for every frame) and the
// packer's packet parser (packet bits to values).  Takes every coded frame of
// Bink 1 files, then writes and parses them again and again, and reports MB
// of video packets per second, best pass of each.
//
//   writer_bench [--passes N] file.bik ...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bink1_input.h"
#include "pack/bink1_parser.h"
#include "pack/frame_view.h"

namespace {

using Clock = std::chrono::steady_clock;

int gPasses = 7;

bool bench(const char* path) {
    Bink1Input input;
    if (!readBink1Input(path, input)) return false;
    const dev::BinkFile& file = input.file;
    const dev::BinkContext& context = input.context;
    std::vector<dev::PackFrame> frames;
    size_t packetBytes = 0;
    for (uint32_t j = 0; j < file.frameCount; ++j) {
        dev::PackFrame frame;
        frame.index = j;
        frame.video = file.video[j];
        if (!dev::bink1FrameValues(context, frame) || frame.stored) continue;
        packetBytes += frame.video.size();
        frames.push_back(std::move(frame));
    }
    if (frames.empty()) return true;

    dev::FrameView view(context);
    double bestWrite = 1e30, bestParse = 1e30;
    for (int pass = 0; pass < gPasses; ++pass) {
        double seconds = 0;
        for (dev::PackFrame& f : frames) {
            view.bind(f, f.video.size());
            const auto t0 = Clock::now();
            const int32_t r = view.writeVideo();
            seconds += std::chrono::duration<double>(Clock::now() - t0).count();
            const auto out = view.written();
            if (r < 0 || !std::equal(out.begin(), out.end(), f.video.begin(), f.video.end())) {
                std::printf("%s: frame %u does not rewrite\n", path, f.index);
                return false;
            }
        }
        bestWrite = std::min(bestWrite, seconds);

        const auto t0 = Clock::now();
        for (dev::PackFrame& f : frames)
            if (!dev::parseBink1Packet(context, f).ok()) return false;
        bestParse = std::min(bestParse, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    std::string name = path;
    if (name.size() > 34) name = name.substr(name.size() - 34);
    std::printf("%-34s frames %4zu  packets %9zu B  write %7.1f MB/s  parse %7.1f MB/s\n", name.c_str(), frames.size(),
                packetBytes, packetBytes / bestWrite / 1e6, packetBytes / bestParse / 1e6);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool ok = true;
    int a = 1;
    if (argc > 2 && std::string(argv[1]) == "--passes") {
        gPasses = std::max(1, std::atoi(argv[2]));
        a = 3;
    }
    for (; a < argc; ++a) ok = bench(argv[a]) && ok;
    return ok ? 0 : 1;
}
