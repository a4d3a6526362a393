// The packer: files it accepts come back byte for byte through the unpacker;
// files it cannot reproduce are refused with a message, never a crash.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>

#include "driver/header_decoder.h"
#include "driver/unpacker.h"
#include "testkit/audio_generator.h"
#include "pack/dev_writer.h"
#include "pack/header_encoder.h"
#include "pack/packer.h"
#include "stages/stage_table.h"
#include "test_bink.h"
#include "tests/corpus.h"

namespace dev {
namespace {

using test::TestBink;
using test::TestFrame;
using test::TestTrack;
using test::VectorSink;

// Unpacks a DEV stream with the product's stage table.
int32_t unpack(const std::vector<uint8_t>& dev, std::vector<uint8_t>& out) {
    VectorSink sink;
    MemorySource source(dev.data(), dev.size());
    const int32_t r = Unpacker::run(kStageTable, sink, source, RunOptions());
    out = std::move(sink.data);
    return r;
}

void expectRoundTrip(const std::vector<uint8_t>& bink, const std::string& what) {
    const PackResult r = packBink(bink);
    ASSERT_TRUE(r.status.ok()) << what << ": " << r.status.reason();
    std::vector<uint8_t> back;
    ASSERT_EQ(unpack(r.dev, back), 0) << what;
    EXPECT_EQ(back, bink) << what;
}

std::vector<TestTrack> tracks(size_t n) {
    std::vector<TestTrack> out;
    for (size_t t = 0; t < n; ++t)
        out.push_back(TestTrack{uint32_t(1000 * t), uint16_t(22050 + 11025 * t), uint16_t(t % 2 ? 0x5000 : 0xE000),
                                uint32_t(t)});
    return out;
}

TEST(Packer, EmptyBink1FilesRoundTrip) {
    // Every Bink 1 run sets up the full stage models, so the cases share out
    // the track counts instead of multiplying them.
    size_t n = 0;
    for (const char* sig : {"BIKh", "BIKi"}) {
        for (uint32_t flags : {0u, 0x100000u, 0x20000u, 0x120000u, 0x70000000u}) {
            TestBink layout;
            layout.signature = sig;
            layout.flags = flags;
            layout.tracks = tracks(n % 4);
            layout.width = 320 + 16 * uint32_t(n);
            layout.height = 240;
            expectRoundTrip(layout.bytes(), std::string(sig) + " flags " + std::to_string(flags) + " tracks " +
                                              std::to_string(n % 4));
            ++n;
        }
    }
}

TEST(Packer, EmptyBink2FilesRoundTrip) {
    // Heights and slice selectors giving 1, 2, 3, 4 and 8 slices.
    const struct {
        uint32_t height, sel;
    } shapes[] = {{96, 3}, {100, 0}, {720, 1}, {1080, 2}, {1088, 3}};
    for (const char* sig : {"KB2h", "KB2i", "KB2j"}) {
        for (const auto& shape : shapes) {
            for (size_t n = 0; n <= 3; ++n) {
                TestBink layout;
                layout.signature = sig;
                layout.height = shape.height;
                layout.width = 1280;
                layout.flags = shape.sel | (n % 2 ? 0x100000u : 0u) | 0x10;
                layout.tracks = tracks(n);
                expectRoundTrip(layout.bytes(), std::string(sig) + " height " + std::to_string(shape.height) +
                                                  " tracks " + std::to_string(n));
            }
        }
    }
}

TEST(Packer, RefusesWhatTheStreamCannotCarry) {
    TestBink layout;
    layout.flags = 0x40000;
    PackResult r = packBink(layout.bytes());
    EXPECT_FALSE(r.status.ok());
    EXPECT_NE(r.status.reason().find("0x00040000"), std::string::npos) << r.status.reason();
    EXPECT_TRUE(r.dev.empty());
    PackOptions extended;
    extended.extended = true;
    EXPECT_FALSE(packBink(layout.bytes(), nullptr, nullptr, extended).status.ok()) << "Bink 1 with 0x40000";

    layout = TestBink();
    layout.signature = "KB2j";
    TestFrame f;
    f.video.assign(64, 1);
    layout.frames.push_back(f);
    r = packBink(layout.bytes());
    EXPECT_FALSE(r.status.ok());
    EXPECT_EQ(r.status.reason().rfind("frame 0: the video packet does not rewrite bit for bit: bit ", 0), 0u) << r.status.reason();

    // A frame larger than the header's largest frame size cannot be rebuilt
    // in the unpacker's frame buffer.
    layout = TestBink();
    f.video.assign(2000, 1);
    layout.frames.push_back(f);
    auto bytes = layout.bytes();
    storeLe32(bytes.data() + BinkHeader::kLargestFrame, 356);  // buffer 512 bytes
    r = packBink(bytes);
    EXPECT_FALSE(r.status.ok());
    EXPECT_NE(r.status.reason().find("larger than the header's largest frame size"), std::string::npos) << r.status.reason();
}

TEST(Packer, DamagedFilesFailWithAMessage) {
    TestBink layout;
    layout.tracks = tracks(2);
    layout.signature = "BIKi";
    const auto good = layout.bytes();
    for (size_t n = 0; n < good.size(); ++n) {
        const std::vector<uint8_t> part(good.begin(), good.begin() + n);
        const PackResult r = packBink(part);
        EXPECT_FALSE(r.status.ok()) << n;
        EXPECT_FALSE(r.status.reason().empty()) << n;
    }
    // Frame index pointing anywhere: every word of the index, every bad value.
    const size_t index = binkLayout(BinkHeader::kBaseLength, 2, 0).frameIndex;
    for (uint32_t bad : {0u, 1u, 44u, 0xFFFFFFFEu, uint32_t(good.size() + 2)}) {
        auto bytes = good;
        storeLe32(bytes.data() + index, bad);
        const PackResult r = packBink(bytes);
        EXPECT_FALSE(r.status.ok()) << bad;
        EXPECT_FALSE(r.status.reason().empty()) << bad;
    }
}

// Frames with audio on several tracks (DCT packets, raw-mode bytes, no
// packet) and video packets the parser cannot read, which are carried stored.
TEST(Packer, FramesWithTracksRoundTrip) {
    std::mt19937 rng(3);
    for (uint32_t flags : {0u, 0x100000u, 0x20000u}) {
        TestBink layout;
        layout.flags = flags;
        layout.tracks = {TestTrack{0, 44100, 0x7000, 0}, TestTrack{0, 22050, 0xC000, 1}, TestTrack{0, 48000, 0x5000, 2}};
        for (uint32_t j = 0; j < 5; ++j) {
            TestFrame f;
            f.keyframe = j == 0;
            AudioPacketOptions a;
            a.seed = j + 1;
            a.stereo = true;
            f.audio.push_back(j == 2 ? std::vector<uint8_t>() : makeAudioPacket(a));
            std::vector<uint8_t> raw(64 + 2 * j);
            for (auto& b : raw) b = static_cast<uint8_t>(rng());
            f.audio.push_back(raw);
            a.sampleRate = 48000;
            a.stereo = false;
            a.blocks = j;
            f.audio.push_back(makeAudioPacket(a));
            f.video.resize(4 + 2 * (rng() % 100));
            for (auto& b : f.video) b = static_cast<uint8_t>(rng());
            if ((f.video.size() + f.audio[0].size() + f.audio[1].size() + f.audio[2].size()) % 2) f.video.push_back(0);
            layout.frames.push_back(f);
        }
        const auto bytes = layout.bytes();
        const PackResult r = packBink(bytes);
        ASSERT_TRUE(r.status.ok()) << r.status.reason();
        EXPECT_EQ(r.frames, 5u);
        EXPECT_EQ(r.coded + r.stored, 5u);
        std::vector<uint8_t> back;
        ASSERT_EQ(unpack(r.dev, back), 0);
        EXPECT_EQ(back, bytes);
    }
}

// A DEV stream may claim flags the packer refuses (made by hand here): the
// unpacker writes the header and stops with -4.  The extension's Bink 2 flag
// 0x40000 opens no other bit, and no Bink 1 file.
TEST(Packer, StreamWithRejectedFlagsEndsWithMinus4) {
    for (const auto& [sig, flags] : {std::pair<const char*, uint32_t>{"BIKi", 0x40000}, {"KB2j", 0x1C0010}}) {
        TestBink layout;
        layout.signature = sig;
        layout.flags = flags;
        const auto bytes = layout.bytes();
        BinkFile file;
        ASSERT_EQ(readBinkFile(bytes, file).reason(), "");
        DevStreamParts parts;
        parts.headerChunk = encodeHeaderChunk(file);
        parts.stageCount = file.isBink2 ? 2 : 6;
        const auto dev = writeDevStream(parts);
        ASSERT_FALSE(dev.empty());
        std::vector<uint8_t> out;
        EXPECT_EQ(unpack(dev, out), kResultFlags) << sig;
        EXPECT_EQ(out, file.header) << sig;
    }
}

// Every Bink file of the corpus by name, whether it reads or not.
std::vector<std::filesystem::path> corpusPaths() {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(DEV_CORPUS_DIR, ec)) {
        const auto ext = e.path().extension();
        if ((ext == ".bik" || ext == ".bk2") && corpusFileTaken(e.path())) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Every Bink 1 file of the corpus packs and comes back unchanged, every video
// packet coded: a packet the parser cannot read would be carried stored.
TEST(PackerCorpus, Bink1FilesRoundTrip) {
    if (!std::filesystem::is_directory(DEV_CORPUS_DIR)) GTEST_SKIP() << "no corpus";
    uint64_t binkBytes = 0, devBytes = 0;
    for (const auto& path : corpusPaths()) {
        if (path.extension() != ".bik") continue;
        const auto bytes = readBytes(path);
        const PackResult r = packBink(bytes);
        EXPECT_TRUE(r.status.ok()) << path.filename() << ": " << r.status.reason();
        if (!r.status.ok()) continue;
        std::printf("%-36s frames %4u coded %4u stored %4u bink %8zu dev %8zu\n", path.filename().string().c_str(), r.frames,
                    r.coded, r.stored, bytes.size(), r.dev.size());
        EXPECT_EQ(r.coded, r.frames) << path.filename();
        EXPECT_EQ(r.stored, 0u) << path.filename();
        binkBytes += bytes.size();
        devBytes += r.dev.size();
    }
    std::printf("total bink %llu dev %llu\n", (unsigned long long)binkBytes, (unsigned long long)devBytes);
}

// The sample stream shipped with the sources (a generated Bink 1 file with
// video and audio) unpacks to a Bink file that packs back to the same stream.
TEST(Packer, SampleStreamUnpacksAndPacksBackTheSame) {
    const auto dev = readBytes(std::filesystem::path(DEV_SOURCE_DIR) / "samples" / "sample.dev");
    ASSERT_FALSE(dev.empty());
    std::vector<uint8_t> out;
    ASSERT_EQ(unpack(dev, out), 0);
    BinkFile file;
    ASSERT_EQ(readBinkFile(out, file).reason(), "");
    EXPECT_GT(file.frameCount, 0u);
    EXPECT_EQ(file.tracks.size(), 1u);
    const PackResult again = packBink(out);
    ASSERT_TRUE(again.status.ok()) << again.status.reason();
    EXPECT_EQ(again.stored, 0u);
    EXPECT_TRUE(again.dev == dev);
}

}  // namespace
}  // namespace dev
