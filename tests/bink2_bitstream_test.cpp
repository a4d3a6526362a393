// Bink 2 files: synthetic files of every case the frame syntax has are read
// back by the parser into exactly the values they were written from, accepted
// by an independent Bink 2 decoder (when present) and packed and restored
// byte for byte; real Bink 2 files rewrite bit for bit and round trip; values
// the bitstream cannot hold make the writer fail without writing out of
// bounds.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "corpus.h"
#include "driver/header_decoder.h"
#include "testkit/bink2_generator.h"
#include "pack/bink2_parser.h"
#include "pack/bink_file.h"
#include "pack/frame_view.h"
#include "pack/packer.h"
#include "pack/record_writer.h"
#include "writers/bink2/frame_assembly.h"
#include "writers/bink2/streams.h"
#include "writers/bink_container.h"

namespace dev {
namespace {

namespace cases = bink2::cases;

// The video sub-streams: the generator fills them, the frame writer reads them.
constexpr int kFirstVideo = bink2::kMacroblockTypes, kLastVideo = bink2::kResidueCoefficients;

// A Bink file read for its frames, with the header fields the writer reads.
struct ReadFile {
    BinkFile file;
    BinkContext context{};
    std::vector<uint32_t> keyframes;

    explicit ReadFile(const std::vector<uint8_t>& bytes) {
        EXPECT_EQ(readBinkFile(bytes, file).reason(), "");
        setHeaderFields(context, file.header.data(), static_cast<uint32_t>(file.header.size()));
        for (uint32_t w : file.frameIndex) keyframes.push_back(w & 1);
        context.keyframes = keyframes.data();
    }
    PackFrame frame(uint32_t j) const {
        PackFrame f;
        f.index = j;
        f.video = file.video[j];
        return f;
    }
};

// Packing with the extension: a file without its flag packs the same.
PackOptions extendedPacking() {
    PackOptions o;
    o.extended = true;
    return o;
}

struct Case {
    const char* name;
    Bink2GeneratorOptions options;
};

Bink2GeneratorOptions sized(uint32_t w, uint32_t h, uint32_t frames, uint64_t seed) {
    Bink2GeneratorOptions o;
    o.width = w;
    o.height = h;
    o.frames = frames;
    o.seed = seed;
    return o;
}

std::vector<Case> generatedCases() {
    std::vector<Case> v;
    {
        Bink2GeneratorOptions o = sized(96, 160, 14, 1);
        o.alpha = true;
        o.extremePercent = 25;
        o.keyframePercent = 10;
        v.push_back({"96x160 alpha, two slices, values at their limits", o});
    }
    {
        Bink2GeneratorOptions o = sized(64, 128, 8, 2);
        o.sliceChoice = 3;  // eight slices of which four are empty
        o.emptyPlanePercent = 50;
        o.typeWeights = {1, 1, 4, 4};
        v.push_back({"64x128 eight slices, mostly motion", o});
    }
    {
        Bink2GeneratorOptions o = sized(33, 300, 6, 3);
        o.sliceChoice = 1;
        o.version = 'i';
        o.audio = {{44100, true, true, 100}, {22050, true, false, 80}};
        v.push_back({"33x300 three slices, version i, DCT and raw audio", o});
    }
    {
        Bink2GeneratorOptions o = sized(100, 333, 5, 4);
        o.sliceChoice = 2;
        o.version = 'h';
        o.alpha = true;
        o.bareEmptyPercent = 100;
        v.push_back({"100x333 four slices, version h, empty patterns bare", o});
    }
    {
        Bink2GeneratorOptions o = sized(1920, 1088, 2, 5);
        o.sliceChoice = 3;
        o.keyframePercent = 0;
        o.zeroVectorPercent = 100;
        v.push_back({"1920x1088 eight slices", o});
    }
    {
        Bink2GeneratorOptions o = sized(32, 32, 5, 6);
        o.flagListPercent = 100;
        o.runListPercent = 50;
        v.push_back({"32x32 one slice, flag lists in every frame", o});
    }
    {
        Bink2GeneratorOptions o = sized(250, 96, 6, 7);
        o.alpha = true;
        o.flagListPercent = 100;
        o.extremePercent = 40;
        v.push_back({"250x96 one slice, alpha, flag lists and limits", o});
    }
    {
        Bink2GeneratorOptions o = sized(130, 200, 6, 8);
        o.alpha = true;
        o.extended = true;
        v.push_back({"130x200 extended, alpha, frames without alpha", o});
    }
    return v;
}

// The Bink 2 decoder we check generated files with (skipped when absent).
const char* bink2Decoder() {
    static const std::string path = std::string(DEV_SOURCE_DIR) + "/../shared/tools/bink-decoder/ffmpeg";
    return access(path.c_str(), X_OK) == 0 ? path.c_str() : nullptr;
}

// What the decoder prints for the file (empty: decoded without a message).
std::string decoderMessages(const char* decoder, const std::vector<uint8_t>& bytes, const std::string& tag) {
    const std::string path = std::string(DEV_BINARY_DIR) + "/bink2_" + std::to_string(getpid()) + "_" + tag + ".bk2";
    writeBytes(path, bytes);
    const std::string log = path + ".log";
    const std::string cmd = std::string("timeout 600 '") + decoder + "' -nostdin -v warning -xerror -i '" + path +
                            "' -map 0 -f null - >'" + log + "' 2>&1";
    const int status = std::system(cmd.c_str());
    std::ifstream in(log);
    std::string messages(std::istreambuf_iterator<char>(in), {});
    if (status != 0 && messages.empty()) messages = "exit status " + std::to_string(status);
    std::remove(log.c_str());
    std::remove(path.c_str());
    return messages;
}

// Every generated frame reads back into the values it was drawn as; together
// the files pass every case of the syntax; the decoder takes every file
// whose slices it counts as we do; every file packs and is restored (the
// packer proves that before it reports success).
TEST(Bink2Bitstream, GeneratedFilesOfEveryCaseReadBackDecodeAndRoundTrip) {
    std::bitset<cases::kCaseCount> seen;
    const char* decoder = bink2Decoder();
    int tag = 0;
    for (const Case& c : generatedCases()) {
        SCOPED_TRACE(c.name);
        const GeneratedBink2 g = generateBink2File(c.options);
        ASSERT_TRUE(g.ok) << g.error;
        seen |= g.seen;
        const ReadFile r(g.bytes);
        ASSERT_EQ(r.file.frameCount, c.options.frames);
        EXPECT_EQ(r.file.header.size(), c.options.version >= 'i' ? 48u : 44u);
        for (uint32_t j = 0; j < r.file.frameCount; ++j) {
            PackFrame f = r.frame(j);
            ASSERT_EQ(bink2PacketValues(r.context, f).reason(), "") << "frame " << j;
            for (int n = kFirstVideo; n <= kLastVideo; ++n)
                ASSERT_EQ(f.streams[n], g.values[j][n]) << "frame " << j << ", sub-stream " << n;
        }
        const PackResult packed = packBink(g.bytes, nullptr, nullptr, extendedPacking());
        EXPECT_TRUE(packed.status.ok()) << packed.status.reason();
        EXPECT_EQ(packed.coded, c.options.frames);
        // The decoder splits a picture below 128 rows into slices as well.
        if (decoder && r.context.height > 96) {
            EXPECT_EQ(decoderMessages(decoder, g.bytes, std::to_string(tag++)), "");
        }
    }
    for (uint32_t i = 0; i < cases::kCaseCount; ++i) {
        if (i == cases::kQuantiserDelta + 1) continue;  // a negative zero
        EXPECT_TRUE(seen[i]) << "case " << i << " never written";
    }
}

// Every real Bink 2 file packs, every frame coded, and is restored byte for
// byte (the packer proves it before it reports success); a file with the
// extension's video flag 0x40000 only when asked for the extension, and is
// refused without it.
TEST(Bink2Bitstream, RealFilesRoundTrip) {
    int files = 0;
    for (const CorpusFile& f : corpusFiles()) {
        if (!f.bink.isBink2) continue;
        SCOPED_TRACE(f.name);
        ++files;
        const bool extended = videoFlagsExtended(true, f.bink.videoFlags);
        if (extended) {
            const PackResult refused = packBink(f.bytes);
            EXPECT_NE(refused.status.reason().find("(pack with --extended)"), std::string::npos)
                << refused.status.reason();
            EXPECT_TRUE(refused.dev.empty());
        }
        const PackResult packed = packBink(f.bytes, nullptr, nullptr, extendedPacking());
        ASSERT_TRUE(packed.status.ok()) << packed.status.reason();
        EXPECT_EQ(packed.coded, f.bink.frameCount);
        std::printf("%-36s %5ux%-5u frames %4u bink %8zu dev %8zu%s\n", f.name.c_str(), f.bink.width, f.bink.height,
                    f.bink.frameCount, f.bytes.size(), packed.dev.size(), extended ? " (--extended)" : "");
    }
    if (files == 0) GTEST_SKIP() << "no real Bink 2 files";
}

// A real file whose first frame sets frame flag 0x80000 and codes no alpha
// plane (kept beside the corpus): read with the alpha plane, as a file
// without the extension is, the frame does not parse; the file packs with
// the extension and is restored.
TEST(Bink2Bitstream, FramesWithoutTheirAlphaPlaneRoundTrip) {
    const auto bytes = readBytes(std::filesystem::path(DEV_CORPUS_DIR) / ".." / "cases" / "bink2-coded-empty-block" /
                                 "hsett_BoonSelectIn.bk2");
    if (bytes.empty()) GTEST_SKIP() << "case file not present";
    ReadFile r(bytes);
    ASSERT_GT(r.file.frameCount, 0u);
    r.context.videoFlags &= ~BinkVideoFlag::kBink2Extended;
    PackFrame f = r.frame(0);
    EXPECT_NE(bink2PacketValues(r.context, f).reason(), "");
    const PackResult packed = packBink(bytes, nullptr, nullptr, extendedPacking());
    ASSERT_TRUE(packed.status.ok()) << packed.status.reason();
    EXPECT_EQ(packed.coded, r.file.frameCount);
    std::printf("hsett_BoonSelectIn.bk2 frames %u bink %zu dev %zu\n", r.file.frameCount, bytes.size(), packed.dev.size());
}

// A packet that is not ours is refused with the first bit that differs.
TEST(Bink2Bitstream, ParserNamesTheFirstBitThatDiffers) {
    Bink2GeneratorOptions o = sized(64, 128, 2, 9);
    const GeneratedBink2 g = generateBink2File(o);
    ASSERT_TRUE(g.ok) << g.error;
    const ReadFile r(g.bytes);
    std::vector<uint8_t> packet(r.file.video[1].begin(), r.file.video[1].end());
    const size_t bits = 8 * packet.size();

    std::vector<uint8_t> longer = packet;
    longer.insert(longer.end(), 4, 0);
    PackFrame f = r.frame(1);
    f.video = longer;
    EXPECT_EQ(bink2PacketValues(r.context, f).reason(),
              "the video packet does not rewrite bit for bit: bit " + std::to_string(bits) +
                  " differs (bytes after the last slice)");

    f.video = std::span<const uint8_t>(packet.data(), packet.size() - 4);
    EXPECT_EQ(bink2PacketValues(r.context, f).reason(), "the video packet ends inside its last slice");

    // The second slice no longer starts where its offset says: the file
    // cannot be packed, and goes into a record stream stored.
    std::vector<uint8_t> moved = packet;
    moved[4] += 4;
    f.video = moved;
    EXPECT_NE(bink2PacketValues(r.context, f).reason().find("a slice that does not start where the last one ends"),
              std::string::npos);
    std::vector<uint8_t> file = g.bytes;
    const size_t at = static_cast<size_t>(r.file.video[1].data() - g.bytes.data());
    file[at + 4] += 4;
    const PackResult packed = packBink(file);
    EXPECT_EQ(packed.status.reason().rfind("frame 1: the video packet does not rewrite bit for bit: bit ", 0), 0u) << packed.status.reason();
    std::vector<RecordReport> reports;
    buildRecordStream({{"moved.bk2", file}}, &reports);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_FALSE(reports[0].coded);
    EXPECT_EQ(reports[0].reason, packed.status.reason());
}

// Values a Bink 2 bitstream cannot hold, sub-streams that run out and frames
// larger than their buffer make the writer fail; nothing is written past the
// buffer (the sanitizer build watches).
TEST(Bink2Bitstream, WriterFailsCleanlyOnBadValues) {
    Bink2GeneratorOptions o = sized(64, 128, 2, 10);
    o.keyframePercent = 0;
    o.typeWeights = {1, 0, 0, 1};
    const GeneratedBink2 g = generateBink2File(o);
    ASSERT_TRUE(g.ok) << g.error;
    const ReadFile r(g.bytes);
    FrameView view(r.context);
    const size_t size = r.file.video[1].size();

    const auto write = [&](const std::array<std::vector<uint8_t>, 11>& values, size_t capacity) {
        PackFrame f;
        f.index = 1;
        for (int n = kFirstVideo; n <= kLastVideo; ++n) f.streams[n] = values[n];
        view.bind(f, capacity);
        return view.writeVideo();
    };
    ASSERT_EQ(write(g.values[1], size), 0);
    EXPECT_EQ(write(g.values[1], size - 1), -1) << "frame larger than its buffer";
    for (int n = kFirstVideo; n <= kLastVideo; ++n) {
        if (g.values[1][n].empty()) continue;
        auto cut = g.values[1];
        cut[n].pop_back();
        EXPECT_EQ(write(cut, size), -1) << "sub-stream " << n << " one byte short";
    }
    auto bad = g.values[1];
    bad[bink2::kMacroblockTypes][0] = 4;
    EXPECT_EQ(write(bad, size), -1) << "macroblock type 4";

    // The first intra quantiser is predicted as 16.
    const bool intraFirst = g.values[1][bink2::kMacroblockTypes][0] == bink2::kIntra;
    bad = g.values[1];
    std::vector<uint8_t>& q = bad[intraFirst ? bink2::kIntraQuantisers : bink2::kResidueQuantisers];
    q[0] = 16 + 37;
    EXPECT_EQ(write(bad, size), -1) << "quantiser delta 37";

    bad = g.values[1];
    bad[intraFirst ? bink2::kIntraCoefficients : bink2::kResidueCoefficients][0] = 64;
    EXPECT_EQ(write(bad, size * 2), -1) << "64 coefficients";
}

// Damaged values: the writer ends every frame with 0 or -1 and stays inside
// its buffers (watched by the sanitizer build), whatever the sub-streams hold.
TEST(Bink2Bitstream, WriterSurvivesDamagedValues) {
    Bink2GeneratorOptions o = sized(72, 160, 4, 11);
    o.alpha = true;
    o.flagListPercent = 100;
    const GeneratedBink2 g = generateBink2File(o);
    ASSERT_TRUE(g.ok) << g.error;
    const ReadFile r(g.bytes);
    FrameView view(r.context);
    uint64_t state = 12345;
    const auto next = [&](uint32_t n) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>((state >> 33) % n);
    };
    int failures = 0;
    for (int round = 0; round < 400; ++round) {
        const uint32_t j = next(o.frames);
        PackFrame f;
        f.index = j;
        for (int n = kFirstVideo; n <= kLastVideo; ++n) f.streams[n] = g.values[j][n];
        for (int k = 0, edits = 1 + next(8); k < edits; ++k) {
            std::vector<uint8_t>& v = f.streams[kFirstVideo + static_cast<int>(next(kLastVideo - kFirstVideo + 1))];
            if (v.empty()) continue;
            const uint32_t at = next(static_cast<uint32_t>(v.size()));
            switch (next(3)) {
                case 0: v[at] = static_cast<uint8_t>(next(256)); break;
                case 1: v.resize(at); break;
                default: v.insert(v.begin() + at, static_cast<uint8_t>(next(256))); break;
            }
        }
        const size_t capacity = r.file.video[j].size() + next(64);
        view.bind(f, capacity);
        const int32_t result = view.writeVideo();
        ASSERT_TRUE(result == 0 || result == -1) << result;
        ASSERT_LE(view.written().size(), capacity);
        failures += result != 0;
    }
    EXPECT_GT(failures, 200);
}

}  // namespace
}  // namespace dev
