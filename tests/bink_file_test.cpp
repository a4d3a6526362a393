// The Bink file reader: splits well-formed files exactly, and refuses damaged
// ones, and ones the DEV stream cannot reproduce, with a message.
#include <gtest/gtest.h>

#include "pack/bink_file.h"
#include "test_bink.h"

namespace dev {
namespace {

using test::TestBink;
using test::TestFrame;
using test::TestTrack;

TestBink twoTrackFile() {
    TestBink layout;
    layout.tracks = {TestTrack{100, 44100, 0x7000, 1}, TestTrack{200, 22050, 0xC000, 2}};
    for (int j = 0; j < 4; ++j) {
        TestFrame f;
        f.keyframe = j == 0;
        f.audio.push_back(std::vector<uint8_t>(j * 4, uint8_t(j)));  // frame 0: no packet
        f.audio.push_back(std::vector<uint8_t>(8, uint8_t(0x80 + j)));
        f.video.assign(20 + 2 * j, uint8_t(0x40 + j));
        layout.frames.push_back(f);
    }
    return layout;
}

std::string readError(const std::vector<uint8_t>& bytes) {
    BinkFile file;
    const Status read = readBinkFile(bytes, file);
    EXPECT_FALSE(read.ok());
    EXPECT_FALSE(read.reason().empty());
    return read.reason();
}

void putLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) { storeLe32(bytes.data() + at, v); }

TEST(BinkFile, SplitsHeaderTracksIndexAndFrames) {
    const TestBink layout = twoTrackFile();
    const auto bytes = layout.bytes();
    BinkFile file;
    ASSERT_EQ(readBinkFile(bytes, file).reason(), "");
    EXPECT_FALSE(file.isBink2);
    EXPECT_EQ(file.version, 'i');
    EXPECT_EQ(file.header, std::vector<uint8_t>(bytes.begin(), bytes.begin() + BinkHeader::kBaseLength));
    EXPECT_EQ(file.frameCount, 4u);
    EXPECT_EQ(file.width, 64u);
    EXPECT_EQ(file.height, 48u);
    EXPECT_EQ(file.largestFrameSize, 4u * 2 + 12 + 8 + 26);
    ASSERT_EQ(file.tracks.size(), 2u);
    EXPECT_EQ(file.tracks[1].word, 200u);
    EXPECT_EQ(file.tracks[1].sampleRate, 22050);
    EXPECT_EQ(file.tracks[1].flags, 0xC000);
    EXPECT_EQ(file.tracks[1].id, 2u);
    ASSERT_EQ(file.frameIndex.size(), 5u);
    EXPECT_EQ(file.frameIndex[0] & 1, 1u);
    EXPECT_EQ(file.frameIndex[0] & ~1u, 44u + 24 + 20);
    EXPECT_EQ(file.frameIndex[4], bytes.size());
    for (uint32_t j = 0; j < 4; ++j) {
        ASSERT_EQ(file.audio[j].size(), 2u);
        EXPECT_TRUE(std::ranges::equal(file.audio[j][0], layout.frames[j].audio[0])) << j;
        EXPECT_TRUE(std::ranges::equal(file.audio[j][1], layout.frames[j].audio[1])) << j;
        EXPECT_TRUE(std::ranges::equal(file.video[j], layout.frames[j].video)) << j;
    }
    EXPECT_TRUE(file.audio[0][0].empty());
}

TEST(BinkFile, Bink2HeaderLengthAndEmptyFiles) {
    for (const char* sig : {"KB2h", "KB2i", "KB2j", "BIKb", "BIKi"}) {
        TestBink layout;
        layout.signature = sig;
        const auto bytes = layout.bytes();
        BinkFile file;
        ASSERT_EQ(readBinkFile(bytes, file).reason(), "") << sig;
        const bool bink2 = sig[0] == 'K';
        EXPECT_EQ(file.isBink2, bink2);
        EXPECT_EQ(file.header.size(), bink2 && sig[3] >= 'i' ? 48u : 44u) << sig;
        EXPECT_EQ(file.frameCount, 0u);
        EXPECT_EQ(file.frameIndex.size(), 1u);
        EXPECT_TRUE(file.video.empty());
    }
}

TEST(BinkFile, EveryTruncationIsAnError) {
    const auto bytes = twoTrackFile().bytes();
    for (size_t n = 0; n < bytes.size(); ++n) {
        // Its own allocation, so a sanitizer sees any read past the end.
        const std::vector<uint8_t> part(bytes.begin(), bytes.begin() + n);
        readError(part);
    }
}

TEST(BinkFile, RefusesLayoutsTheStreamCannotReproduce) {
    const auto good = twoTrackFile().bytes();
    const BinkLayout parts = binkLayout(BinkHeader::kBaseLength, 2, 4);
    const size_t index = parts.frameIndex;  // first frame index word
    const uint32_t frames = static_cast<uint32_t>(parts.frames);

    auto bytes = good;
    bytes.push_back(0);
    EXPECT_NE(readError(bytes).find("follow the last frame"), std::string::npos);

    bytes = good;
    putLe32(bytes, index, frames + 2);  // a gap before the first frame
    EXPECT_NE(readError(bytes).find("not right after the frame index"), std::string::npos);

    bytes = good;
    putLe32(bytes, index + 2 * BinkFrameIndex::kWordBytes, frames + 2);  // frame 2 starts before frame 1
    EXPECT_NE(readError(bytes).find("out of order"), std::string::npos);

    bytes = good;
    putLe32(bytes, index + 3 * BinkFrameIndex::kWordBytes, uint32_t(bytes.size() + 100));  // frame 2 ends past the file
    EXPECT_NE(readError(bytes).find("past the end of the file"), std::string::npos);

    bytes = good;
    putLe32(bytes, index + 4 * BinkFrameIndex::kWordBytes, uint32_t(bytes.size() - 2));  // the last frame ends early
    EXPECT_NE(readError(bytes).find("follow the last frame"), std::string::npos);

    bytes = good;
    putLe32(bytes, BinkHeader::kFileSize, uint32_t(bytes.size()));  // the header's length is not the file's
    EXPECT_NE(readError(bytes).find("the header gives the file's length as"), std::string::npos);
}

TEST(BinkFile, RefusesDamagedCountsAndPacketSizes) {
    const auto good = twoTrackFile().bytes();

    auto bytes = good;
    bytes[0] = 'X';
    EXPECT_NE(readError(bytes).find("not a Bink file"), std::string::npos);

    bytes = good;
    putLe32(bytes, BinkHeader::kFrameCount, 0xFFFFFFFFu);
    EXPECT_NE(readError(bytes).find("frame index"), std::string::npos);

    bytes = good;
    putLe32(bytes, BinkHeader::kTrackCount, 0x40000000u);
    EXPECT_NE(readError(bytes).find("track table"), std::string::npos);

    // The first frame's second audio packet claims more bytes than the frame has.
    bytes = good;
    putLe32(bytes, binkLayout(BinkHeader::kBaseLength, 2, 4).frames + kAudioPacketSizeBytes, 1000);
    EXPECT_NE(readError(bytes).find("frame 0: the audio packet of track 1"), std::string::npos);

    // A frame too short to hold its audio packet sizes.
    TestBink layout;
    layout.tracks = {TestTrack(), TestTrack()};
    TestFrame f;
    f.video.assign(4, 0);
    layout.frames.push_back(f);  // no audio records at all: 4 bytes for two tracks
    EXPECT_NE(readError(layout.bytes()).find("packet size of track 1"), std::string::npos);
}

}  // namespace
}  // namespace dev
