// The stage pipeline on its own: streams and stage threads created from a
// table, chunks handed out cycle by cycle from a real DEV framing, the rings
// of buffers with stages running ahead, and shutdown from every state a run
// can leave the stages in.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

#include "core/little_endian.h"
#include "core/models.h"
#include "driver/dev_format.h"
#include "driver/pipeline_driver.h"
#include "pack/dev_writer.h"
#include "stages/stage_table.h"
#include "stages/stages.h"

namespace dev {
namespace {

std::atomic<int> gTeardowns{0};

// Copies its chunk like copyStage, but fails on a chunk that starts with 0xEE.
uint32_t pickyStage(Stage* stage) {
    return runStageLoop(
        stage, [] { return true; },
        [](Stage* s) {
            if (s->length && s->input[0] == 0xEE) return false;
            StreamBuffer* out = s->outputs[0];
            ValueWriter w = out->writerAt(s->slot);
            if (!w.room(s->length)) return false;
            std::memcpy(w.p, s->input, s->length);
            w.p += s->length;
            out->commitAt(s->slot, w);
            return true;
        },
        [] { ++gTeardowns; });
}

// A stage whose setup fails (no memory, say): it must still answer every go.
uint32_t brokenStage(Stage* stage) {
    return runStageLoop(stage, [] { return false; }, [](Stage*) { return true; }, [] { ++gTeardowns; });
}

StageTable tableOf(std::initializer_list<std::pair<int, StageRow>> rows) {
    StageTable t{};
    for (auto& [r, row] : rows) t.rows[r] = row;
    return t;
}

// A DEV stream (empty header chunk) read up to the first stage chunk.
struct Framing {
    std::vector<uint8_t> bytes;
    Capacities capacities;
    SizeDecoder sizes;
    std::vector<uint8_t> sizeBlock;
    MemorySource* source = nullptr;

    explicit Framing(const DevStreamParts& parts) : bytes(writeDevStream(parts)) {
        const size_t l1 = bytes.at(4);
        EXPECT_TRUE(decodeCapacities(bytes.data() + 5, l1, capacities));
        const size_t p = 5 + l1;
        const size_t l2 = loadLe24(bytes.data() + p);
        sizeBlock.assign(bytes.begin() + p + 3, bytes.begin() + p + 3 + l2);
        EXPECT_TRUE(sizes.start(sizeBlock.data(), sizeBlock.size()));
        EXPECT_EQ(sizes.next(kHeaderSequence), 0);
        stageData = bytes.data() + p + 3 + l2;
        stageSize = bytes.size() - (p + 3 + l2);
        source = new MemorySource(stageData, stageSize);
    }
    ~Framing() { delete source; }
    const uint8_t* stageData = nullptr;
    size_t stageSize = 0;
};

std::vector<uint8_t> randomChunk(std::mt19937& rng, size_t maxLength) {
    std::vector<uint8_t> c(rng() % (maxLength + 1));
    for (auto& b : c) b = static_cast<uint8_t>(rng() % 0xE0);  // never the failure byte
    return c;
}

void expectAllJoined(const Pipeline& p) {
    for (const Stage& st : p.stages) {
        EXPECT_EQ(st.thread, nullptr);
        for (const uint8_t* in : st.inputs) EXPECT_EQ(in, nullptr);
    }
    EXPECT_EQ(p.stageCount, 0);
}

constexpr uint32_t kAhead = kPipelineDepth - 1;

// Hands out cycles as the driver does: the first kAhead at once, then one
// more before each frame is awaited, up to the cycle after the last frame.
struct Feeder {
    Pipeline& p;
    Framing& fm;
    ByteSource& source;
    uint32_t frames;
    uint32_t next = 0;
    int failed = -1;

    CycleResult prime() {
        for (; next < kAhead && next <= frames; ++next)
            if (const CycleResult r = releaseCycle(p, fm.sizes, source, failed); r != CycleResult::Ok) return r;
        return CycleResult::Ok;
    }
    // Releases what frame f allows, then awaits frame f.
    CycleResult frame(uint32_t f) {
        if (f + kAhead <= frames) {
            ++next;
            if (const CycleResult r = releaseCycle(p, fm.sizes, source, failed); r != CycleResult::Ok) return r;
        }
        return awaitFrame(p, failed);
    }
};

// Frames travel through three stages (one of them with no input capacity and
// only empty chunks); each awaited frame's front buffers hold exactly that
// frame's chunks although the stages run ahead, and the end mark in cycle F
// stops every stage.
TEST(Pipeline, CarriesEveryChunkToItsFrame) {
    const StageTable table = tableOf({{0, {{1}, copyStage}}, {4, {{11}, pickyStage}}, {9, {{21}, copyStage}}});
    std::mt19937 rng(7);
    DevStreamParts parts;
    parts.stageCount = 3;
    const uint32_t frames = 300;
    for (uint32_t f = 0; f < frames; ++f) parts.chunks.push_back({randomChunk(rng, 700), randomChunk(rng, 40), {}});
    for (auto& fr : parts.chunks)
        for (int s : {0, 1}) {
            const int stream = s == 0 ? 1 : 11;
            parts.streamBytes[stream] = std::max<uint32_t>(parts.streamBytes[stream], fr[s].size());
        }
    Framing fm(parts);
    EXPECT_EQ(fm.capacities.stage[2], 0u);
    EXPECT_EQ(fm.capacities.stream[21], 0u);

    gTeardowns = 0;
    BinkContext ctx;
    Pipeline p;
    ASSERT_TRUE(createPipeline(p, ctx, table, fm.capacities));
    ASSERT_EQ(p.stageCount, 3);
    EXPECT_EQ(p.stages[1].outputs[0], &p.streams[11]);  // slot 1 from row 4
    EXPECT_EQ(p.stages[2].inputs[0], nullptr);
    Feeder feed{p, fm, *fm.source, frames};
    ASSERT_EQ(feed.prime(), CycleResult::Ok);
    for (uint32_t f = 0; f < frames; ++f) {
        ASSERT_EQ(feed.frame(f), CycleResult::Ok);
        EXPECT_EQ(p.endSeen, f + kAhead >= frames);
        for (int s : {0, 1}) {
            const StreamBuffer& b = p.streams[s == 0 ? 1 : 11];
            const auto& want = parts.chunks[f][s];
            ValueReader r = b.frontReader();
            ASSERT_EQ(r.remaining(), want.size()) << "frame " << f << " stage " << s;
            EXPECT_TRUE(want.empty() || std::memcmp(r.p, want.data(), want.size()) == 0);
        }
        EXPECT_EQ(p.streams[21].frontReader().remaining(), 0u);
    }
    EXPECT_EQ(fm.source->position(), fm.stageSize);
    EXPECT_EQ(awaitFrame(p, feed.failed), CycleResult::NotCarried);  // the end mark's cycle
    shutdownPipeline(p);
    expectAllJoined(p);
    EXPECT_EQ(gTeardowns, 1);
    shutdownPipeline(p);  // harmless a second time
}

// A stage that fails is reported with the frame of the chunk it failed on,
// not before, although it fails while earlier frames are awaited; the
// pipeline still shuts down with every thread joined.  The same for a stage
// that could not even set up, reported as such with the first frame.
TEST(Pipeline, FailedStagesAreReportedWithTheirFrame) {
    for (int broken : {0, 1}) {
        const StageTable table = tableOf({{0, {{1}, copyStage}}, {3, {{2}, broken ? brokenStage : pickyStage}}});
        DevStreamParts parts;
        parts.stageCount = 2;
        for (int f = 0; f < 10; ++f) parts.chunks.push_back({{1, 2, 3}, {uint8_t(f == 4 ? 0xEE : 5)}});
        parts.streamBytes[1] = parts.streamBytes[2] = 3;
        Framing fm(parts);
        gTeardowns = 0;
        BinkContext ctx;
        Pipeline p;
        ASSERT_TRUE(createPipeline(p, ctx, table, fm.capacities));
        Feeder feed{p, fm, *fm.source, 10};
        ASSERT_EQ(feed.prime(), CycleResult::Ok);
        CycleResult r = CycleResult::Ok;
        uint32_t f = 0;
        for (; f < 10; ++f)
            if ((r = feed.frame(f)) != CycleResult::Ok) break;
        EXPECT_EQ(r, broken ? CycleResult::NoMemory : CycleResult::StageFailed);
        EXPECT_EQ(feed.failed, 1);
        EXPECT_EQ(f, broken ? 0u : 4u);
        shutdownPipeline(p);
        expectAllJoined(p);
        EXPECT_EQ(gTeardowns, 1);
    }
}

// Chunk lengths over the stage's input capacity are refused before anything
// is read; a short input inside a chunk is reported.  Either way some stages
// have their new chunk and some are still busy, and shutdown copes with both.
TEST(Pipeline, BadLengthsAndShortReadsLeaveAShutdownablePipeline) {
    const StageTable table = tableOf({{0, {{1}, copyStage}}, {1, {{2}, copyStage}}, {2, {{3}, copyStage}}});
    DevStreamParts parts;
    parts.stageCount = 3;
    for (int f = 0; f < 4; ++f) parts.chunks.push_back({std::vector<uint8_t>(100, 1), std::vector<uint8_t>(f == 2 ? 900 : 100, 2), {3}});
    for (int n = 1; n <= 3; ++n) parts.streamBytes[n] = 1000;

    {  // capacity of slot 1 smaller than its chunk of frame 2
        Framing fm(parts);
        Capacities caps = fm.capacities;
        caps.stage[1] = 512;
        BinkContext ctx;
        Pipeline p;
        ASSERT_TRUE(createPipeline(p, ctx, table, caps));
        int failed = -1;
        EXPECT_EQ(releaseCycle(p, fm.sizes, *fm.source, failed), CycleResult::Ok);
        EXPECT_EQ(releaseCycle(p, fm.sizes, *fm.source, failed), CycleResult::Ok);
        EXPECT_EQ(releaseCycle(p, fm.sizes, *fm.source, failed), CycleResult::BadLength);
        EXPECT_EQ(failed, 1);
        shutdownPipeline(p);
        expectAllJoined(p);
    }
    {  // the input ends inside the chunk of slot 1 in frame 2
        Framing fm(parts);
        MemorySource cut(fm.stageData, 2 * 201 + 100 + 50);
        BinkContext ctx;
        Pipeline p;
        ASSERT_TRUE(createPipeline(p, ctx, table, fm.capacities));
        int failed = -1;
        EXPECT_EQ(releaseCycle(p, fm.sizes, cut, failed), CycleResult::Ok);
        EXPECT_EQ(releaseCycle(p, fm.sizes, cut, failed), CycleResult::Ok);
        EXPECT_EQ(releaseCycle(p, fm.sizes, cut, failed), CycleResult::ShortRead);
        shutdownPipeline(p);
        expectAllJoined(p);
    }
    {  // shutdown right after creation, and after the stop order
        Framing fm(parts);
        BinkContext ctx;
        Pipeline p;
        ASSERT_TRUE(createPipeline(p, ctx, table, fm.capacities));
        shutdownPipeline(p);
        expectAllJoined(p);
        Pipeline q;
        ASSERT_TRUE(createPipeline(q, ctx, table, fm.capacities));
        Feeder feed{q, fm, *fm.source, 4};
        ASSERT_EQ(feed.prime(), CycleResult::Ok);
        for (uint32_t f = 0; f < 4; ++f) EXPECT_EQ(feed.frame(f), CycleResult::Ok);
        EXPECT_TRUE(q.endSeen);
        shutdownPipeline(q);
        expectAllJoined(q);
    }
}

// The generation picks the rows: a Bink 2 context uses rows 21.. and fills
// slots from 0.  An end mark as the first length stops every stage at once,
// and no frame can be awaited.
TEST(Pipeline, Bink2RowsAndImmediateEndMark) {
    StageTable table{};
    table.rows[kStageSlots + 0] = {{1}, copyStage};
    table.rows[kStageSlots + 1] = {{2, 3, 4}, copyStage};
    table.rows[5] = {{7}, pickyStage};  // Bink 1 only: must not be created
    DevStreamParts parts;
    parts.stageCount = 2;
    Framing fm(parts);
    BinkContext ctx;
    ctx.isBink2 = 1;
    Pipeline p;
    ASSERT_TRUE(createPipeline(p, ctx, table, fm.capacities));
    EXPECT_EQ(p.stageCount, 2);
    EXPECT_EQ(p.stages[1].outputs[2], &p.streams[4]);
    EXPECT_EQ(p.stages[1].outputs[3], nullptr);
    int failed = -1;
    EXPECT_EQ(releaseCycle(p, fm.sizes, *fm.source, failed), CycleResult::Ok);
    EXPECT_TRUE(p.endSeen);
    EXPECT_TRUE(p.stages[0].stop && p.stages[1].stop);
    EXPECT_EQ(awaitFrame(p, failed), CycleResult::NotCarried);
    shutdownPipeline(p);
    expectAllJoined(p);

    // A stream with two writers is a table error: each stage fills its
    // streams' ring at its own pace.
    StageTable shared{};
    shared.rows[0] = {{1}, copyStage};
    shared.rows[1] = {{2, 1}, copyStage};
    Pipeline q;
    EXPECT_FALSE(createPipeline(q, BinkContext(), shared, fm.capacities));
    shutdownPipeline(q);
    expectAllJoined(q);
}

}  // namespace
}  // namespace dev

// Dense spans change where pages come from, never what they hold: blocks with
// and without them (spans unaligned, empty, or reaching past the end) read
// as zeros, keep what is written anywhere in them, and are freed whole.
TEST(PageMemory, DenseSpansHoldWhatPlainPagesHold) {
    using dev::platform::PageSpan;
    const size_t large = dev::platform::kLargePage, size = 3 * large + 12345;
    const PageSpan spans[] = {{100, 2 * large}, {large, 0}, {2 * large + 7, 5 * large}};
    std::vector<uint8_t*> blocks;
    blocks.push_back(static_cast<uint8_t*>(dev::platform::pageAlloc(size)));
    blocks.push_back(static_cast<uint8_t*>(dev::platform::pageAlloc(size, spans, std::size(spans))));
    for (uint8_t* b : blocks) {
        ASSERT_NE(b, nullptr);
        if (b == blocks[1] && dev::platform::largePagesOffered()) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % large, 0u);
        }
        std::mt19937 rng(3);
        std::vector<size_t> at;
        for (size_t off = 0; off < size; off += 4093) at.push_back(off);
        at.push_back(size - 1);
        for (size_t off : at) ASSERT_EQ(b[off], 0) << off;
        for (size_t off : at) b[off] = static_cast<uint8_t>(rng() | 1);
        rng.seed(3);
        for (size_t off : at) ASSERT_EQ(b[off], static_cast<uint8_t>(rng() | 1)) << off;
        dev::platform::pageFree(b, size);
    }
}

// A model set's dense pages filled in by a thread of their own hold what the
// owner writes meanwhile, and zeros elsewhere; populating a written block
// changes nothing either.
TEST(PageMemory, FillingInTheBackgroundKeepsWhatIsWritten) {
    using dev::BitModel;
    const size_t perLarge = dev::platform::kLargePage / sizeof(BitModel), count = 3 * perLarge + 999;
    const dev::platform::PageSpan spans[] = {dev::denseModels(0, 1), dev::denseModels(2 * perLarge, 2 * perLarge + 1)};
    dev::ModelSet set;
    ASSERT_TRUE(set.allocate(count, spans, std::size(spans)));
    set.fillDenseInBackground();
    set.fillDenseInBackground();  // one filler at a time
    for (size_t i = 0; i < count; i += 97) set[i] = static_cast<BitModel>(i | 1);
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(set[i], i % 97 ? 0 : static_cast<BitModel>(i | 1)) << i;
    dev::platform::pagePopulate(set.data(), count * sizeof(BitModel));
    for (size_t i = 0; i < count; i += 97) ASSERT_EQ(set[i], static_cast<BitModel>(i | 1)) << i;
    set.release();  // waits for the filler
    EXPECT_FALSE(set);
    set.fillDenseInBackground();  // nothing to fill
}
