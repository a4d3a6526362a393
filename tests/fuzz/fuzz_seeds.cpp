// Writes the seeds of every fuzz target, made from generated files only:
//   fuzz_seeds FOLDER   (normally tests/fuzz)
// replaces the files of FOLDER/TARGET/seeds/ for each target.  The seeds are
// committed; run this again when the formats they hold change.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "../dev_stream_fixtures.h"
#include "pack/bink2_generator.h"
#include "pack/bink_generator.h"
#include "pack/packer.h"
#include "pack/record_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

struct Seed {
    std::string name;
    Bytes bytes;
};

// Small generated Bink 1 files that the packer packs with coded frames.
Bytes generated(uint32_t width, uint32_t height, uint32_t frames, uint64_t seed, bool alpha, bool grayscale,
                std::vector<dev::GeneratorAudioTrack> audio, uint32_t storedPercent = 0) {
    dev::GeneratorOptions o;
    o.width = width;
    o.height = height;
    o.frames = frames;
    o.seed = seed;
    o.alpha = alpha;
    o.grayscale = grayscale;
    o.audio = std::move(audio);
    o.storedPercent = storedPercent;
    return dev::generateBink1(o);
}

dev::GeneratorAudioTrack track(uint32_t rate, bool stereo, bool dct) {
    dev::GeneratorAudioTrack t;
    t.sampleRate = rate;
    t.stereo = stereo;
    t.dct = dct;
    return t;
}

// A Bink 2 file of no frames, version 'i' (48-byte header), four slices.
Bytes emptyBink2() {
    using dev::fixtures::putLe32;
    Bytes b = {'K', 'B', '2', 'i'};
    const uint32_t words[] = {48 + 12 + 4 - 8, 0, 0, 0, 200, 180, 30, 1, 0x2, 1, 0};
    for (uint32_t w : words) putLe32(b, w);
    putLe32(b, 0x1000);                        // track word
    putLe32(b, 48000u | (0x3000u << 16));      // stereo DCT track
    putLe32(b, 0);                             // track id
    putLe32(b, 48 + 12 + 4 + 1);               // frame index: the end, key flag
    return b;
}

// A Bink 2 file of two slices, with alpha, flag lists and an audio track.
Bytes generatedBink2() {
    dev::Bink2GeneratorOptions o;
    o.width = 32;
    o.height = 128;
    o.frames = 2;
    o.alpha = true;
    o.seed = 14;
    o.audio = {track(22050, false, true)};
    const dev::GeneratedBink2 g = dev::generateBink2File(o);
    return g.ok ? g.bytes : Bytes();
}

// The Bink files the packer seeds start from.
std::vector<Seed> binkFiles() {
    return {
        {"video-mono.bik", generated(32, 24, 3, 11, false, false, {track(22050, false, true)})},
        {"alpha-gray.bik", generated(24, 16, 2, 12, true, true, {})},
        {"raw-stereo-stored.bik", generated(16, 16, 3, 13, false, false, {track(11025, true, false)}, 50)},
        {"bink2-empty.bik", emptyBink2()},
        {"bink2-alpha-slices.bik", generatedBink2()},
    };
}

Bytes packed(const Bytes& bink) {
    const dev::PackResult r = dev::packBink(bink);
    return r.ok ? r.dev : Bytes();
}

// DEV streams: for the copy-stage table (stored packets of random bytes,
// with and without tracks, grayscale), of no frames, and of the packer.
std::vector<Seed> devStreams(const std::vector<Seed>& bink) {
    using namespace dev::fixtures;
    std::vector<Seed> out = {{"empty.dev", emptyStream(2)}};
    for (uint32_t k = 0; k < 3; ++k) {
        SynthOptions o;
        o.frames = 1 + 2 * k;
        o.tracks = k % 3;
        o.seed = 100 + k;
        o.maxAudio = 24;
        o.maxVideo = 40;
        o.videoFlags = k == 2 ? 0x120000 : 0;
        out.push_back({"copy" + std::to_string(k) + ".dev", copyStream(makeBink1(o))});
    }
    for (const Seed& s : bink) out.push_back({s.name.substr(0, s.name.size() - 4) + ".dev", packed(s.bytes)});
    return out;
}

Bytes behaviour(uint8_t hostility, uint32_t seed) {
    Bytes b = {hostility};
    dev::fixtures::putLe32(b, seed);
    return b;
}

// Record streams behind the host's behaviour bytes (fuzz_plugin.cpp): stored
// and coded records, served whole, in pieces, or with failing writes.
std::vector<Seed> recordStreams(const std::vector<Seed>& bink) {
    std::vector<dev::RecordReport> reports;
    std::vector<uint8_t> text(300);
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<uint8_t>(i * 7);
    const Bytes stream = dev::buildRecordStream({{"a.bik", bink[0].bytes}, {"b.txt", text}, {"c.bik", bink[3].bytes}},
                                                &reports);
    const Bytes small = dev::buildRecordStream({{"b.bik", bink[1].bytes}, {"e.bik", bink[4].bytes}}, &reports);
    std::vector<Seed> out;
    const struct {
        const char* name;
        uint8_t hostility;
        const Bytes& records;
    } kinds[] = {
        {"whole.rec", 0x00, stream},
        {"pieces.rec", 0x03, stream},
        {"failing-writes.rec", 0x60, small},
        {"failing-reads.rec", 0x10, small},
    };
    for (const auto& k : kinds) {
        Bytes b = behaviour(k.hostility, 7);
        b.insert(b.end(), k.records.begin(), k.records.end());
        out.push_back({k.name, b});
    }
    return out;
}

bool writeSeeds(const fs::path& folder, const std::vector<Seed>& seeds) {
    std::error_code error;
    fs::remove_all(folder, error);
    fs::create_directories(folder, error);
    if (error) return false;
    for (const Seed& s : seeds) {
        if (s.bytes.empty()) {
            std::fprintf(stderr, "fuzz_seeds: %s could not be made\n", s.name.c_str());
            return false;
        }
        FILE* f = std::fopen((folder / s.name).string().c_str(), "wb");
        if (!f) return false;
        const bool ok = std::fwrite(s.bytes.data(), 1, s.bytes.size(), f) == s.bytes.size();
        if (std::fclose(f) != 0 || !ok) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds FOLDER (normally tests/fuzz)\n");
        return 2;
    }
    const fs::path root = argv[1];
    const std::vector<Seed> bink = binkFiles();
    const std::vector<Seed> dev = devStreams(bink);
    bool ok = writeSeeds(root / "fuzz_unpack" / "seeds", dev);
    ok = writeSeeds(root / "fuzz_framing" / "seeds", dev) && ok;
    ok = writeSeeds(root / "fuzz_plugin" / "seeds", recordStreams(bink)) && ok;
    ok = writeSeeds(root / "fuzz_pack" / "seeds", bink) && ok;
    return ok ? 0 : 1;
}
