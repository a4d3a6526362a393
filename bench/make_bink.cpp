// Writes a synthetic Bink file for benchmarks: random but valid content of
// the given size, made by the same generators the tests use.
//
//   make_bink [--bink2] [--width W] [--height H] [--frames N] [--seed S]
//             [--alpha] [--audio] OUT
//
// --audio adds one 44.1 kHz stereo DCT track.  Bink 2 files meant for the
// Bink 2 decoder keep their motion vectors at 0 when rows are 32 macroblocks
// or wider (see Bink2GeneratorOptions::zeroVectorPercent).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "testkit/bink2_generator.h"
#include "testkit/bink_generator.h"
#include "writers/bink2/geometry.h"

int main(int argc, char** argv) {
    bool bink2 = false, alpha = false, audio = false;
    uint32_t width = 640, height = 480, frames = 60;
    uint64_t seed = 1;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--bink2") bink2 = true;
        else if (a == "--alpha") alpha = true;
        else if (a == "--audio") audio = true;
        else if (a == "--width" && more) width = static_cast<uint32_t>(std::atoi(argv[++i]));
        else if (a == "--height" && more) height = static_cast<uint32_t>(std::atoi(argv[++i]));
        else if (a == "--frames" && more) frames = static_cast<uint32_t>(std::atoi(argv[++i]));
        else if (a == "--seed" && more) seed = std::strtoull(argv[++i], nullptr, 10);
        else if (out.empty() && a[0] != '-') out = a;
        else {
            std::fprintf(stderr, "make_bink: unknown argument %s\n", a.c_str());
            return 1;
        }
    }
    if (out.empty()) {
        std::fprintf(stderr, "Usage: make_bink [--bink2] [--width W] [--height H] [--frames N] [--seed S] [--alpha] [--audio] OUT\n");
        return 1;
    }
    std::vector<dev::GeneratorAudioTrack> tracks;
    if (audio) tracks.push_back({44100, true, true, 100});
    std::vector<uint8_t> bytes;
    std::string error;
    if (bink2) {
        dev::Bink2GeneratorOptions o;
        o.width = width, o.height = height, o.frames = frames, o.seed = seed, o.alpha = alpha, o.audio = tracks;
        if (dev::bink2::macroblockColumns(width) >= 32) o.zeroVectorPercent = 100;
        dev::GeneratedBink2 g = dev::generateBink2File(o);
        bytes = std::move(g.bytes);
        error = g.error;
    } else {
        dev::GeneratorOptions o;
        o.width = width, o.height = height, o.frames = frames, o.seed = seed, o.alpha = alpha, o.audio = tracks;
        dev::GeneratedBink g = dev::generateBink1File(o);
        bytes = std::move(g.bytes);
        error = g.error;
    }
    if (bytes.empty()) {
        std::fprintf(stderr, "make_bink: %s\n", error.empty() ? "nothing generated" : error.c_str());
        return 1;
    }
    std::ofstream file(out, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file.flush()) {
        std::fprintf(stderr, "make_bink: cannot write %s\n", out.c_str());
        return 1;
    }
    std::printf("%s: %zu bytes\n", out.c_str(), bytes.size());
    return 0;
}
