// Bink 2 video stage and its encoder: random frames of every slice layout
// round-tripped through the stage thread, model indices pinned where a round
// trip cannot see them, models carrying across frames, and damaged chunks
// that must end with failure and nothing touched outside the buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/stage_protocol.h"
#include "driver/header_decoder.h"
#include "testkit/bink2_value_maker.h"
#include "pack/encode_coder.h"
#include "pack/stage_encoder.h"
#include "stages/bink2_video_grammar.h"
#include "stages/bink2_video_stage.h"
#include "stages/stages.h"
#include "tests/stage_fixtures.h"
#include "writers/bink_container.h"

namespace dev {
namespace {

using namespace b2video;
using namespace stage_fixtures;

// A Bink 2 file's header fields as the header decoder derives them, with the
// keyframe flags of its frames.
struct TestFile {
    BinkContext context{};
    std::vector<uint32_t> keyframes;

    TestFile(uint32_t width, uint32_t height, uint32_t flags, std::vector<uint32_t> keys) : keyframes(std::move(keys)) {
        BinkHeaderFields fields;
        std::memcpy(fields.signature, "KB2j", 4);
        fields.frameCount = static_cast<uint32_t>(keyframes.size());
        fields.width = width;
        fields.height = height;
        fields.videoFlags = flags;
        uint8_t header[BinkHeader::kLongLength];
        setHeaderFields(context, header, writeBinkHeader(fields, header));
        keyframes.push_back(0);  // the closing index word
        context.keyframes = keyframes.data();
    }
};

// The sub-streams a decoder writes for one chunk.
struct Outputs {
    StreamArray<std::vector<uint8_t>> streams;
    explicit Outputs(size_t capacity) {
        for (int n : bink2::kVideoStreams) streams[n].assign(capacity, 0);
    }
    StreamArray<ValueWriter> writers() {
        StreamArray<ValueWriter> w;
        for (int n : bink2::kVideoStreams) w[n] = ValueWriter(streams[n].data(), streams[n].size());
        return w;
    }
    bool decode(Bink2VideoDecoder& d, const std::vector<uint8_t>& chunk) {
        StreamArray<ValueWriter> w = writers();
        const bool ok = d.decodeChunk(chunk.data(), chunk.size(), w);
        for (int n : bink2::kVideoStreams) streams[n].resize(w[n].size());
        return ok;
    }
    bool same(const PackFrame& f) const {
        for (int n : bink2::kVideoStreams)
            if (streams[n] != f.streams[n]) return false;
        return true;
    }
};

// ---- The stage routine on its own thread, through the pipeline protocol. ----
// The stage's outputs, in order.
std::vector<int> videoStreams() {
    return std::vector<int>(Bink2VideoDecoder::kStreams.begin(), Bink2VideoDecoder::kStreams.end());
}

struct Layout {
    uint32_t width, height, flags;  // flags: slice selector (& 3) and alpha (0x100000)
    uint32_t slices;
};

constexpr uint32_t kAlpha = BinkVideoFlag::kAlpha;

TEST(Bink2VideoStage, RandomFramesOfEverySliceLayoutRoundTripThroughTheThread) {
    const Layout layouts[] = {
        {32, 32, kAlpha, 1},   {100, 96, 0, 1},      {72, 1088, kAlpha, 2},
        {40, 1088, 1, 3},      {64, 1088, 2 | kAlpha, 4}, {33, 1088, 3, 8},
    };
    uint32_t seed = 1;
    for (const Layout& l : layouts) {
        SCOPED_TRACE(testing::Message() << l.width << "x" << l.height << " flags " << l.flags);
        TestFile file(l.width, l.height, l.flags, {1, 0, 0, 1, 0});
        ASSERT_EQ(file.context.sliceCount, l.slices);
        Bink2ValueMaker maker(file.context, seed++);
        auto encoder = makeBink2VideoEncoder(file.context);
        StageHarness h(VideoStage, file.context, videoStreams(), 1 << 21);
        for (uint32_t j = 0; j < 5; ++j) {
            const PackFrame f = maker.make(j, (j + l.slices) % 4, (j + l.width) % 3 == 0);
            h.cycle(acceptAndEncode(*encoder, f));
            ASSERT_EQ(h.stage.failed, 0) << "frame " << j;
            for (int n : bink2::kVideoStreams)
                ASSERT_EQ(h.written(n), f.streams[n]) << "frame " << j << ", sub-stream " << n;
        }
        // Damage ends the chunk with failure, and the stage keeps answering.
        h.cycle(std::vector<uint8_t>(64, 0));
        EXPECT_EQ(h.stage.failed, 1);
        h.cycle(std::vector<uint8_t>(64, 0));
    }
}

TEST(Bink2VideoStage, ModelsAndPreviousFrameValuesCarryAcrossFrames) {
    TestFile file(64, 64, kAlpha, {0, 0});
    Bink2ValueMaker maker(file.context, 5);
    auto encoder = makeBink2VideoEncoder(file.context);
    const PackFrame frames[2] = {maker.make(0, 3, false), maker.make(1, 3, false)};
    const std::vector<uint8_t> chunks[2] = {acceptAndEncode(*encoder, frames[0]), acceptAndEncode(*encoder, frames[1])};
    Bink2VideoDecoder running, fresh;
    ASSERT_TRUE(running.setup(file.context));
    ASSERT_TRUE(fresh.setup(file.context));
    Outputs first(1 << 20), second(1 << 20), alone(1 << 20);
    ASSERT_TRUE(first.decode(running, chunks[0]) && first.same(frames[0]));
    ASSERT_TRUE(second.decode(running, chunks[1]) && second.same(frames[1]));
    fresh.state.frame = 1;
    EXPECT_FALSE(alone.decode(fresh, chunks[1]) && alone.same(frames[1]));
}

// ---- Model indices, pinned where a round trip cannot see a formula. ----

TEST(Bink2VideoModels, DecisionsUseTheTableLayout) {
    // An inter frame of two macroblocks: a residue one (one vector -5, 0;
    // quantiser 20; luma block 0 with one coefficient -3 and DC 3; chroma by
    // prediction in U, explicit in V), then an intra one.
    TestFile file(64, 32, 0, {0});
    PackFrame f;
    put32(f.streams[bink2::kFrameHeader], 0);
    f.streams[bink2::kMacroblockTypes] = {3, 0};
    f.streams[bink2::kMotionVectors] = {1};
    put16(f.streams[bink2::kMotionVectors], -5);
    put16(f.streams[bink2::kMotionVectors], 0);
    f.streams[bink2::kResidueQuantisers] = {20, 1};
    auto& data = f.streams[bink2::kResidueBlockData];
    auto& lists = f.streams[bink2::kResidueCoefficients];
    put8(data, 1);  // luma extra bit
    put16(data, 3);
    for (int b = 1; b < 16; ++b) put16(data, 0);
    put8(lists, 1);
    put16(lists, -3);
    for (int b = 1; b < 16; ++b) put8(lists, 0);
    put8(data, 1);  // U predicted
    for (int b = 0; b < 4; ++b) put16(data, 0), put8(lists, 0);
    put8(data, 0);  // V explicit, extra bit 1
    put8(data, 1);
    for (int b = 0; b < 4; ++b) put16(data, 0), put8(lists, 0);
    f.streams[bink2::kIntraQuantisers] = {16};
    auto& intra = f.streams[bink2::kIntraBlockData];
    put8(intra, 0);
    for (int b = 0; b < 16; ++b) put16(intra, 0), put8(f.streams[bink2::kIntraCoefficients], 0);
    for (int plane = 0; plane < 2; ++plane) {
        put8(intra, 1);
        for (int b = 0; b < 4; ++b) put16(intra, 0), put8(f.streams[bink2::kIntraCoefficients], 0);
    }

    StreamArray<ValueReader> readers;
    for (int n : bink2::kVideoStreams) readers[n] = ValueReader(f.streams[n].data(), f.streams[n].size());
    ModelSet models(kModelCount);  // addressed, never touched by this coder
    RecordingCoder coder;
    coder.base = models.data();
    VideoState state;
    const Geometry geometry = readGeometry(file.context);
    FrameGrammar<RecordingCoder> grammar(coder, models.data(), state, geometry, readers);
    ASSERT_TRUE(grammar.frame(false));
    for (int n : bink2::kVideoStreams) EXPECT_TRUE(readers[n].atEnd() && !readers[n].underflow);

    const std::vector<uint32_t> expected = {
        4096, 4158,                                  // frame flag bits 0 and 31
        0, 3,                                        // type 3 under context 0
        43501619,                                    // one vector, context 3
        43534400, 43665456,                          // x zero flag (flag 1), sign
        43669681, 43669682, 43669684, 43669689,      // x length 2, one vector
        43797168, 43797169,                          // x bits of 5, L 2
        43878592,                                    // y zero flag, coupled to length 2
        92720, 99376,                                // inter quantiser zero, sign (p 16)
        101937, 101938, 101941, 125745, 125746,      // length 2, bits of 4
        29081136,                                    // luma extra bit
        29188272, 29233265, 29233266, 29233268,      // count 1: B 5, S 1
        29258545, 29378864, 29642704, 29642705,      // DC 3: zero, sign, length 1
        29672912,                                    // its bit (Q8 20)
        29770564, 29967152, 32228144, 32228146,      // coefficient -3: zero, sign, length 2
        29188272, 29346610,                          // block 1: count 0; DC zero with d 1, h 2
        21805396,                                    // chroma flag: history 4, R 1
        36296064, 36398640,                          // U predicted; its count with S 2
        36296064, 36291376,                          // V explicit; extra bit
        12, 14,                                      // type 0 under context 3
        8848,                                        // intra quantiser zero: p 16, c 768
        7384880, 7491984,                            // luma extra bit, count (B 5, T 96)
    };
    // The format's numbers; the models are stored where placed() puts them.
    size_t at = 0;
    for (uint32_t index : coder.used)
        if (at < expected.size() && index == placed(expected[at])) ++at;
    EXPECT_EQ(at, expected.size()) << "first model not met in order: " << (at < expected.size() ? expected[at] : 0);
    for (uint32_t index : coder.used) EXPECT_LT(index, kModelCount);
}

bool within(uint32_t index, uint32_t start, uint32_t size) { return index >= start && index - start < size; }

// The coefficient tables store their terms in their own order and leave out
// what valid streams cannot reach: every model a valid stream can reach must
// get a place of its own inside its table, or two of the format's models
// would become one.
TEST(Bink2VideoModels, CoefficientTablesGiveEveryReachableModelItsOwnPlace) {
    const GroupTables& t = kGroupTables[kResidueLuma];
    struct Table {
        uint32_t start, size;
        std::vector<uint8_t> used = std::vector<uint8_t>(size);
        void take(uint32_t index) {
            ASSERT_TRUE(within(index, start, size)) << index;
            ASSERT_EQ(used[index - start]++, 0) << "shared: " << index;
        }
    };
    Table zero{t.coefficientZero, kStoredZeroSize}, sign{t.coefficientSign, kStoredSignSize},
        hot{t.lengthHot, kLengthHotSize}, cold{t.lengthCold, kLengthColdSize};
    for (uint32_t n = 1; n <= kMaxCount; ++n) {
        const uint32_t p = bitLength(n) - 1;  // the count class of n
        for (uint32_t k = 0; k < n; ++k) {
            for (uint32_t S = 0; S <= kMaxS; ++S)
                for (uint32_t Z = 0; Z < 16; ++Z) zero.take(coefficientZeroModel(t, S, n, k, Z));
            if (n != (2u << p) - 1 && n != kMaxCount) continue;  // each class's longest list reaches all its positions
            for (uint32_t z = 0; z < 3; ++z)  // a sign history holds one decision per position before k
                for (uint32_t f = 0; f < (1u << std::min(k, 10u)); ++f) sign.take(coefficientSignModel(t, z, p, k, f));
            for (uint32_t q8 = 8; q8 <= kMaxQ8; ++q8)  // quantisers below 8 code as 8
                for (uint32_t level = 0; level < 8; ++level)
                    for (uint32_t i = 0; i <= kMaxEscapeLength; ++i)
                        (i < kLengthHotNodes ? hot : cold).take(coefficientLengthModel(t, level, q8, p, k, i));
        }
    }
}

// ---- Damaged chunks and bounds. ----

// Makes chunks whose decisions follow a rule by model index: the grammar runs
// as the decoder does and every decision it takes is range coded, so the
// stage decodes exactly these decisions.
struct SteeringCoder {
    static constexpr bool kEncoding = false;
    using Stream = ValueWriter;
    BitModel* base = nullptr;
    std::function<uint32_t(uint32_t)> rule;
    RangeEncoder re;
    explicit SteeringCoder(std::vector<uint8_t>& out) : re(out) {}
    void prefetch(const BitModel*) const {}

    uint32_t bit(BitModel& m, uint32_t) {
        const uint32_t b = rule(static_cast<uint32_t>(&m - base));
        re.encodeBit(m, b);
        return b;
    }
    uint32_t tree(BitModel* m, int n, uint32_t) {
        uint32_t node = 1;
        for (int i = 0; i < n; ++i) node = 2 * node + bit(m[node], 0);
        return node - (1u << n);
    }
    int32_t integer(BitModel* block, uint8_t& history, bool isSigned, int32_t) {
        re.encodeInteger(block, history, isSigned, 0);
        return 0;
    }
    static uint32_t take8(Stream&) { return 0; }
    static uint32_t take16(Stream&) { return 0; }
    static uint32_t take32(Stream&) { return 0; }
    static void emit8(Stream& s, uint32_t v) { s.put8(v); }
    static void emit16(Stream& s, uint32_t v) { s.put16(v); }
    static void emit32(Stream& s, uint32_t v) { s.put32(v); }
};

// Every decision 1 gives a valid frame (no flag lists, empty planes, residue
// macroblocks with zero vectors); the rule changes that in a few tables.
// grammarOk: whether the grammar itself took the frame.
std::vector<uint8_t> steeredChunk(const TestFile& file, bool key, const std::function<uint32_t(uint32_t)>& rule,
                                  bool& grammarOk) {
    std::vector<uint8_t> chunk;
    ModelSet models(kModelCount);
    SteeringCoder coder(chunk);
    coder.base = models.data();
    coder.rule = rule;
    Outputs out(1 << 20);
    StreamArray<ValueWriter> w = out.writers();
    VideoState state;
    const Geometry geometry = readGeometry(file.context);
    FrameGrammar<SteeringCoder> grammar(coder, models.data(), state, geometry, w);
    grammarOk = grammar.frame(key);
    coder.re.finish();
    return chunk;
}

TEST(Bink2VideoStageFailure, ValuesPastTheBoundsOfValidStreamsEndTheFrame) {
    const GroupTables& luma = kGroupTables[kIntraLuma];
    const auto zeroIn = [](std::vector<std::pair<uint32_t, uint32_t>> tables) {
        return [tables](uint32_t i) {
            for (const auto& t : tables)
                if (within(i, t.first, t.second)) return 0u;
            return 1u;
        };
    };
    struct Case {
        const char* what;
        bool key, valid;
        std::function<uint32_t(uint32_t)> rule;
    } cases[] = {
        {"all ones", true, true, zeroIn({})},
        {"all ones, inter", false, true, zeroIn({})},
        {"count above 63", true, false, zeroIn({{luma.countZero, kCountZeroSize}})},
        {"DC length above 14", true, false, zeroIn({{luma.dcZero, kDcZeroSize}, {luma.dcLength, kDcLengthSize}})},
        {"escape length above 14", true, false,
         zeroIn({{luma.countZero, kCountZeroSize},
                 {luma.countClass, kCountClassSize},
                 {luma.coefficientZero, kCoefficientZeroSize},
                 {luma.lengthHot, kLengthHotSize},
                 {luma.lengthCold, kLengthColdSize}})},
        {"quantiser below 0", true, false, zeroIn({{kIntraQuantiser.zero, kIntraQuantiser.sign - kIntraQuantiser.zero}})},
        {"vector length 15", false, false, zeroIn({{kVectorHorizontal + kVectorZero, kVectorSign}})},
    };
    TestFile file(64, 64, kAlpha, {1, 0});
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        bool grammarOk = false;
        const std::vector<uint8_t> chunk = steeredChunk(file, k.key, k.rule, grammarOk);
        EXPECT_EQ(grammarOk, k.valid);
        Bink2VideoDecoder d;
        ASSERT_TRUE(d.setup(file.context));
        d.state.frame = k.key ? 0 : 1;
        Outputs out(1 << 20);
        EXPECT_EQ(out.decode(d, chunk), k.valid);
    }
}

TEST(Bink2VideoStageFailure, FullSubStreamsGeometryAndFrameCountEndCleanly) {
    TestFile file(96, 160, kAlpha | 3, {1, 0, 1});
    Bink2ValueMaker maker(file.context, 9);
    auto encoder = makeBink2VideoEncoder(file.context);
    const PackFrame frames[2] = {maker.make(0, 3, true), maker.make(1, 0, false)};
    const std::vector<uint8_t> chunks[2] = {acceptAndEncode(*encoder, frames[0]), acceptAndEncode(*encoder, frames[1])};

    // Each sub-stream one byte short of its frame's values in turn.
    for (int n : bink2::kVideoStreams) {
        size_t largest = 0;
        for (const auto& f : frames) largest = std::max(largest, f.streams[n].size());
        if (largest == 0) continue;
        Bink2VideoDecoder d;
        ASSERT_TRUE(d.setup(file.context));
        Outputs a(1 << 20), b(1 << 20);
        ASSERT_TRUE(a.decode(d, chunks[0]));
        b.streams[n].assign(frames[1].streams[n].size(), 0);
        if (b.streams[n].empty()) continue;
        b.streams[n].pop_back();
        EXPECT_FALSE(b.decode(d, chunks[1])) << "sub-stream " << n;
    }

    // A file has no more frames than its frame count (plus the closing word).
    Bink2VideoDecoder d;
    ASSERT_TRUE(d.setup(file.context));
    d.state.frame = 4;
    Outputs out(1 << 20);
    EXPECT_FALSE(out.decode(d, chunks[0]));

    // Slice layouts and sizes the stage does not decode.
    for (int damage = 0; damage < 3; ++damage) {
        TestFile bad(96, 160, 0, {1});
        if (damage == 0) bad.context.sliceCount = 9;
        if (damage == 1) bad.context.width = 0;
        if (damage == 2) bad.context.sliceEnds[1] = 1u << 30;
        Bink2VideoDecoder e;
        ASSERT_TRUE(e.setup(bad.context));
        Outputs o(1 << 20);
        EXPECT_FALSE(o.decode(e, chunks[0])) << "damage " << damage;
        EXPECT_FALSE(makeBink2VideoEncoder(bad.context)->accepts(frames[0]));
    }
}

TEST(Bink2VideoStageFailure, RandomAndTruncatedChunksStayInsideTheirBuffers) {
    TestFile file(80, 128, kAlpha | 2, std::vector<uint32_t>(400, 0));
    Bink2ValueMaker maker(file.context, 17);
    auto encoder = makeBink2VideoEncoder(file.context);
    const PackFrame frame = maker.make(0, 3, true);
    const std::vector<uint8_t> chunk = acceptAndEncode(*encoder, frame);
    Bink2VideoDecoder d;
    ASSERT_TRUE(d.setup(file.context));
    std::mt19937 rng(3);
    int failures = 0;
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> damaged;
        if (i % 3 == 0) {
            damaged.assign(chunk.begin(), chunk.begin() + rng() % chunk.size());
        } else if (i % 3 == 1) {
            damaged = chunk;
            for (int k = 0; k < 4; ++k) damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        } else {
            damaged.resize(rng() % 4000);
            for (auto& x : damaged) x = static_cast<uint8_t>(rng());
        }
        Outputs out(4096 + rng() % 65536);
        if (!out.decode(d, damaged)) ++failures;
    }
    EXPECT_GT(failures, 100);
}

}  // namespace
}  // namespace dev
