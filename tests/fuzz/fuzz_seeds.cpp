// Writes the seed corpus of the fuzz target: valid DEV streams of synthetic
// Bink 1 files for the copy-stage table, of a file without frames, and a
// Bink 1 and a Bink 2 one from our packer for the product's stages.
#include <cstdio>
#include <string>
#include <vector>

#include "../dev_stream_fixtures.h"
#include "pack/bink2_generator.h"
#include "pack/packer.h"

namespace {

bool save(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds output_dir\n");
        return 2;
    }
    const std::string dir = argv[1];
    using namespace dev::fixtures;
    bool ok = save(dir + "/empty.dev", emptyStream(2));
    for (uint32_t k = 0; k < 4; ++k) {
        SynthOptions o;
        o.frames = 1 + 3 * k;
        o.tracks = k % 3;
        o.seed = 100 + k;
        o.maxAudio = 24;
        o.maxVideo = 40;
        o.videoFlags = k == 3 ? 0x120000 : 0;
        ok = save(dir + "/copy" + std::to_string(k) + ".dev", copyStream(makeBink1(o))) && ok;
    }
    SynthOptions o;
    o.frames = 6;
    o.tracks = 0;
    o.maxVideo = 60;
    const dev::PackResult packed = dev::packBink(makeBink1(o));
    if (packed.ok) ok = save(dir + "/packed.dev", packed.dev) && ok;
    // A Bink 2 file with alpha, two slices, flag lists and an audio track.
    dev::Bink2GeneratorOptions b2;
    b2.width = 72;
    b2.height = 128;
    b2.frames = 4;
    b2.alpha = true;
    b2.audio = {{22050, false, true, 100}};
    const dev::GeneratedBink2 g = dev::generateBink2File(b2);
    const dev::PackResult packed2 = g.ok ? dev::packBink(g.bytes) : dev::PackResult();
    ok = packed2.ok && save(dir + "/packed2.dev", packed2.dev) && ok;
    return ok ? 0 : 1;
}
