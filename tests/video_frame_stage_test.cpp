// Bink 1 video frame stage: packer-side encoder and stage decoder on the
// shared grammar.  The value streams of the round trips are built here from
// the frame writers' point of view (block walk, run fields), independently of
// the grammar they exercise; tree descriptions and residue fields are drawn
// by parsing random bits with the plane syntax.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "core/little_endian.h"
#include "core/stage_protocol.h"
#include "driver/header_decoder.h"
#include "pack/bink1_parser.h"
#include "pack/bink_file.h"
#include "pack/encode_coder.h"
#include "pack/stage_encoder.h"
#include "stages/stages.h"
#include "stages/video_frame_grammar.h"
#include "stages/video_frame_stage.h"
#include "tests/corpus.h"
#include "tests/stage_fixtures.h"
#include "writers/bink1/plane_syntax.h"

namespace dev {
namespace {

using namespace stage_fixtures;

BinkContext makeContext(uint32_t width, uint32_t height, bool alpha = false, bool gray = false) {
    BinkContext c;
    c.width = width;
    c.height = height;
    c.hasAlpha = alpha ? 1 : 0;
    c.grayscale = gray ? 1 : 0;
    return c;
}

// What the builder put in, so tests can assert their cases were covered.
struct Coverage {
    int types[bink1::kBlockTypeCount] = {};
    int subTypes[bink1::kBlockTypeCount] = {};
    int covered = 0;
    int scaledLastColumn = 0;
    int runsTo63 = 0;
    int runsTo64 = 0;
    int residueZero = 0;
    int offsets[31] = {};
    int extremeRaw = 0;
};

// Builds the sub-stream values of synthetic Bink 1 packets the way the frame
// writers consume them.
class FrameBuilder {
public:
    FrameBuilder(const BinkContext& c, uint32_t seed) : ctx_(c), rng_(seed) {}

    Coverage coverage;

    PackFrame coded() {
        PackFrame f;
        s_ = &f.streams;
        put32((*s_)[bink1::kPacketRecords], rng_());
        (*s_)[bink1::kPacketRecords].push_back(0);
        const uint32_t lc = blocks(ctx_.width, 8), lr = blocks(ctx_.height, 8);
        const uint32_t cc = blocks(ctx_.width, 16), cr = blocks(ctx_.height, 16);
        if (ctx_.hasAlpha) {
            plane(lc, lr);
            put32((*s_)[bink1::kPacketRecords], rng_() % 7 == 0 ? 0u : rng_());
        }
        plane(lc, lr);
        if (!ctx_.grayscale) {
            plane(cc, cr);
            plane(cc, cr);
        }
        return f;
    }

    static PackFrame stored(uint32_t size, const std::vector<uint8_t>& bytes) {
        PackFrame f;
        put32(f.streams[bink1::kPacketRecords], size);
        f.streams[bink1::kPacketRecords].push_back(1);
        put32(f.streams[bink1::kPacketRecords], static_cast<uint32_t>(bytes.size()));
        f.streams[bink1::kPacketRecords].insert(f.streams[bink1::kPacketRecords].end(), bytes.begin(), bytes.end());
        f.stored = true;
        return f;
    }

private:
    static uint32_t blocks(uint32_t pixels, uint32_t size) { return static_cast<uint32_t>((uint64_t(pixels) + size - 1) / size); }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
    uint8_t bit() { return static_cast<uint8_t>(rng_() & 1); }

    // Bits for the plane syntax to parse, each 1 with chance 1 in `oneIn`.
    BitsIn randomBits(std::vector<uint8_t>& bytes, size_t count, uint32_t oneIn) {
        bytes.assign(count, 0);
        for (uint8_t& b : bytes)
            for (int i = 0; i < 8; ++i) b = static_cast<uint8_t>(b | (below(oneIn) == 0 ? 1u : 0u) << i);
        return BitsIn(BitReader(bytes.data(), bytes.size()));
    }

    // Tree descriptions drawn by parsing random bits; a list naming a value
    // twice (which the writer refuses) is drawn again.
    void trees() {
        std::vector<uint8_t>& fields = (*s_)[bink1::kTrees];
        std::vector<uint8_t> bits;
        bink1::Tree tree;
        for (uint32_t i = 0; i < bink1::kTreesPerPlane; ++i) {
            for (;;) {
                const size_t before = fields.size();
                BitsIn d = randomBits(bits, 16, 2);
                bink1::treeDescription(d, fields, tree);
                if (!d.failed()) break;
                fields.resize(before);
            }
        }
    }

    void colour() { (*s_)[bink1::kColours].push_back(static_cast<uint8_t>(rng_())); }

    void offsets() {
        for (int axis = 0; axis < 2; ++axis) {
            const int v = static_cast<int>(below(31)) - 15;
            ++coverage.offsets[v + 15];
            (*s_)[axis == 0 ? bink1::kXOffsets : bink1::kYOffsets].push_back(static_cast<uint8_t>(static_cast<int8_t>(v)));
        }
    }

    void run() {
        (*s_)[bink1::kRunFields].push_back(static_cast<uint8_t>(below(16)));
        // Aim for 63 or 64 pixels in about equal shares.
        const uint32_t total = 63 + bit();
        uint32_t sum = 0;
        while (sum < 63) {
            uint32_t k = below(16);
            if (sum + k + 1 > total) k = total - sum - 1;
            sum += k + 1;
            const uint8_t fill = bit();
            (*s_)[bink1::kRuns].push_back(static_cast<uint8_t>(k));
            (*s_)[bink1::kRunFields].push_back(fill);
            const uint32_t n = fill ? 1 : k + 1;
            for (uint32_t i = 0; i < n; ++i) colour();
        }
        if (sum == 63) {
            colour();
            ++coverage.runsTo63;
        } else {
            ++coverage.runsTo64;
        }
    }

    void pattern() {
        colour();
        colour();
        for (int i = 0; i < 8; ++i) (*s_)[bink1::kPatterns].push_back(static_cast<uint8_t>(rng_()));
    }

    void raw() {
        const uint32_t style = below(3);
        if (style == 0) ++coverage.extremeRaw;
        for (int i = 0; i < 64; ++i) {
            uint8_t v;
            if (style == 0) v = ((i ^ (i >> 3)) & 1) ? 255 : 0;  // residuals of +-255
            else if (style == 1) v = static_cast<uint8_t>(100 + below(3));  // many zeros
            else v = static_cast<uint8_t>(rng_());
            (*s_)[bink1::kColours].push_back(v);
        }
    }

    // A residue field drawn by parsing random bits.
    void residue() {
        const uint32_t budget = below(4) == 0 ? 0 : below(128);
        if (!budget) ++coverage.residueZero;
        (*s_)[bink1::kResidueBudgets].push_back(static_cast<uint8_t>(budget));
        std::vector<uint8_t> bits;
        BitsIn d = randomBits(bits, 64, 3);
        bink1::residueField(d, (*s_)[bink1::kResidues], budget);
    }

    void content(uint32_t type) {
        switch (type) {
            case 2:
            case 7:
                offsets();
                break;
            case 3:
                run();
                break;
            case 4:
                residue();
                offsets();
                break;
            case 6:
                colour();
                break;
            case 8:
                pattern();
                break;
            case 9:
                raw();
                break;
            default:
                break;
        }
    }

    // Block walk of one plane: scaled blocks only start on even rows, and the
    // odd row below one carries type 1 for both of its positions.
    void plane(uint32_t columns, uint32_t rows) {
        trees();
        static const uint32_t kSingles[] = {0, 2, 3, 4, 5, 6, 7, 8, 9};
        static const uint32_t kSubs[] = {3, 5, 6, 8, 9};
        if (columns == 0) return;  // no blocks, however many rows
        std::vector<uint8_t> scaledAbove(columns + 2, 0), scaledHere(columns + 2, 0);
        for (uint32_t r = 0; r < rows; ++r) {
            std::fill(scaledHere.begin(), scaledHere.end(), 0);
            uint32_t x = 0;
            while (x < columns) {
                if ((r & 1) && scaledAbove[x]) {
                    (*s_)[bink1::kBlockTypes].push_back(1);
                    ++coverage.covered;
                    x += 2;
                    continue;
                }
                if (!(r & 1) && below(4) == 0) {
                    const uint32_t sub = kSubs[below(5)];
                    (*s_)[bink1::kBlockTypes].push_back(1);
                    (*s_)[bink1::kSubBlockTypes].push_back(static_cast<uint8_t>(sub));
                    ++coverage.subTypes[sub];
                    if (x + 1 == columns) ++coverage.scaledLastColumn;
                    scaledHere[x] = scaledHere[x + 1] = 1;
                    content(sub);
                    x += 2;
                    continue;
                }
                const uint32_t type = kSingles[below(9)];
                (*s_)[bink1::kBlockTypes].push_back(static_cast<uint8_t>(type));
                ++coverage.types[type];
                content(type);
                x += 1;
            }
            scaledAbove.swap(scaledHere);
        }
    }

    BinkContext ctx_;
    std::mt19937 rng_;
    StreamArray<std::vector<uint8_t>>* s_ = nullptr;
};

// The decoded sub-streams of one chunk.
struct Decoded {
    StreamArray<std::vector<uint8_t>> buffers;
    StreamArray<ValueWriter> writers;
    bool ok = false;

    explicit Decoded(size_t capacity = 1 << 20) { reset(capacity); }
    // Empty writers of at least the given room; the buffers are kept.
    void reset(size_t capacity) {
        for (int n : vframe::kOutputs) {
            if (buffers[n].size() < capacity) buffers[n].resize(capacity);
            writers[n] = ValueWriter(buffers[n].data(), buffers[n].size());
        }
    }
    std::vector<uint8_t> stream(int n) const {
        return std::vector<uint8_t>(buffers[n].begin(), buffers[n].begin() + writers[n].size());
    }
};

void expectSameStreams(const PackFrame& f, const Decoded& d, int frame) {
    for (int n : vframe::kOutputs) EXPECT_EQ(f.streams[n], d.stream(n)) << "sub-stream " << n << ", frame " << frame;
}

// Encodes `frames` with one encoder and decodes them with one decoder, both
// running on from frame to frame; returns the chunks.
std::vector<std::vector<uint8_t>> roundTrip(const BinkContext& ctx, const std::vector<PackFrame>& frames) {
    auto encoder = makeVideoFrameEncoder(ctx);
    VideoFrameDecoder decoder;
    EXPECT_TRUE(decoder.setup(ctx));
    std::vector<std::vector<uint8_t>> chunks;
    for (size_t i = 0; i < frames.size(); ++i) {
        chunks.push_back(acceptAndEncode(*encoder, frames[i]));
        Decoded d;
        EXPECT_TRUE(decoder.decodeChunk(chunks.back().data(), chunks.back().size(), d.writers));
        expectSameStreams(frames[i], d, static_cast<int>(i));
    }
    return chunks;
}

// ---------------------------------------------------------------------------
// Round trips through the shared grammar.

TEST(VideoFrameRoundTrip, CodedFramesOfEveryLayout) {
    struct Case {
        const char* name;
        BinkContext ctx;
    };
    const Case cases[] = {
        {"colour, odd block columns", makeContext(72, 56)},
        {"alpha", makeContext(40, 24, true)},
        {"grayscale", makeContext(24, 40, false, true)},
        {"alpha and grayscale", makeContext(8, 8, true, true)},
        {"one pixel", makeContext(1, 1)},
        {"no rows", makeContext(64, 0)},
    };
    Coverage total;
    uint32_t seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameBuilder b(c.ctx, seed++);
        std::vector<PackFrame> frames;
        for (int i = 0; i < 6; ++i) frames.push_back(b.coded());
        roundTrip(c.ctx, frames);
        for (uint32_t t = 0; t < bink1::kBlockTypeCount; ++t) total.types[t] += b.coverage.types[t], total.subTypes[t] += b.coverage.subTypes[t];
        total.covered += b.coverage.covered;
        total.scaledLastColumn += b.coverage.scaledLastColumn;
        total.runsTo63 += b.coverage.runsTo63;
        total.runsTo64 += b.coverage.runsTo64;
        total.residueZero += b.coverage.residueZero;
        total.extremeRaw += b.coverage.extremeRaw;
        for (int o = 0; o < 31; ++o) total.offsets[o] += b.coverage.offsets[o];
    }
    // The synthetic frames reached every case they are meant to exercise.
    for (int t : {0, 2, 3, 4, 5, 6, 7, 8, 9}) EXPECT_GT(total.types[t], 0) << "type " << t;
    for (int t : {3, 5, 6, 8, 9}) EXPECT_GT(total.subTypes[t], 0) << "sub-type " << t;
    for (int o = 0; o < 31; ++o) EXPECT_GT(total.offsets[o], 0) << "offset " << o - 15;
    EXPECT_GT(total.covered, 0);
    EXPECT_GT(total.scaledLastColumn, 0);
    EXPECT_GT(total.runsTo63, 0);
    EXPECT_GT(total.runsTo64, 0);
    EXPECT_GT(total.residueZero, 0);
    EXPECT_GT(total.extremeRaw, 0);
}

TEST(VideoFrameRoundTrip, StoredPacketsBetweenCodedOnes) {
    const BinkContext ctx = makeContext(32, 16, true);
    FrameBuilder b(ctx, 7);
    std::vector<PackFrame> frames;
    frames.push_back(b.coded());
    frames.push_back(FrameBuilder::stored(0x1234, {}));
    frames.push_back(FrameBuilder::stored(0x10, {1, 2, 3, 0, 255, 128}));
    frames.push_back(b.coded());
    frames.push_back(FrameBuilder::stored(0xFFFFFFFFu, std::vector<uint8_t>(3000, 0xA5)));
    frames.push_back(b.coded());
    roundTrip(ctx, frames);
    // R = 0: the record is S, 1, 0 and nothing else.
    const std::vector<uint8_t> expected = {0x34, 0x12, 0, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(frames[1].streams[bink1::kPacketRecords], expected);
}

TEST(VideoFrameRoundTrip, ModelsCarryAcrossFrames) {
    const BinkContext ctx = makeContext(48, 32);
    FrameBuilder b(ctx, 11);
    std::vector<PackFrame> frames = {b.coded(), b.coded()};
    const auto chunks = roundTrip(ctx, frames);
    // The second chunk was coded with the models and state left by the first:
    // a decoder that starts on it fresh must not get the same values back.
    VideoFrameDecoder fresh;
    ASSERT_TRUE(fresh.setup(ctx));
    Decoded d;
    const bool ok = fresh.decodeChunk(chunks[1].data(), chunks[1].size(), d.writers);
    bool same = ok;
    for (int n = bink1::kBlockTypes; n <= bink1::kResidues && same; ++n) same = frames[1].streams[n] == d.stream(n);
    EXPECT_FALSE(same);
}

// Real Bink 1 files: the values the packet parser takes from every frame go
// through the encoder and the stage and come back exactly, frame after frame
// on the same models.
TEST(VideoFrameRoundTrip, CorpusValues) {
    if (corpusBink1Files().empty()) GTEST_SKIP() << "no Bink 1 file in the corpus";
    for (const CorpusFile& corpusFile : corpusBink1Files()) {
        const BinkFile& file = corpusFile.bink;
        const BinkContext& context = corpusFile.context;
        SCOPED_TRACE(corpusFile.name);
        auto encoder = makeVideoFrameEncoder(context);
        VideoFrameDecoder decoder;
        ASSERT_TRUE(decoder.setup(context));
        uint32_t coded = 0;
        Decoded d;
        for (uint32_t j = 0; j < file.frameCount; ++j) {
            PackFrame frame;
            frame.index = j;
            frame.video = file.video[j];
            if (!bink1FrameValues(context, frame)) continue;
            if (!frame.stored) ++coded;
            // Every packet the parser could rewrite is one the stage carries.
            ASSERT_TRUE(encoder->accepts(frame)) << "frame " << j;
            const auto chunk = acceptAndEncode(*encoder, frame);
            d.reset(frame.streams[bink1::kPacketRecords].size() + (1u << 20));
            ASSERT_TRUE(decoder.decodeChunk(chunk.data(), chunk.size(), d.writers)) << "frame " << j;
            for (int n = bink1::kBlockTypes; n <= bink1::kResidues; ++n)
                ASSERT_EQ(frame.streams[n], d.stream(n)) << "frame " << j << ", sub-stream " << n;
        }
        std::printf("  %s: %u of %u frames coded\n", corpusFile.name.c_str(), coded, file.frameCount);
    }
}

// The model of every decision, checked at hand-computed points of a small
// frame against the table layout (round trips cannot see a wrong index, as
// both directions share it).
TEST(VideoFrameModels, DecisionsUseTheTableLayout) {
    const BinkContext ctx = makeContext(24, 8, false, true);  // one row of 3 luma blocks
    PackFrame f;
    put32(f.streams[bink1::kPacketRecords], 0);
    f.streams[bink1::kPacketRecords].push_back(0);
    f.streams[bink1::kTrees] = {3, 1, 0, 5};  // tree 0: selector 3, explicit list of one symbol, 5
    f.streams[bink1::kTrees].resize(4 + 22, 0);
    f.streams[bink1::kBlockTypes] = {8, 4, 6};  // pattern, residue, fill
    f.streams[bink1::kColours] = {0x37, 0x00, 0x80};
    f.streams[bink1::kPatterns] = {0x0F, 0, 0, 0, 0, 0, 0, 0};
    f.streams[bink1::kResidueBudgets] = {0};
    f.streams[bink1::kResidues] = {0, 0, 0, 0, 0};
    f.streams[bink1::kYOffsets] = {0xFD};  // y = -3
    f.streams[bink1::kXOffsets] = {2};
    StreamArray<ValueReader> readers;
    for (int n : vframe::kOutputs) readers[n] = ValueReader(f.streams[n].data(), f.streams[n].size());
    ModelSet models(16);  // never touched by this policy
    uint8_t above[vframe::kAboveBytes];
    vframe::VideoFrameState st;
    vframe::initState(st, ctx, above);
    RecordingCoder coder;
    coder.base = models.data();
    vframe::FrameGrammar<RecordingCoder> grammar(coder, models.data(), st, readers);
    ASSERT_TRUE(grammar.packet());

    const std::vector<uint32_t> expected = {
        0, 1518,                                   // size, coded flag
        3038, 3039, 3041, 3046,                    // selector 3 of tree 0 (e 0, kind 0)
        26592, 26982, 26983, 26985,                // explicit flag (u 3), length 0
        29902, 29903, 29906, 29911,                // symbol 5 (s 0, t 0)
        3342,                                      // selector of tree 1 after e = 3
        2235021,                                   // path flag, history5 32, nothing above
        2300558, 2300559, 2300562, 2300568,        // symbol 7 (pattern), tree context 0
        3197902, 3197903, 3197905, 3197910,        // high nibble 3, d 2, Q 0
        3746814, 3746815, 3746818, 3746824,        // low nibble 7, d 2, Q 0, hi 3
        3202046, 4065230,                          // second colour 0, d 3, Q 0x37
        13026134,                                  // first pattern byte, P 4, O 0
        12898902,                                  // second, P 2 (two changes), O 0x0F
        137988, 2301986,                           // path (history5 0, previous 119), tree
        11611086, 11613134,                        // mask count 0, start exponent
        11616205,                                  // entry flag with 9b - e = -1
        12698189, 12698214,                        // y sign, y magnitude (ys 1)
        12730973, 12731350,                        // x sign, x magnitude (ys & 3 = 1)
        137920, 2301170,                           // path (previous 51), tree of symbol 5
        3194110,                                   // fill colour: d 1, right quadrant, Q 0x37
    };
    size_t at = 0;
    for (uint32_t index : coder.used)
        if (at < expected.size() && index == expected[at]) ++at;
    EXPECT_EQ(at, expected.size()) << "first model not met in order: " << (at < expected.size() ? expected[at] : 0);
    for (uint32_t index : coder.used) EXPECT_LT(index, vframe::kModelCount);
}

TEST(VideoFrameModels, RunsRawPixelsResiduesMergesAndStoredBytes) {
    const BinkContext ctx = makeContext(16, 8, false, true);  // one row of 2 luma blocks
    PackFrame frames[3];
    {
        PackFrame& f = frames[0];  // run block, skip block; tree 0 by merges
        put32(f.streams[bink1::kPacketRecords], 0);
        f.streams[bink1::kPacketRecords].push_back(0);
        f.streams[bink1::kTrees] = {2, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
        f.streams[bink1::kTrees].resize(11 + 22, 0);
        f.streams[bink1::kBlockTypes] = {3, 0};
        f.streams[bink1::kRunFields] = {7, 1, 0, 1, 1, 1, 1};
        f.streams[bink1::kRuns] = {15, 0, 14, 14, 14, 0};  // 16 + 1 + 15 + 15 + 15 + 1 = 63 pixels
        f.streams[bink1::kColours].assign(7, 0);
    }
    frames[1] = FrameBuilder::stored(5, {0x80});
    {
        PackFrame& f = frames[2];  // raw block, residue block
        put32(f.streams[bink1::kPacketRecords], 7);
        f.streams[bink1::kPacketRecords].push_back(0);
        f.streams[bink1::kTrees].assign(23, 0);
        f.streams[bink1::kBlockTypes] = {9, 4};
        f.streams[bink1::kColours] = {0x10, 0x10, 0x13, 0x0F};
        f.streams[bink1::kColours].resize(64, 0x0F);
        f.streams[bink1::kResidueBudgets] = {5};
        f.streams[bink1::kResidues] = {1, 0, 0, 0, 1, 0, 1, 1, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0};
        f.streams[bink1::kYOffsets] = {0};
        f.streams[bink1::kXOffsets] = {0};
    }
    ModelSet models(16);
    uint8_t above[vframe::kAboveBytes];
    vframe::VideoFrameState st;
    vframe::initState(st, ctx, above);
    RecordingCoder coder;
    coder.base = models.data();
    for (const PackFrame& f : frames) {
        StreamArray<ValueReader> readers;
        for (int n : vframe::kOutputs) readers[n] = ValueReader(f.streams[n].data(), f.streams[n].size());
        vframe::FrameGrammar<RecordingCoder> grammar(coder, models.data(), st, readers);
        ASSERT_TRUE(grammar.packet());
        for (int n : vframe::kOutputs) EXPECT_TRUE(readers[n].atEnd() && !readers[n].underflow);
    }
    const std::vector<uint32_t> expected = {
        // Frame 0.
        3038, 3039, 3041, 3046,          // selector 2
        26591, 124118, 124119,           // merge kind (u 2), one pass
        125581, 125582, 125583, 125585,  // merge bits under a history of 0, 1, 2, 4,
        125589, 125597, 125613, 125645,  //   8, 16, 32, 64
        3326,                            // selector of tree 1 after e = 2
        2235021, 2300558, 2300559, 2300561, 2300566,  // symbol 2 (run)
        3185294, 3185295, 3185298, 3185304,           // scan index 7
        3185357, 3187662,                // fill 1 at ctx 0; run 15 with F = 1
        3189710, 3222478,                // its colour
        3185418, 3186894,                // fill 0 at ctx 61; run 0 at pos 16 + long 64
        3185359, 3187934,                // fill 1 at ctx 2; run 14 at pos 17, F = 1
        // Frame 1: size, stored flag, count, byte 0x80 along its tree path.
        0, 1518, 0, 13419350, 13419352, 13419355, 13419361, 13419373, 13419397, 13419445, 13419541,
        // Frame 2.
        2235021, 2300558, 2300560, 2300563, 2300569,  // symbol 8 (raw)
        3206094, 3206095, 3206097, 3206101, 4271070,  // first pixel 0x10 as colour, d 4
        12689421,                                      // pixel 1: zero residual
        12689550, 12697615, 12698126, 12698127, 12698129, 12689365,  // +3 after one zero
        12689439, 12697617, 12698134, 12698135, 12698138, 12689373, 12689374,  // -4
        138005, 2302190,                 // symbol of block 1 (previous 136)
        11611086,                        // mask count 5
        11613158, 11613159, 11613161,    // start exponent 1, bitlen(5) = 3
        11689933, 11689933, 11689933, 11689933,  // pass 1 entry flags (9b - e = 8)
        12214222, 12666829,              // coefficient 0 found now, its sign
        12214222, 12214734, 12215758,    // coefficients 1..3 put at the front
        11615309,                        // pass 2: refinement of coefficient 0
        11685326, 12681229,              // entry (3, mode 3), its sign after h7 = 1
        11685328, 11685331, 11685337, 11685349, 11685373,  // remaining entries
    };
    size_t at = 0;
    for (uint32_t index : coder.used)
        if (at < expected.size() && index == expected[at]) ++at;
    EXPECT_EQ(at, expected.size()) << "first model not met in order: " << (at < expected.size() ? expected[at] : 0);
}

// ---------------------------------------------------------------------------
// The encoder declines what the stage cannot carry, without moving a model.

TEST(VideoFrameEncoder, DeclinesValuesOutsideTheGrammar) {
    const BinkContext ctx = makeContext(32, 32, false, true);  // 4 x 4 luma blocks
    FrameBuilder b(ctx, 21);
    const PackFrame before = b.coded();
    const PackFrame after = b.coded();

    // A frame of known layout: identity trees, then block types.
    auto simple = [](std::vector<uint8_t> types, std::vector<uint8_t> subs = {}) {
        PackFrame f;
        put32(f.streams[bink1::kPacketRecords], 100);
        f.streams[bink1::kPacketRecords].push_back(0);
        f.streams[bink1::kTrees].assign(23, 0);
        f.streams[bink1::kBlockTypes] = std::move(types);
        f.streams[bink1::kSubBlockTypes] = std::move(subs);
        return f;
    };
    const std::vector<uint8_t> skips(16, 0);
    // A scaled block at the top left: row 0 has 3 entries, row 1 as well.
    const std::vector<uint8_t> scaled = {1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    struct Case {
        const char* name;
        PackFrame good, bad;
    };
    std::vector<Case> cases;
    auto add = [&](const char* name, PackFrame good, auto&& spoil) {
        PackFrame bad = good;
        spoil(bad);
        cases.push_back({name, std::move(good), std::move(bad)});
    };
    add("block type 10", simple(skips), [](PackFrame& f) { f.streams[bink1::kBlockTypes][5] = 10; });
    add("block type 1 on an odd row", simple(skips, {}), [](PackFrame& f) {
        f.streams[bink1::kBlockTypes].erase(f.streams[bink1::kBlockTypes].begin() + 4);  // row 1: 1 covers two positions
        f.streams[bink1::kBlockTypes][4] = 1;
        f.streams[bink1::kSubBlockTypes] = {5};
    });
    add("sub-type 4", simple(scaled, {5}), [](PackFrame& f) { f.streams[bink1::kSubBlockTypes][0] = 4; });
    add("sub-type 1", simple(scaled, {5}), [](PackFrame& f) { f.streams[bink1::kSubBlockTypes][0] = 1; });
    add("lower half not type 1", simple(scaled, {5}), [](PackFrame& f) { f.streams[bink1::kBlockTypes][3] = 0; });
    {
        auto g = simple(skips);
        g.streams[bink1::kBlockTypes][0] = 2;
        g.streams[bink1::kYOffsets] = {0xF1};  // -15
        g.streams[bink1::kXOffsets] = {15};
        add("y offset 16", g, [](PackFrame& f) { f.streams[bink1::kYOffsets][0] = 16; });
        add("x offset -16", g, [](PackFrame& f) { f.streams[bink1::kXOffsets][0] = 0xF0; });
    }
    {
        auto g = simple(skips);
        g.streams[bink1::kBlockTypes][0] = 4;
        g.streams[bink1::kResidueBudgets] = {0};
        g.streams[bink1::kResidues] = {0, 0, 0, 0, 0};  // b = 0, four entry flags of 0
        g.streams[bink1::kYOffsets] = {0};
        g.streams[bink1::kXOffsets] = {0};
        add("residue decision 2", g, [](PackFrame& f) { f.streams[bink1::kResidues][3] = 2; });
        add("start exponent 8", g, [](PackFrame& f) { f.streams[bink1::kResidues][0] = 8; });
        add("mask count 128", g, [](PackFrame& f) { f.streams[bink1::kResidueBudgets][0] = 128; });
    }
    add("tree number 16", simple(skips), [](PackFrame& f) { f.streams[bink1::kTrees][0] = 16; });
    add("a value no block uses", simple(skips), [](PackFrame& f) { f.streams[bink1::kColours].push_back(0); });
    add("a block type missing", simple(skips), [](PackFrame& f) { f.streams[bink1::kBlockTypes].pop_back(); });
    add("neither coded nor stored", simple(skips), [](PackFrame& f) { f.streams[bink1::kPacketRecords][4] = 2; });
    add("stored bytes missing", FrameBuilder::stored(5, {1, 2, 3}), [](PackFrame& f) { f.streams[bink1::kPacketRecords][5] = 4; });

    auto encoder = makeVideoFrameEncoder(ctx);
    VideoFrameDecoder decoder;
    ASSERT_TRUE(decoder.setup(ctx));
    auto step = [&](const PackFrame& f) {
        const auto chunk = acceptAndEncode(*encoder, f);
        Decoded d;
        EXPECT_TRUE(decoder.decodeChunk(chunk.data(), chunk.size(), d.writers));
        expectSameStreams(f, d, 0);
    };
    step(before);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(encoder->accepts(c.good));
        EXPECT_FALSE(encoder->accepts(c.bad));
        std::vector<uint8_t> chunk;
        EXPECT_FALSE(encoder->encode(c.bad, chunk).ok());
    }
    // Neither the checks nor the refused frames moved the encoder: the
    // decoder, which never saw them, still follows.
    step(after);
}

TEST(VideoFrameEncoder, DeclinesPlanesWiderThanTheAboveRow) {
    const BinkContext wide = makeContext(8072, 8, false, true);  // 1009 block columns
    auto encoder = makeVideoFrameEncoder(wide);
    PackFrame f;
    put32(f.streams[bink1::kPacketRecords], 1);
    f.streams[bink1::kPacketRecords].push_back(0);
    f.streams[bink1::kTrees].assign(23, 0);
    f.streams[bink1::kBlockTypes].assign(1009, 0);
    EXPECT_FALSE(encoder->accepts(f));
    // Stored packets of such a file still go through.
    const BinkContext ok = makeContext(8064, 8, false, true);
    f.streams[bink1::kBlockTypes].resize(1008);
    EXPECT_TRUE(makeVideoFrameEncoder(ok)->accepts(f));
    roundTrip(wide, {FrameBuilder::stored(9, {1, 2})});
}

// ---------------------------------------------------------------------------
// The stage on damaged chunks: a clean failure, never an overrun or a hang.

// A chunk holding a coded packet head and identity trees for one luma plane,
// followed by the given block-symbol decisions for the first block.
std::vector<uint8_t> symbolChunk(const std::vector<std::pair<uint32_t, uint32_t>>& decisions) {
    ModelSet models(vframe::kModelCount);
    std::vector<uint8_t> chunk;
    EncodeCoder coder(chunk);
    vframe::VideoFrameState st;
    uint8_t above[vframe::kAboveBytes] = {};
    st.above = above;
    std::vector<uint8_t> values(64, 0);
    put32(values, 0);
    StreamArray<ValueReader> readers;
    // Packet size 0 (delta 0), coded.
    coder.integer(models.data() + vframe::kPacketSize, st.sizeSigns, true, 0);
    coder.bit(models[vframe::kStoredFlag], 0);
    for (auto& r : readers) r = ValueReader(values.data(), values.size());
    vframe::FrameGrammar<EncodeCoder> grammar(coder, models.data(), st, readers);
    grammar.planeTrees(vframe::kLuma);
    for (auto [model, bit] : decisions) coder.bit(models[model], bit);
    coder.finish();
    return chunk;
}

TEST(VideoFrameStageFailure, BlockSymbolsThatAreNoBlockType) {
    const BinkContext ctx = makeContext(8, 16, false, true);  // one column, two rows
    const uint32_t path = vframe::blockPathModel(32, 0, 0);
    const uint32_t unary = vframe::blockUnaryBase(0);
    const uint32_t tree = vframe::blockTreeBase(0, 0);
    struct Case {
        const char* name;
        std::vector<std::pair<uint32_t, uint32_t>> decisions;
        bool ok;
    };
    const Case cases[] = {
        {"unary symbol 13 is the last valid one",
         {{path, 1}, {unary, 0}, {unary + 1, 0}, {unary + 2, 0}, {unary + 3, 0}, {unary + 4, 1}},
         true},
        {"unary past symbol 13", {{path, 1}, {unary, 0}, {unary + 1, 0}, {unary + 2, 0}, {unary + 3, 0}, {unary + 4, 0}},
         false},
        {"tree symbol 14", {{path, 0}, {tree + 1, 1}, {tree + 3, 1}, {tree + 7, 1}, {tree + 15, 0}}, false},
        {"tree symbol 15", {{path, 0}, {tree + 1, 1}, {tree + 3, 1}, {tree + 7, 1}, {tree + 15, 1}}, false},
        {"scaled block starting on row 1",
         {{path, 0}, {tree + 1, 0}, {tree + 2, 0}, {tree + 4, 0}, {tree + 8, 0},  // row 0: skip
          {vframe::blockPathModel(32, 0, 0), 1}, {unary, 1}},                    // row 1: symbol 9
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto chunk = symbolChunk(c.decisions);
        VideoFrameDecoder decoder;
        ASSERT_TRUE(decoder.setup(ctx));
        Decoded d;
        EXPECT_EQ(decoder.decodeChunk(chunk.data(), chunk.size(), d.writers), c.ok);
        if (c.ok) {  // symbol 13: a scaled raw block
            EXPECT_EQ(d.stream(bink1::kBlockTypes).at(0), 1);
            EXPECT_EQ(d.stream(bink1::kSubBlockTypes).at(0), 9);
        }
    }
}

TEST(VideoFrameStageFailure, OutputBeyondCapacityStopsInsideTheBuffers) {
    const BinkContext ctx = makeContext(64, 64, true);
    FrameBuilder b(ctx, 5);
    const PackFrame f = b.coded();
    const auto chunk = acceptAndEncode(*makeVideoFrameEncoder(ctx), f);
    for (size_t capacity : {size_t(0), size_t(3), size_t(40)}) {
        VideoFrameDecoder decoder;
        ASSERT_TRUE(decoder.setup(ctx));
        // Guard bytes behind each writer's room must stay untouched.
        Decoded d(capacity + 16);
        for (int n : vframe::kOutputs) {
            std::memset(d.buffers[n].data(), 0xEE, capacity + 16);
            d.writers[n] = ValueWriter(d.buffers[n].data(), capacity);
        }
        EXPECT_FALSE(decoder.decodeChunk(chunk.data(), chunk.size(), d.writers));
        for (int n : vframe::kOutputs)
            for (size_t k = capacity; k < capacity + 16; ++k) ASSERT_EQ(d.buffers[n][k], 0xEE);
    }
    // A stored packet whose byte count passes the sub-stream fails before any byte.
    const PackFrame big = FrameBuilder::stored(1, std::vector<uint8_t>(5000, 7));
    const auto storedChunk = acceptAndEncode(*makeVideoFrameEncoder(ctx), big);
    VideoFrameDecoder decoder;
    ASSERT_TRUE(decoder.setup(ctx));
    Decoded d(4096);
    EXPECT_FALSE(decoder.decodeChunk(storedChunk.data(), storedChunk.size(), d.writers));
    EXPECT_EQ(d.stream(bink1::kPacketRecords).size(), 9u);
}

TEST(VideoFrameStageFailure, WidePlanesAndHugeGridsEndCleanly) {
    std::mt19937 rng(3);
    std::vector<uint8_t> chunk(256);
    for (auto& x : chunk) x = static_cast<uint8_t>(rng());
    // A plane of 1009 block columns would pass the above-row array.
    {
        VideoFrameDecoder decoder;
        ASSERT_TRUE(decoder.setup(makeContext(8072, 8)));
        const auto head = symbolChunk({});
        Decoded d;
        EXPECT_FALSE(decoder.decodeChunk(head.data(), head.size(), d.writers));
    }
    // No block columns and 2^29 rows: nothing to decode, at once.
    {
        const BinkContext empty = makeContext(0, 0xFFFFFFFFu);
        roundTrip(empty, {FrameBuilder(empty, 1).coded(), FrameBuilder::stored(2, {})});
    }
    // A grid of 2^28 rows: the block types fill up and the plane ends there.
    {
        VideoFrameDecoder decoder;
        ASSERT_TRUE(decoder.setup(makeContext(16, 0x80000000u)));
        const auto head = symbolChunk({});
        Decoded d(4096);
        EXPECT_FALSE(decoder.decodeChunk(head.data(), head.size(), d.writers));
    }
}

TEST(VideoFrameStageFailure, RandomChunksNeverOverrun) {
    // Random bytes are a damaged stream: any outcome but an overrun is fine,
    // and the decoder runs on across chunks as the stage does.
    const BinkContext ctx = makeContext(40, 24, true);
    VideoFrameDecoder decoder;
    ASSERT_TRUE(decoder.setup(ctx));
    std::mt19937 rng(99);
    int failures = 0;
    for (int i = 0; i < 200; ++i) {
        std::vector<uint8_t> chunk(rng() % 600);
        for (auto& x : chunk) x = static_cast<uint8_t>(rng());
        Decoded d(2048);
        if (!decoder.decodeChunk(chunk.data(), chunk.size(), d.writers)) ++failures;
    }
    EXPECT_GT(failures, 0);
}

// ---------------------------------------------------------------------------
// The stage routine on its own thread, through the pipeline protocol.

TEST(VideoFrameStageThread, DecodesIntoTheBackBuffers) {
    BinkContext ctx = makeContext(24, 16);
    FrameBuilder b(ctx, 13);
    const PackFrame frames[2] = {b.coded(), FrameBuilder::stored(3, {9, 8, 7})};
    auto encoder = makeVideoFrameEncoder(ctx);
    std::vector<uint8_t> chunks[2] = {acceptAndEncode(*encoder, frames[0]), acceptAndEncode(*encoder, frames[1])};

    StageHarness h(VideoFrameStage, ctx, {std::begin(vframe::kOutputs), std::end(vframe::kOutputs)}, 1 << 16);
    ASSERT_TRUE(h.stage.done && h.stage.go);
    ASSERT_NE(h.stage.thread, nullptr);
    for (int k = 0; k < 2; ++k) {
        h.cycle(chunks[k]);
        ASSERT_FALSE(h.stage.failed);
        for (int n : vframe::kOutputs) EXPECT_EQ(h.written(n), frames[k].streams[n]) << "frame " << k << ", sub-stream " << n;
    }
}

}  // namespace
}  // namespace dev
