// Synthetic Bink 1 files: an independent decoder (ffmpeg, when installed) must
// accept every kind the generator makes, the header and index must describe
// the frames, and the pack/unpack round trip must give the file back.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "core/byte_io.h"
#include "driver/unpacker.h"
#include "testkit/bink_generator.h"
#include "writers/bink_container.h"
#include "pack/packer.h"
#include "stages/stage_table.h"
#include "tests/corpus.h"
#include "tests/test_bink.h"

namespace dev {
namespace {

uint32_t word(const std::vector<uint8_t>& b, size_t at) { return loadLe32(b.data() + at); }

struct Case {
    const char* name;
    GeneratorOptions options;
    bool ffmpeg = true;  // decodable by a stock decoder
};

GeneratorOptions sized(uint32_t w, uint32_t h, uint32_t frames, uint64_t seed) {
    GeneratorOptions o;
    o.width = w;
    o.height = h;
    o.frames = frames;
    o.seed = seed;
    return o;
}

// Only the weights named are non-zero.
GeneratorOptions onlyKinds(GeneratorOptions o, std::initializer_list<int> kinds) {
    o.blockWeights.fill(0);
    for (int k : kinds) o.blockWeights[k] = 1;
    return o;
}

// Every block kind, both run endings and every motion offset (asserted below).
GeneratorOptions everything() {
    GeneratorOptions o = sized(128, 96, 8, 21);
    o.keyframePercent = 0;
    return o;
}

std::vector<Case> cases() {
    std::vector<Case> v;
    v.push_back({"every block kind and motion offset", everything()});
    v.push_back({"8x8", sized(8, 8, 4, 1)});
    v.push_back({"17x9", sized(17, 9, 4, 2)});
    v.push_back({"33x65", sized(33, 65, 3, 3)});
    v.push_back({"720x576", sized(720, 576, 2, 4)});
    v.push_back({"8064 wide", sized(8064, 16, 2, 5)});
    {
        GeneratorOptions o = sized(33, 65, 3, 6);
        o.alpha = true;
        v.push_back({"alpha", o});
    }
    {
        GeneratorOptions o = sized(17, 9, 3, 7);
        o.grayscale = true;
        v.push_back({"grayscale", o});
    }
    {
        GeneratorOptions o = sized(40, 24, 3, 8);
        o.grayscale = true;
        o.alpha = true;
        v.push_back({"grayscale with alpha", o});
    }
    {
        // Scaled blocks only: they reach the last column on odd widths.
        GeneratorOptions o = onlyKinds(sized(24, 40, 3, 9),
                                       {kGenScaledIntra, kGenScaledFill, kGenScaledRun, kGenScaledPattern, kGenScaledRaw});
        v.push_back({"scaled only, odd column count", o});
    }
    {
        GeneratorOptions o = onlyKinds(sized(64, 64, 4, 10), {kGenMotion, kGenResidue, kGenInter, kGenFill});
        o.extremePercent = 50;
        v.push_back({"motion, residue and inter at their limits", o});
    }
    {
        GeneratorOptions o = onlyKinds(sized(48, 32, 3, 11), {kGenRun, kGenScaledRun, kGenRaw, kGenPattern});
        o.repeatPercent = 70;
        v.push_back({"runs, raw and patterns, repeated values", o});
    }
    v.push_back({"run blocks only, wide rows", onlyKinds(sized(2048, 16, 2, 23), {kGenRun})});
    {
        GeneratorOptions o = onlyKinds(sized(48, 48, 3, 12), {kGenIntra, kGenInter, kGenScaledIntra});
        o.extremePercent = 60;
        o.multiRowChunkPercent = 80;
        v.push_back({"DCT blocks at their limits, long chunks", o});
    }
    {
        GeneratorOptions o = onlyKinds(sized(32, 32, 4, 13), {kGenSkip});
        v.push_back({"skip frames", o});
    }
    {
        GeneratorOptions o = sized(56, 40, 6, 14);
        o.storedPercent = 50;
        v.push_back({"stored packets", o});
    }
    {
        GeneratorOptions o = sized(48, 32, 4, 15);
        o.audio = {{44100, true, true, 100}, {22050, false, true, 60}, {48000, false, true, 0}};
        v.push_back({"DCT audio tracks", o});
    }
    {
        GeneratorOptions o = sized(32, 24, 5, 20);
        o.audio = {{22050, true, false, 100}, {8000, false, false, 70}, {48000, true, true, 100}};
        v.push_back({"raw-mode audio tracks beside a DCT track", o});
    }
    {
        GeneratorOptions o = sized(80, 48, 24, 16);
        o.audio = {{32000, true, true, 80}};
        o.keyframePercent = 20;
        v.push_back({"long mixed file with audio", o});
    }
    // Valid for our format but refused by the stock decoder, or outside what
    // it opens at all: round trip only.
    {
        GeneratorOptions o = onlyKinds(sized(40, 32, 3, 17), {kGenFill, kGenIntra, kGenScaledFill, kGenScaledRaw});
        o.scaledOnOddColumns = true;
        v.push_back({"scaled blocks on odd columns", o, false});
    }
    v.push_back({"height 0: planes without block rows", sized(8, 0, 2, 18), false});
    v.push_back({"no frames", sized(16, 16, 0, 19), false});
    return v;
}

#if defined(_WIN32)
// ffmpeg is the host's program: the Windows build leaves this check to the
// Linux builds.
bool ffmpegPresent() { return false; }
std::string tempPath(const std::string&) { return std::string(); }
int runFfmpeg(const std::string&, bool, std::string&) { return -1; }
#else
bool ffmpegPresent() { return std::system("ffmpeg -version >/dev/null 2>&1") == 0; }

std::string tempPath(const std::string& tag) {
    return std::string(DEV_BINARY_DIR) + "/generator_" + std::to_string(getpid()) + "_" + tag + ".bik";
}

// Runs ffmpeg over the file; returns its exit status and what it printed.
// -xerror stops it at the first decoding error (it would otherwise go on
// complaining about every later packet).  Its Bink probe refuses frames wider
// than 7680 pixels, so such files name their format.
int runFfmpeg(const std::string& path, bool wide, std::string& messages) {
    const std::string log = path + ".log";
    const std::string cmd = std::string("timeout 600 ffmpeg -nostdin -xerror -v error ") + (wide ? "-f bink " : "") +
                            "-i '" + path + "' -f null - >'" + log + "' 2>&1";
    const int status = std::system(cmd.c_str());
    std::ifstream in(log);
    messages.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::remove(log.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

TEST(Generator, FileLayoutAndDeterminism) {
    GeneratorOptions o = sized(33, 65, 5, 77);
    o.alpha = true;
    const GeneratedBink g = generateBink1File(o);
    ASSERT_TRUE(g.ok) << g.error;
    const std::vector<uint8_t>& b = g.bytes;
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "BIKi");
    EXPECT_EQ(word(b, BinkHeader::kFileSize), b.size() - 8);
    EXPECT_EQ(word(b, BinkHeader::kFrameCount), 5u);
    EXPECT_EQ(word(b, BinkHeader::kWidth), 33u);
    EXPECT_EQ(word(b, BinkHeader::kHeight), 65u);
    EXPECT_EQ(word(b, BinkHeader::kVideoFlags), 0x100000u);
    EXPECT_EQ(word(b, BinkHeader::kTrackCount), 0u);
    // Index: increasing even offsets, key bit on frame 0, the last word the
    // file size, and the largest frame in the header.
    const size_t index = BinkHeader::kBaseLength;  // no track table
    const auto at = [&](uint32_t k) { return word(b, index + BinkFrameIndex::kWordBytes * k); };
    uint32_t largest = 0;
    EXPECT_EQ(at(0) & ~1u, 44u + 4 * 6);
    EXPECT_EQ(at(0) & 1u, 1u);
    for (uint32_t k = 0; k < 5; ++k) {
        const uint32_t from = at(k) & ~1u, to = at(k + 1) & ~1u;
        ASSERT_LT(from, to);
        EXPECT_EQ(from % 4, 0u);
        largest = std::max(largest, to - from);
        // The video packet's first word holds its size (no audio here).
        EXPECT_EQ(word(b, from), to - from);
    }
    EXPECT_EQ(at(5), b.size());
    EXPECT_EQ(word(b, 12), largest);
    EXPECT_EQ(generateBink1(o), b);
    o.seed = 78;
    EXPECT_NE(generateBink1(o), b);
}

// The generator reaches what it claims to cover: every block kind, and runs
// that end on pixel 63 and on pixel 64.
TEST(Generator, CoversEveryBlockKindAndRunEnding) {
    const GeneratedBink g = generateBink1File(everything());
    ASSERT_TRUE(g.ok) << g.error;
    for (int k = 0; k < kGenBlockKinds; ++k) EXPECT_GT(g.blockCounts[k], 0u) << "kind " << k;
    EXPECT_GT(g.runsEndingOn63, 0u);
    EXPECT_GT(g.runsEndingOn64, 0u);
    EXPECT_GT(g.residuesWithoutBudget, 0u);
    EXPECT_EQ(g.storedFrames, 0u);
    EXPECT_EQ(g.xOffsetsSeen, 0x7FFFFFFFu);
    EXPECT_EQ(g.yOffsetsSeen, 0x7FFFFFFFu);
    // Values at their limits, when asked for.
    GeneratorOptions limits = onlyKinds(sized(64, 64, 4, 24), {kGenIntra, kGenInter});
    limits.extremePercent = 50;
    limits.keyframePercent = 0;
    const GeneratedBink l = generateBink1File(limits);
    ASSERT_TRUE(l.ok) << l.error;
    EXPECT_EQ(l.limitsSeen, uint32_t(kGenLimitIntraDcZero | kGenLimitIntraDcMax | kGenLimitInterDcMin |
                                     kGenLimitInterDcMax | kGenLimitCoefficient | kGenLimitFullList));
    // An odd column count puts scaled blocks into the last column.
    const GeneratedBink odd = generateBink1File(
        onlyKinds(sized(40, 16, 2, 22), {kGenScaledIntra, kGenScaledFill, kGenScaledRun, kGenScaledPattern, kGenScaledRaw}));
    ASSERT_TRUE(odd.ok) << odd.error;
    EXPECT_GT(odd.scaledInLastColumn, 0u);
}

TEST(Generator, RefusesWhatItCannotMake) {
    const GeneratedBink wide = generateBink1File(sized(8065, 8, 1, 1));
    EXPECT_FALSE(wide.ok);
    EXPECT_TRUE(wide.bytes.empty());
    // A stereo raw-mode track is coded as one channel at twice the rate; the
    // block length then follows the doubled rate only from 11025 to 44099 Hz.
    GeneratorOptions o = sized(16, 16, 1, 1);
    o.audio = {{44100, true, false, 100}};
    EXPECT_FALSE(generateBink1File(o).ok);
    o.audio = {{0, false, true, 100}};
    EXPECT_FALSE(generateBink1File(o).ok);
}

// A stock decoder reads every generated file without a complaint.
TEST(Generator, FfmpegDecodesGeneratedFiles) {
    if (!ffmpegPresent()) GTEST_SKIP() << "ffmpeg is not installed";
    for (const Case& c : cases()) {
        if (!c.ffmpeg) continue;
        SCOPED_TRACE(c.name);
        const GeneratedBink g = generateBink1File(c.options);
        ASSERT_TRUE(g.ok) << g.error;
        const std::string path = tempPath("ffmpeg");
        ASSERT_TRUE(writeBytes(path, g.bytes));
        std::string messages;
        const int rc = runFfmpeg(path, c.options.width > 7680, messages);
        std::remove(path.c_str());
        EXPECT_EQ(rc, 0) << messages;
        EXPECT_EQ(messages, "");
    }
}

// Generated file -> DEV -> unpacked file, byte for byte; only the packets
// made unrebuildable on purpose travel stored.
TEST(Generator, PackUnpackRoundTrip) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const GeneratedBink g = generateBink1File(c.options);
        ASSERT_TRUE(g.ok) << g.error;
        const PackResult packed = packBink(g.bytes);
        if (!packed.status.ok() && packed.status.reason().find("not built yet") != std::string::npos)
            GTEST_SKIP() << "packer incomplete: " << packed.status.reason();
        ASSERT_TRUE(packed.status.ok()) << packed.status.reason();
        EXPECT_EQ(packed.frames, c.options.frames);
        EXPECT_EQ(packed.stored, g.storedFrames);
        MemorySource in(packed.dev.data(), packed.dev.size());
        test::VectorSink out;
        ASSERT_EQ(Unpacker::run(kStageTable, out, in, RunOptions()), kResultOk);
        EXPECT_TRUE(out.data == g.bytes);
    }
}

}  // namespace
}  // namespace dev
