// The DEV framing and the driver, end to end over memory: a table of copy
// stages turns DEV streams of synthetic Bink 1 files (video stored, audio as
// it stands) back into the files, so every framing, pipeline and driver path
// can be checked against the exact expected bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "dev_stream_fixtures.h"
#include "core/little_endian.h"
#include "test_bink.h"
#include "driver/dev_format.h"
#include "driver/failure_text.h"
#include "driver/unpacker.h"
#include "pack/range_encoder.h"
#include "platform/platform.h"
#include "stages/stage_table.h"

namespace dev {
namespace {

using namespace fixtures;
using test::VectorSink;

struct Progress {
    std::vector<uint32_t> calls;
    int32_t answer = 0;
    static int32_t callback(void* user, uint32_t perMille) {
        auto* p = static_cast<Progress*>(user);
        p->calls.push_back(perMille);
        return p->answer;
    }
};

int32_t runOn(const std::vector<uint8_t>& dev, VectorSink& sink, const StageTable& table, RunOptions options = {}) {
    MemorySource source(dev.data(), dev.size());
    return Unpacker::run(table, sink, source, options);
}

int32_t runOn(const std::vector<uint8_t>& dev, VectorSink& sink) { return runOn(dev, sink, copyTable()); }

// Replaces the capacity block of a stream by one coding the given capacities
// (in units of 512 bytes).
std::vector<uint8_t> withCapacities(const std::vector<uint8_t>& dev, const uint32_t (&units)[kCapacityValues]) {
    const std::vector<uint8_t> block = encodeCapacityBlock(units);
    std::vector<uint8_t> out(dev.begin(), dev.begin() + 4);
    out.push_back(static_cast<uint8_t>(block.size()));
    out.insert(out.end(), block.begin(), block.end());
    out.insert(out.end(), dev.begin() + 5 + dev[4], dev.end());
    return out;
}

// ---- Framing ----

// The writer's blocks read back as written: capacities rounded up to 512 per
// slot and stream, the header length, every chunk length in cycle order
// (zero-length chunks included), and the end mark as stage 0's length in the
// cycle after the last frame.
TEST(DevFraming, WriterAndReaderAgree) {
    DevStreamParts parts;
    parts.headerChunk.assign(77, 0x55);
    parts.stageCount = 6;
    const uint32_t lengths[3][6] = {{0, 1, 512, 513, 0, 7}, {1000, 0, 0, 0, 0, 0}, {3, 3, 3, 3, 3, 3000}};
    for (auto& row : lengths) {
        parts.chunks.emplace_back();
        for (uint32_t n : row) parts.chunks.back().push_back(std::vector<uint8_t>(n, 1));
    }
    for (int n = 1; n <= kStreamCount; ++n) parts.streamBytes[n] = (n - 1) * 700u;
    const std::vector<uint8_t> dev = writeDevStream(parts);
    ASSERT_GE(dev.size(), 8u);
    EXPECT_EQ(std::memcmp(dev.data(), kDevMagic, 4), 0);

    Capacities caps;
    ASSERT_TRUE(decodeCapacities(dev.data() + 5, dev[4], caps));
    const uint32_t stageWant[6] = {1024, 512, 512, 1024, 512, 3072};
    for (int s = 0; s < kStageSlots; ++s) EXPECT_EQ(caps.stage[s], s < 6 ? stageWant[s] : 0u) << s;
    for (int n = 1; n <= kStreamCount; ++n) EXPECT_EQ(caps.stream[n], ((n - 1) * 700u + 511) / 512 * 512) << n;

    const size_t p = 5 + dev[4];
    const size_t l2 = loadLe24(dev.data() + p);
    SizeDecoder sizes;
    ASSERT_TRUE(sizes.start(dev.data() + p + 3, l2));
    EXPECT_EQ(sizes.next(kHeaderSequence), 77);
    size_t total = 77;
    for (auto& row : lengths)
        for (int s = 0; s < 6; ++s) {
            EXPECT_EQ(sizes.next(s), static_cast<int32_t>(row[s]));
            total += row[s];
        }
    EXPECT_EQ(sizes.next(0), kEndMark);
    EXPECT_EQ(dev.size(), p + 3 + l2 + total);
}

// A block of 0 bytes decodes from a code of 0 and zero bytes: every value is
// +1, so the capacities climb by 512 and each length sequence counts up.  A
// block shorter than four bytes puts its bytes in the high-order positions of
// the code, exactly as if zeros followed.
TEST(DevFraming, ShortBlocks) {
    Capacities caps;
    ASSERT_TRUE(decodeCapacities(nullptr, 0, caps));
    for (int s = 0; s < kStageSlots; ++s) EXPECT_EQ(caps.stage[s], 512u * (s + 1));
    for (int n = 1; n <= kStreamCount; ++n) EXPECT_EQ(caps.stream[n], 512u * (kStageSlots + n));

    const uint8_t blocks[][8] = {{0x01}, {0x00, 0x12}, {0x03, 0x40, 0x05}};
    for (size_t n = 1; n <= 3; ++n) {
        Capacities shortCaps, padded;
        const bool a = decodeCapacities(blocks[n - 1], n, shortCaps);
        const bool b = decodeCapacities(blocks[n - 1], 8, padded);
        ASSERT_EQ(a, b);
        if (a) {
            EXPECT_EQ(std::memcmp(&shortCaps, &padded, sizeof caps), 0);
        }
    }
    // The same for a size block: every sequence keeps its own running length.
    SizeDecoder sizes;
    ASSERT_TRUE(sizes.start(nullptr, 0));
    EXPECT_EQ(sizes.next(kHeaderSequence), 1);
    EXPECT_EQ(sizes.next(kHeaderSequence), 2);
    EXPECT_EQ(sizes.next(0), 1);
    EXPECT_EQ(sizes.next(5), 1);
    EXPECT_EQ(sizes.next(0), 2);

    // A running total that goes negative is corrupt.
    const uint8_t negative[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    Capacities bad;
    EXPECT_FALSE(decodeCapacities(negative, sizeof negative, bad));
}

// ---- Runs ----

TEST(Unpacker, NotDevAndTooShort) {
    VectorSink sink;
    EXPECT_EQ(runOn({'D', 'E', 'V', 0x02, 0}, sink), kResultNotDev);
    EXPECT_EQ(runOn({'B', 'I', 'K', 'i', 0, 0, 0, 0}, sink), kResultNotDev);
    EXPECT_EQ(runOn({'D', 'E', 'V', 0x01}, sink), kResultFailed);
    EXPECT_EQ(runOn({}, sink), kResultFailed);
    EXPECT_TRUE(sink.data.empty());
}

// Hundreds of frames with audio on two tracks (some packets empty) come out
// as the exact Bink file, in one write per frame, with progress reported in
// order and 1000 at the end.
TEST(Unpacker, CopyStagesRestoreStoredBink1Files) {
    SynthOptions o;
    o.frames = 400;
    const std::vector<uint8_t> bink = makeBink1(o);
    const std::vector<uint8_t> dev = copyStream(bink);
    VectorSink sink;
    Progress progress;
    RunOptions options;
    options.progress = Progress::callback;
    options.progressUser = &progress;
    ASSERT_EQ(runOn(dev, sink, copyTable(), options), kResultOk);
    EXPECT_EQ(sink.data, bink);
    ASSERT_FALSE(progress.calls.empty());
    EXPECT_EQ(progress.calls.front(), 0u);
    EXPECT_EQ(progress.calls.back(), 1000u);
    for (size_t i = 1; i < progress.calls.size(); ++i) EXPECT_LE(progress.calls[i - 1], progress.calls[i]);

    // No audio at all, empty audio packets, grayscale with alpha.
    for (uint32_t variant = 0; variant < 3; ++variant) {
        SynthOptions v;
        v.frames = 30;
        v.seed = 10 + variant;
        v.tracks = variant == 0 ? 0 : 3;
        v.maxAudio = variant == 1 ? 0 : 200;
        v.videoFlags = variant == 2 ? 0x120000 : 0;
        const std::vector<uint8_t> b = makeBink1(v);
        VectorSink s;
        EXPECT_EQ(runOn(copyStream(b), s), kResultOk) << variant;
        EXPECT_EQ(s.data, b) << variant;
    }
}

// With 0 frames the end mark is the first length, the frame loop does not run
// and the output is the header alone; the callback only hears 1000.  The real
// stage table works the same, since no stage decodes anything.
TEST(Unpacker, ZeroFrames) {
    SynthOptions o;
    o.frames = 0;
    const std::vector<uint8_t> bink = makeBink1(o);
    for (int real = 0; real < 2; ++real) {
        VectorSink sink;
        Progress progress;
        RunOptions options;
        options.progress = Progress::callback;
        options.progressUser = &progress;
        const std::vector<uint8_t> dev = real ? emptyStream(2) : copyStream(bink);
        ASSERT_EQ(runOn(dev, sink, real ? kStageTable : copyTable(), options), kResultOk);
        if (!real) {
            EXPECT_EQ(sink.data, bink);
        }
        EXPECT_EQ(progress.calls, std::vector<uint32_t>{1000});
    }
}

// Every proper prefix of a valid stream is a truncated stream: -1, never a
// success, whichever block or chunk the cut falls into.
TEST(Unpacker, EveryTruncationFails) {
    SynthOptions o;
    o.frames = 6;
    o.maxAudio = 40;
    o.maxVideo = 60;
    const std::vector<uint8_t> dev = copyStream(makeBink1(o));
    ASSERT_FALSE(dev.empty());
    for (size_t n = 0; n < dev.size(); ++n) {
        std::vector<uint8_t> cut(dev.begin(), dev.begin() + n);
        VectorSink sink;
        ASSERT_EQ(runOn(cut, sink), kResultFailed) << "cut at " << n << " of " << dev.size();
    }
    VectorSink sink;
    EXPECT_EQ(runOn(dev, sink), kResultOk);
}

// A chunk longer than its stage's input capacity is refused (never read past
// the buffer); so is a stage slot with no capacity that is given bytes.
TEST(Unpacker, ChunkOverCapacityFails) {
    SynthOptions o;
    o.frames = 5;
    const std::vector<uint8_t> bink = makeBink1(o);
    DevStreamParts parts = copyParts(bink);
    const std::vector<uint8_t> dev = writeDevStream(parts);
    Capacities caps;
    ASSERT_TRUE(decodeCapacities(dev.data() + 5, dev[4], caps));
    uint32_t units[kCapacityValues];
    uint32_t* unit = units;  // the stage slots, then the sub-streams
    for (uint32_t bytes : caps.stage) *unit++ = bytes / 512;
    for (uint32_t bytes : caps.stream) *unit++ = bytes / 512;
    VectorSink good;
    EXPECT_EQ(runOn(withCapacities(dev, units), good), kResultOk);  // the splice itself is sound
    EXPECT_EQ(good.data, bink);

    uint32_t smaller[kCapacityValues];
    std::memcpy(smaller, units, sizeof units);
    smaller[1] = 1;  // video chunks are up to ~900 bytes
    VectorSink sink;
    EXPECT_EQ(runOn(withCapacities(dev, smaller), sink), kResultFailed);
    std::memcpy(smaller, units, sizeof units);
    smaller[0] = 0;
    EXPECT_EQ(runOn(withCapacities(dev, smaller), sink), kResultFailed);
}

// The end mark before the last frame's cycle stops the stages while frames
// remain: -1 at once, no wait for stopped stages.  After it (cycles of chunks
// beyond the last frame) the extra chunks are decoded but unused and the
// stages still running are stopped at shutdown: success.
TEST(Unpacker, EndMarkEarlyFailsAndLateSucceeds) {
    SynthOptions o;
    o.frames = 8;
    const std::vector<uint8_t> bink = makeBink1(o);
    for (uint32_t drop : {1u, 3u, 8u}) {
        VectorSink sink;
        RunFailure failure;
        RunOptions options;
        options.failure = &failure;
        EXPECT_EQ(runOn(writeDevStream(copyParts(bink, 0, drop)), sink, copyTable(), options), kResultFailed) << drop;
        EXPECT_EQ(failure.point, FailurePoint::EarlyEnd) << drop;
        EXPECT_EQ(failure.frame, int32_t(o.frames - drop)) << drop;
    }
    for (uint32_t extra : {1u, 2u}) {
        VectorSink sink;
        EXPECT_EQ(runOn(writeDevStream(copyParts(bink, extra)), sink), kResultOk) << extra;
        EXPECT_EQ(sink.data, bink);
    }
}

// A frame larger than the frame buffer sized from the header is refused.
TEST(Unpacker, FrameOverFrameBufferFails) {
    SynthOptions o;
    o.frames = 4;
    o.maxVideo = 3000;
    o.largestFrame = 0;  // frame buffer of 512 bytes
    VectorSink sink;
    EXPECT_EQ(runOn(copyStream(makeBink1(o)), sink), kResultFailed);
}

// A failing output write does not stop the run, but the run reports -1; every
// write (header and one per frame) is still made.
TEST(Unpacker, WriteFailureIsReported) {
    SynthOptions o;
    o.frames = 12;
    const std::vector<uint8_t> dev = copyStream(makeBink1(o));
    VectorSink all;
    ASSERT_EQ(runOn(dev, all), kResultOk);
    for (int failFrom : {0, 2, all.writes - 1}) {
        VectorSink sink;
        sink.failFrom = failFrom;
        RunFailure failure;
        RunOptions options;
        options.failure = &failure;
        EXPECT_EQ(runOn(dev, sink, copyTable(), options), kResultFailed) << failFrom;
        EXPECT_EQ(sink.writes, all.writes) << failFrom;
        // The header decoder's writes come first, then one per frame.
        const int headerWrites = all.writes - int(o.frames);
        EXPECT_EQ(failure.point, FailurePoint::Output);
        EXPECT_EQ(failure.frame, failFrom < headerWrites ? -1 : failFrom - headerWrites) << failFrom;
    }
}

// A negative answer on the first progress call stops the run before frame 0
// is written: only the header reached the output.
TEST(Unpacker, ProgressCallbackStopsTheRun) {
    SynthOptions o;
    o.frames = 20;
    const std::vector<uint8_t> bink = makeBink1(o);
    VectorSink sink;
    Progress progress;
    progress.answer = -1;
    RunOptions options;
    options.progress = Progress::callback;
    options.progressUser = &progress;
    EXPECT_EQ(runOn(copyStream(bink), sink, copyTable(), options), kResultStopped);
    EXPECT_EQ(progress.calls, std::vector<uint32_t>{0});
    const size_t headerBytes = binkLayout(BinkHeader::kBaseLength, o.tracks, o.frames).frames;
    EXPECT_EQ(sink.data, std::vector<uint8_t>(bink.begin(), bink.begin() + headerBytes));
}

// A stage that fails is named once, on the console or in a message box, and
// the run ends with -1 with every thread joined (the test would hang
// otherwise).
uint32_t failOnThirdChunk(Stage* stage) {
    int count = 0;
    return runStageLoop(
        stage, [] { return true; },
        [&count](Stage* s) {
            StreamBuffer* out = s->outputs[0];
            std::memcpy(out->buffers[s->slot], s->input, s->length);
            out->filled[s->slot] = s->length;
            return ++count < 3;
        },
        [] {});
}

TEST(Unpacker, FailedStageIsReported) {
    SynthOptions o;
    o.frames = 10;
    const std::vector<uint8_t> bink = makeBink1(o);
    const std::vector<uint8_t> dev = copyStream(bink);
    StageTable table = copyTable();
    table.rows[1].routine = failOnThirdChunk;

    VectorSink sink;
    testing::internal::CaptureStdout();
    EXPECT_EQ(runOn(dev, sink, table), kResultFailed);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Thread 1 has terminated with error!\n");

    // The first failure is noted by frame and stage: the third chunk is
    // frame 2's.  The stage fails while frames 0 and 1 still wait to be
    // assembled; they are written all the same, and nothing after them.
    RunFailure failure;
    RunOptions options;
    options.failure = &failure;
    options.failureReport = FailureReport::None;
    VectorSink upToFailure;
    EXPECT_EQ(runOn(dev, upToFailure, table, options), kResultFailed);
    EXPECT_EQ(failure.point, FailurePoint::Stage);
    EXPECT_EQ(failure.frame, 2);
    EXPECT_EQ(failure.stage, 1);
    const size_t frame2 = BinkFrameIndex::offsetOf(
        loadLe32(bink.data() + binkLayout(BinkHeader::kBaseLength, o.tracks, o.frames).frameIndex + 8));
    EXPECT_EQ(upToFailure.data, std::vector<uint8_t>(bink.begin(), bink.begin() + frame2));

    // The plug-in's report: one message box, nothing on the console.
    static std::vector<std::string> boxes;
    boxes.clear();
    platform::watchMessageBoxes([](const char* caption, const char* text) {
        boxes.push_back(std::string(caption) + "|" + text);
    });
    options = RunOptions();
    options.failureReport = FailureReport::MessageBox;
    testing::internal::CaptureStdout();
    EXPECT_EQ(runOn(dev, sink, table, options), kResultFailed);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    platform::watchMessageBoxes(nullptr);
    EXPECT_EQ(boxes, std::vector<std::string>{"dev compressor v 0.2.6|Thread 1 has terminated with error!"});

    // A stage that cannot have the memory for its models is no failed stage:
    // neither the console line nor a box, the run's reason is the memory.
    table.rows[1].routine = [](Stage* stage) {
        return runStageLoop(stage, [] { return false; }, [](Stage*) { return true; }, [] {});
    };
    boxes.clear();
    platform::watchMessageBoxes([](const char* caption, const char* text) {
        boxes.push_back(std::string(caption) + "|" + text);
    });
    for (FailureReport how : {FailureReport::Console, FailureReport::MessageBox}) {
        failure = RunFailure();
        options.failure = &failure;
        options.failureReport = how;
        testing::internal::CaptureStdout();
        EXPECT_EQ(runOn(dev, sink, table, options), kResultFailed);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(failure.point, FailurePoint::Resources);
        EXPECT_EQ(describeRunFailure(failure, kResultFailed), "not enough memory");
    }
    platform::watchMessageBoxes(nullptr);
    EXPECT_TRUE(boxes.empty());
}

// The observer sees each frame before it is assembled and can skip it.
TEST(Unpacker, ObserverSeesEveryFrame) {
    struct Skipper : StreamObserver {
        std::vector<uint32_t> seen;
        bool onFrame(const BinkContext&, const StreamArray<StreamBuffer>&, uint32_t frame) override {
            seen.push_back(frame);
            return frame % 2 == 0;
        }
    } observer;
    SynthOptions o;
    o.frames = 6;
    o.tracks = 0;
    const std::vector<uint8_t> bink = makeBink1(o);
    VectorSink sink;
    RunOptions options;
    options.observer = &observer;
    EXPECT_EQ(runOn(copyStream(bink), sink, copyTable(), options), kResultOk);
    EXPECT_EQ(observer.seen, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
    BinkFile file;
    ASSERT_TRUE(readBinkFile(bink, file).ok());
    std::vector<uint8_t> want(bink.begin(), bink.begin() + (file.frameIndex[0] & ~1u));
    for (uint32_t j : {0u, 2u, 4u})
        want.insert(want.end(), bink.begin() + (file.frameIndex[j] & ~1u), bink.begin() + (file.frameIndex[j + 1] & ~1u));
    EXPECT_EQ(sink.data, want);
}

}  // namespace
}  // namespace dev
