// Writes the seeds of every fuzz target, made from generated files only:
//   fuzz_seeds FOLDER   (normally tests/fuzz)
// replaces the files of FOLDER/TARGET/seeds/ for each target.  The seeds are
// committed; run this again when the formats they hold change.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "../dev_stream_fixtures.h"
#include "../test_bink.h"
#include "driver/unpacker.h"
#include "fuzz_support.h"
#include "testkit/bink2_generator.h"
#include "testkit/bink_generator.h"
#include "pack/packer.h"
#include "pack/record_writer.h"
#include "stages/stage_table.h"
#include "tools/stream_layout.h"

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
    using namespace dev;
    BinkHeaderFields fields;
    std::memcpy(fields.signature, "KB2i", 4);
    fields.width = 200;
    fields.height = 180;
    fields.videoFlags = 0x2;  // four slices
    fields.trackCount = 1;
    Bytes b(BinkHeader::kLongLength);
    b.resize(writeBinkHeader(fields, b.data()));
    const uint32_t size = static_cast<uint32_t>(binkLayout(uint32_t(b.size()), 1, 0).frames);
    storeLe32(b.data() + BinkHeader::kFileSize, size - BinkHeader::kFileSizeFrom);
    appendLe32(b, 0x1000);                                                                  // track word
    appendLe32(b, BinkTrackTable::rateAndFlags(48000, BinkTrackFlag::kDct | BinkTrackFlag::kStereo));
    appendLe32(b, 0);                                                                       // track id
    appendLe32(b, size | BinkFrameIndex::kKeyframe);  // frame index: the end, key flag
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

// A Bink 2 file of the extension: video flag 0x40000, with alpha, and
// frames that leave the alpha plane out.
Bytes extendedBink2() {
    dev::Bink2GeneratorOptions o;
    o.width = 40;
    o.height = 32;
    o.frames = 3;
    o.seed = 15;
    o.alpha = true;
    o.extended = true;
    o.noAlphaPercent = 50;
    const dev::GeneratedBink2 g = dev::generateBink2File(o);
    return g.ok && g.seen[dev::bink2::cases::kAlphaLeftOut] ? g.bytes : Bytes();
}

// The Bink files the packer seeds start from.
std::vector<Seed> binkFiles() {
    return {
        {"video-mono.bik", generated(32, 24, 3, 11, false, false, {track(22050, false, true)})},
        {"alpha-gray.bik", generated(24, 16, 2, 12, true, true, {})},
        {"raw-stereo-stored.bik", generated(16, 16, 3, 13, false, false, {track(11025, true, false)}, 50)},
        {"bink2-empty.bik", emptyBink2()},
        {"bink2-alpha-slices.bik", generatedBink2()},
        {"bink2-extended.bik", extendedBink2()},
    };
}

Bytes packed(const Bytes& bink) {
    dev::PackOptions options;
    options.extended = true;
    const dev::PackResult r = dev::packBink(bink, nullptr, nullptr, options);
    return r.status.ok() ? r.dev : Bytes();
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

// ---- Seeds of the stage and writer targets: chunks and values of the
// generated files, with the file's bytes (FuzzedFile) in front. ----

void put16(Bytes& b, size_t at, uint32_t v) { dev::storeLe16(b.data() + at, v); }

// FuzzedFile's bytes for a run's file; keyBits: frame k key in bit k.
Bytes fileBytes(uint8_t choice, const dev::BinkContext& c, uint32_t keyBits) {
    Bytes b(dev::fuzz::FuzzedFile::kBytes, 0);
    b[0] = choice;
    b[1] = c.version;
    put16(b, 2, c.width);
    put16(b, 4, c.height);
    dev::storeLe32(b.data() + 6, c.videoFlags);
    b[10] = static_cast<uint8_t>(keyBits);
    b[11] = static_cast<uint8_t>(c.audioTrackCount & 3);
    for (uint32_t t = 0; t < c.audioTrackCount && t < 3; ++t) {
        put16(b, 12 + 4 * t, c.tracks[t].sampleRate);
        put16(b, 14 + 4 * t, (c.tracks[t].stereo ? 0x2000u : 0) | (c.tracks[t].dct ? 0x1000u : 0));
    }
    return b;
}

// Pieces as fuzz::pieces() cuts them: each a 16-bit length and its bytes.
void appendPieces(Bytes& b, const std::vector<Bytes>& pieces) {
    for (const Bytes& piece : pieces) {
        b.push_back(static_cast<uint8_t>(piece.size()));
        b.push_back(static_cast<uint8_t>(piece.size() >> 8));
        b.insert(b.end(), piece.begin(), piece.end());
    }
}

// A run of a packed file, seen frame by frame: the file's bytes and the
// front buffers of every sub-stream.
struct Frames : dev::StreamObserver {
    struct Frame {
        dev::BinkContext file;  // its pointers are not kept valid
        uint32_t key = 0;
        std::vector<Bytes> streams;
    };
    std::vector<Frame> frames;
    uint32_t firstKeys = 0;  // key bits of the first eight frames

    bool onFrame(const dev::BinkContext& file, const dev::StreamArray<dev::StreamBuffer>& streams,
                 uint32_t frame) override {
        Frame f{file, file.keyframes[frame], {}};
        if (frame == 0)
            for (uint32_t k = 0; k < 8 && k < file.frameCount; ++k) firstKeys |= file.keyframes[k] << k;
        for (const dev::StreamBuffer& s : streams) {
            const dev::ValueReader r = s.frontReader();
            f.streams.emplace_back(r.p, r.p + r.remaining());
        }
        header = fileBytes(0, file, firstKeys);
        frames.push_back(std::move(f));
        return true;
    }
    Bytes header;  // fileBytes() of the file, choice byte 0
};

// The chunks of every cycle, by stage ordinal, where the framing walk of
// the tools finds them.
std::vector<std::vector<Bytes>> chunksOf(const Bytes& dev) {
    std::vector<std::vector<Bytes>> cycles;
    dev::DevLayout layout;
    if (!dev::readDevLayout(dev, layout).ok()) return cycles;
    const uint8_t* p = dev.data() + dev::kDevPrefixSize + layout.capacityBlockBytes + 3 + layout.sizeBlockBytes +
                       layout.headerChunkBytes;
    for (const std::vector<int32_t>& lengths : layout.cycles) {
        std::vector<Bytes>& cycle = cycles.emplace_back();
        for (int32_t length : lengths) {
            if (length < 0) return cycles;  // the end mark
            cycle.emplace_back(p, p + length);
            p += length;
        }
    }
    return cycles;
}

// Chooses byte 0 of a stage seed: the stage (byte % 7, fuzz_stages.cpp) with
// the largest output room (64 KB).
uint8_t stageChoice(int stage) {
    int best = -1;
    for (int b = 0; b < 256; ++b)
        if (b % 7 == stage && (best < 0 || (b >> 3) % 13 > (best >> 3) % 13)) best = b;
    return static_cast<uint8_t>(best);
}

// Stage seeds (the chunks of up to four frames of one stage) and writer
// seeds (the values of one frame) of the packed generated files.
void stageAndWriterSeeds(const std::vector<Seed>& bink, std::vector<Seed>& stages, std::vector<Seed>& writers) {
    enum { kAudio1, kAudio2, kVideoFrame, kBundleLengths, kDctIntra, kDctInter, kBink2Video };
    for (const Seed& s : bink) {
        const Bytes dev = packed(s.bytes);
        Frames run;
        dev::MemorySource source(dev.data(), dev.size());
        dev::test::VectorSink sink;
        dev::RunOptions options;
        options.observer = &run;
        options.failureReport = dev::FailureReport::None;
        if (dev::Unpacker::run(dev::kStageTable, sink, source, options) != 0 || run.frames.empty()) continue;
        const bool isBink2 = run.frames[0].file.isBink2;
        const std::string stem = s.name.substr(0, s.name.size() - 4);

        const std::vector<std::vector<Bytes>> cycles = chunksOf(dev);
        const auto stageSeed = [&](int which, int ordinal, const char* name) {
            std::vector<Bytes> chunks;
            for (size_t k = 0; k < cycles.size() && k < 4 && k < run.frames.size(); ++k)
                if (size_t(ordinal) < cycles[k].size()) chunks.push_back(cycles[k][ordinal]);
            Bytes b = run.header;
            b[0] = stageChoice(which);
            appendPieces(b, chunks);
            stages.push_back({stem + "-" + name, b});
        };
        if (run.frames[0].file.audioTrackCount) stageSeed(isBink2 ? kAudio2 : kAudio1, 0, "audio");
        if (isBink2) {
            stageSeed(kBink2Video, 1, "video");
        } else {
            stageSeed(kVideoFrame, 1, "video-frame");
            stageSeed(kBundleLengths, 2, "bundle-lengths");
            stageSeed(kDctIntra, 3, "dct-intra");
            stageSeed(kDctInter, 4, "dct-inter");
        }

        for (size_t k = 0; k < run.frames.size() && k < 2; ++k) {
            const Frames::Frame& f = run.frames[k];
            // Room for the frame: in steps of 257 bytes, at most 127 of them.
            const size_t steps = std::min<size_t>(127, f.file.largestFrameSize / 257 + 1);
            Bytes b = run.header;
            b[0] = static_cast<uint8_t>((isBink2 ? 1 : 0) | (steps << 1));
            b[10] = static_cast<uint8_t>(f.key);
            appendPieces(b, f.streams);
            writers.push_back({stem + "-frame" + std::to_string(k), b});
        }
    }
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
    std::vector<Seed> stages, writers;
    stageAndWriterSeeds(bink, stages, writers);
    ok = writeSeeds(root / "fuzz_stages" / "seeds", stages) && ok;
    ok = writeSeeds(root / "fuzz_writers" / "seeds", writers) && ok;
    return ok ? 0 : 1;
}
