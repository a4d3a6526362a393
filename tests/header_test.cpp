// The header chunk: packer and header decoder agree on every element, the
// context fields follow from the header, rejected flags end with -4, and
// corrupt chunks are refused without reading past them.
#include <gtest/gtest.h>

#include <random>

#include "driver/header_decoder.h"
#include "driver/header_grammar.h"
#include "pack/bink_file.h"
#include "pack/encode_coder.h"
#include "pack/header_encoder.h"
#include "test_bink.h"

namespace dev {
namespace {

using test::TestBink;
using test::TestFrame;
using test::TestTrack;
using test::VectorSink;

struct Decoded {
    int32_t result = 0;
    VectorSink sink;
    BinkContext context;
    ~Decoded() { releaseHeaderBuffers(context); }
};

void decode(const std::vector<uint8_t>& chunk, Decoded& d) {
    d.result = decodeHeader(d.context, chunk.data(), chunk.size(), d.sink);
}

// Packs the header of a made-up file, decodes it, and checks that the
// decoder wrote exactly the bytes before the first frame.
void roundTrip(const TestBink& layout, Decoded& d) {
    const auto bytes = layout.bytes();
    BinkFile file;
    ASSERT_EQ(readBinkFile(bytes, file).reason(), "");
    const auto chunk = encodeHeaderChunk(file);
    decode(chunk, d);
    const auto expected = headerBytes(file);
    ASSERT_EQ(d.result, static_cast<int32_t>(expected.size()));
    ASSERT_EQ(d.sink.data, expected);
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin()));
}

TestFrame frame(size_t videoBytes, bool keyframe, size_t tracks = 0) {
    TestFrame f;
    f.video.assign(videoBytes, 0x5A);
    f.keyframe = keyframe;
    f.audio.assign(tracks, std::vector<uint8_t>(8, 1));
    return f;
}

TEST(HeaderChunk, Bink1RoundTripsWithTracksAndKeyframes) {
    for (size_t tracks = 0; tracks <= 3; ++tracks) {
        TestBink layout;
        for (size_t t = 0; t < tracks; ++t) {
            // Track 1 is raw (no 0x1000 flag), the others DCT; rates span both bytes.
            TestTrack track;
            track.word = 0x11000 * uint32_t(t + 1);
            track.sampleRate = static_cast<uint16_t>(t == 1 ? 22050 : 48000 - 300 * t);
            track.flags = static_cast<uint16_t>(t == 1 ? 0xC000 : 0x7000);
            track.id = uint32_t(t * 7);
            layout.tracks.push_back(track);
        }
        // Frame sizes vary wildly so the index deltas need every exponent.
        const size_t sizes[] = {4, 3000, 18, 70000, 8, 4};
        for (size_t j = 0; j < 6; ++j) layout.frames.push_back(frame(sizes[j], j % 3 == 0, tracks));
        layout.lastWordFlag = tracks % 2 == 1;
        Decoded d;
        roundTrip(layout, d);
        const BinkContext& c = d.context;
        EXPECT_EQ(c.isBink2, 0);
        EXPECT_EQ(c.version, 'i');
        EXPECT_EQ(c.headerLength, 44u);
        EXPECT_EQ(c.frameCount, 6u);
        EXPECT_EQ(c.audioTrackCount, tracks);
        EXPECT_EQ(c.width, 64u);
        EXPECT_EQ(c.height, 48u);
        EXPECT_EQ(c.planeCount, 3u);
        EXPECT_EQ(c.noDctTrack, tracks >= 2 ? 1 : 0);
        EXPECT_EQ(c.frameBufferSize, size_t((70000 + 12 * tracks + 512) & ~511u));
        for (size_t t = 0; t < tracks; ++t) {
            EXPECT_EQ(c.tracks[t].sampleRate, layout.tracks[t].sampleRate);
            EXPECT_EQ(c.tracks[t].stereo, (layout.tracks[t].flags & 0x2000) ? 1 : 0);
        }
        for (uint32_t j = 0; j < 6; ++j) EXPECT_EQ(c.keyframes[j], j % 3 == 0 ? 1u : 0u) << j;
        EXPECT_EQ(c.keyframes[6], layout.lastWordFlag ? 1u : 0u);
        // Header, extra word (none), track table, frame index: one write each
        // (the table is skipped when empty).
        EXPECT_EQ(d.sink.writes, tracks ? 3 : 2);
    }
}

// Values that end in long runs of zeros code into a chunk whose closing
// zero bytes are dropped, shorter than the decoder's budget wants: the
// packer pads it (found by fuzzing: 3032 tracks and an index of zeros).
TEST(HeaderChunk, ClosingZeroRunsStillFitTheDecodersBudget) {
    const auto bytes = TestBink().bytes();
    BinkFile file;
    file.header.assign(bytes.begin(), bytes.begin() + BinkHeader::kBaseLength);
    storeLe32(file.header.data() + BinkHeader::kTrackCount, 3000);
    storeLe32(file.header.data() + BinkHeader::kFrameCount, 5);
    file.tracks.assign(3000, BinkTrack{0, 0, 0, 0});
    file.frameIndex.assign(6, 0);
    Decoded d;
    decode(encodeHeaderChunk(file), d);
    EXPECT_EQ(d.result, static_cast<int32_t>(headerBytes(file).size()));
    EXPECT_EQ(d.sink.data, headerBytes(file));
}

TEST(HeaderChunk, Bink1AlphaAndGrayscalePlanes) {
    const struct {
        uint32_t flags;
        uint32_t planes;
        uint8_t alpha, gray;
    } cases[] = {{0x100000, 4, 1, 0}, {0x20000, 1, 0, 1}, {0x120000, 2, 1, 1}, {0x70000000, 3, 0, 0}};
    for (const auto& k : cases) {
        TestBink layout;
        layout.flags = k.flags;
        layout.frames.push_back(frame(40, true));
        Decoded d;
        roundTrip(layout, d);
        EXPECT_EQ(d.context.planeCount, k.planes) << std::hex << k.flags;
        EXPECT_EQ(d.context.hasAlpha, k.alpha);
        EXPECT_EQ(d.context.grayscale, k.gray);
    }
}

TEST(HeaderChunk, Bink2HeaderLengthFollowsTheVersion) {
    for (char v : {'h', 'i', 'j'}) {
        TestBink layout;
        layout.signature = std::string("KB2") + v;
        layout.flags = 0x100010;
        layout.tracks.push_back(TestTrack());
        layout.frames.push_back(frame(100, true, 1));
        Decoded d;
        roundTrip(layout, d);
        const uint32_t expectedLength = v == 'h' ? 44 : 48;
        EXPECT_EQ(d.context.headerLength, expectedLength);
        EXPECT_EQ(d.context.isBink2, 1);
        EXPECT_EQ(d.context.version, uint8_t(v));
        EXPECT_EQ(d.context.hasAlpha, 1);
        EXPECT_EQ(d.context.planeCount, 4u);
        // The extra word is reproduced and written on its own.
        EXPECT_EQ(d.sink.writes, v == 'h' ? 3 : 4);
        EXPECT_EQ(d.result, int32_t(expectedLength + 12 + 8));
    }
}

// Decodes only the header of a made-up Bink 2 file.
void bink2Geometry(uint32_t width, uint32_t height, uint32_t flags, Decoded& d) {
    TestBink layout;
    layout.signature = "KB2j";
    layout.width = width;
    layout.height = height;
    layout.flags = flags;
    roundTrip(layout, d);
}

TEST(HeaderChunk, Bink2SliceGeometry) {
    {
        Decoded d;
        bink2Geometry(64, 96, 3, d);
        EXPECT_EQ(d.context.sliceCount, 1u);
        EXPECT_EQ(d.context.sliceEnds[0], 96u);
    }
    {
        Decoded d;
        bink2Geometry(64, 100, 0, d);
        ASSERT_EQ(d.context.sliceCount, 2u);
        EXPECT_EQ(d.context.sliceEnds[0], 64u);
        EXPECT_EQ(d.context.sliceEnds[1], 128u);
    }
    {
        Decoded d;
        bink2Geometry(1920, 1088, 3, d);
        const uint32_t expected[] = {160, 320, 448, 576, 704, 832, 960, 1088};
        ASSERT_EQ(d.context.sliceCount, 8u);
        for (int k = 0; k < 8; ++k) EXPECT_EQ(d.context.sliceEnds[k], expected[k]) << k;
        EXPECT_EQ(d.context.columnFlagCount, 1920u / 8 - 1);
        EXPECT_EQ(d.context.rowFlagCount, 1088u / 8 - 1);
        EXPECT_EQ(d.context.rowBufferEntries, 1920u / 16 + 2);
    }
    {
        // Odd sizes round up: columns to 32, rows to 16.
        Decoded d;
        bink2Geometry(100, 50, 0, d);
        EXPECT_EQ(d.context.columnFlagCount, 128u / 8 - 1);
        EXPECT_EQ(d.context.rowFlagCount, 64u / 8 - 1);
        EXPECT_EQ(d.context.rowBufferEntries, 128u / 16 + 2);
    }
    // Every slice count, over a range of heights: ends rise in steps of 32
    // rows, the last one is the padded height, and none passes it.
    for (uint32_t sel = 0; sel < 4; ++sel) {
        for (uint32_t height = 1; height <= 1200; height += 37) {
            Decoded d;
            bink2Geometry(320, height, sel, d);
            const uint32_t h = (height + 31) & ~31u;
            const uint32_t n = d.context.sliceCount;
            static constexpr uint32_t kCounts[4] = {2, 3, 4, 8};
            ASSERT_EQ(n, h < 128 ? 1u : kCounts[sel]);
            uint32_t previous = 0;
            for (uint32_t k = 0; k < n; ++k) {
                EXPECT_EQ(d.context.sliceEnds[k] % 32, 0u);
                EXPECT_GE(d.context.sliceEnds[k], previous);
                EXPECT_LE(d.context.sliceEnds[k], h);
                previous = d.context.sliceEnds[k];
            }
            EXPECT_EQ(d.context.sliceEnds[n - 1], h);
        }
    }
}

// The rejection comes after the header has been written, before the track
// table.  Bink 2 flag 0x40000 is the extension's: accepted, and on a Bink 1
// file still rejected.
TEST(HeaderChunk, RejectedFlagsEndWithMinus4AfterTheHeader) {
    const struct {
        const char* signature;
        uint32_t flags;
        bool accepted;
    } cases[] = {
        {"BIKi", 0x70120000, true},  {"BIKi", 0x40000, false},    {"BIKi", 0x10, false},
        {"BIKi", 0x80000000, false}, {"KB2j", 0x70100013, true},  {"KB2j", 0x140010, true},
        {"KB2j", 0x140012, true},    {"KB2h", 0x20000, false},    {"KB2j", 0x4, false},
        {"KB2j", 0x1C0010, false},
    };
    for (const auto& k : cases) {
        TestBink layout;
        layout.signature = k.signature;
        layout.flags = k.flags;
        layout.tracks.push_back(TestTrack());
        layout.frames.push_back(frame(20, true, 1));
        const auto bytes = layout.bytes();
        BinkFile file;
        ASSERT_EQ(readBinkFile(bytes, file).reason(), "");
        Decoded d;
        decode(encodeHeaderChunk(file), d);
        EXPECT_EQ(videoFlagsSupported(file.isBink2, k.flags), k.accepted);
        if (k.accepted) {
            EXPECT_GT(d.result, 0) << k.signature << std::hex << k.flags;
            continue;
        }
        EXPECT_EQ(d.result, -4) << k.signature << std::hex << k.flags;
        EXPECT_EQ(d.sink.data, file.header);
    }
}

TEST(HeaderChunk, ShortAndDamagedChunksNeverReadPastTheirEnd) {
    TestBink layout;
    layout.signature = "KB2j";
    layout.flags = 0x100010;
    for (int t = 0; t < 2; ++t) layout.tracks.push_back(TestTrack());
    for (int j = 0; j < 40; ++j) layout.frames.push_back(frame(10 + 6 * j, j % 5 == 0, 2));
    const auto bytes = layout.bytes();
    BinkFile file;
    ASSERT_EQ(readBinkFile(bytes, file).reason(), "");
    const auto chunk = encodeHeaderChunk(file);

    for (size_t n = 0; n < 4; ++n) {
        Decoded d;
        EXPECT_EQ(decodeHeader(d.context, chunk.data(), n, d.sink), -1);
        EXPECT_TRUE(d.sink.data.empty());
    }
    // Every prefix, copied to its own allocation so a sanitizer sees any
    // read past it: a result, never a crash or a hang.
    for (size_t n = 4; n < chunk.size(); ++n) {
        std::vector<uint8_t> part(chunk.begin(), chunk.begin() + n);
        Decoded d;
        decode(part, d);
        if (d.result >= 0) {
            EXPECT_EQ(size_t(d.result), d.sink.data.size());
        }
    }
    // Random chunks of every small size.
    std::mt19937 rng(7);
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> junk(4 + i % 64);
        for (auto& b : junk) b = static_cast<uint8_t>(rng());
        Decoded d;
        decode(junk, d);
        if (d.result >= 0) {
            EXPECT_EQ(size_t(d.result), d.sink.data.size());
        }
    }
}

// A walk that codes the header and stops: a chunk whose header claims far
// more frames and tracks than the chunk's bytes could ever code.
struct HeaderOnlyIo {
    ValueReader reader;
    ValueReader& stream() { return reader; }
    bool spend(uint64_t) { return true; }
    int32_t header(const uint8_t*, uint32_t) { return -100; }
    int32_t track(uint32_t, uint32_t, uint32_t) { return 0; }
    int32_t tracksDone() { return 0; }
    int32_t indexWord(uint32_t, uint32_t) { return 0; }
    int32_t indexDone() { return 0; }
};

TEST(HeaderChunk, CountsTheChunkCannotHoldAreRefused) {
    for (const auto& counts : {std::pair<uint32_t, uint32_t>{0xFFFFFFF0u, 0}, {1000000, 0}, {0, 0x10000000u}}) {
        TestBink layout;
        auto bytes = layout.bytes();
        storeLe32(bytes.data() + BinkHeader::kFrameCount, counts.first);
        storeLe32(bytes.data() + BinkHeader::kTrackCount, counts.second);
        std::vector<uint8_t> chunk;
        BitModel models[HeaderModels::kCount];
        resetModels(models, HeaderModels::kCount);
        EncodeCoder coder(chunk);
        HeaderOnlyIo io{ValueReader(bytes.data(), BinkHeader::kBaseLength)};
        EXPECT_EQ(codeHeaderChunk(coder, models, io), -100);
        coder.finish();
        Decoded d;
        decode(chunk, d);
        EXPECT_EQ(d.result, -1);
        EXPECT_EQ(d.sink.data.size(), BinkHeader::kBaseLength);  // the header went out; nothing was sized from the counts
        EXPECT_EQ(d.context.keyframes, nullptr);
    }
}

}  // namespace
}  // namespace dev
