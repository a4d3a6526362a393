// DCT block stage and its encoder: round trips over many frames, an
// independent straight-line decoder as a check on the model layout, the
// position memory and models carrying across frames, the frames the encoder
// refuses, and corrupt or oversized chunks.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/bink_context.h"
#include "core/little_endian.h"
#include "core/stage_protocol.h"
#include "driver/header_decoder.h"
#include "pack/bink1_parser.h"
#include "pack/bink_file.h"
#include "pack/range_encoder.h"
#include "pack/stage_encoder.h"
#include "stages/bundle_length_grammar.h"
#include "stages/dct_block_grammar.h"
#include "stages/stages.h"
#include "tests/corpus.h"
#include "tests/stage_fixtures.h"
#include "writers/bink1/streams.h"

namespace dev {
namespace {

using namespace stage_fixtures;

// The values of one instance (intra or inter).
struct DctValues {
    std::vector<uint8_t> q, dc, coefficients;
    std::vector<uint32_t> blocks;
};

PackFrame frameOf(const DctValues& v, bool inter) {
    PackFrame f;
    const bink1::DctStreams& n = bink1::dctStreams(inter);
    f.streams[n.quantisers] = v.q;
    f.streams[n.dc] = v.dc;
    f.streams[n.coefficients] = v.coefficients;
    f.dctBlocks[inter ? 1 : 0] = v.blocks;
    return f;
}

void addBlock(DctValues& v, uint32_t q, int32_t dc, const std::vector<int32_t>& list) {
    v.q.push_back(static_cast<uint8_t>(q));
    put16(v.dc, static_cast<uint32_t>(dc));
    put16(v.coefficients, static_cast<uint32_t>(list.size()));
    for (int32_t c : list) put16(v.coefficients, static_cast<uint32_t>(c));
}

int32_t randomMagnitude(std::mt19937& rng, uint32_t maxLength) {
    const uint32_t length = 1 + rng() % maxLength;  // 1..maxLength bits
    return static_cast<int32_t>((1u << (length - 1)) | (rng() & ((1u << (length - 1)) - 1)));
}

// Random values the models cover: every DC length 0..11, counts 0, 1, 63 and
// in between, magnitudes up to 1023, runs of zeros, empty planes.
DctValues randomValues(std::mt19937& rng, bool inter, uint32_t planes) {
    DctValues v;
    for (uint32_t p = 0; p < planes; ++p) {
        const uint32_t r = rng() % 8;
        const uint32_t count = r == 0 ? 0 : (r == 1 ? 1 : rng() % 40);
        v.blocks.push_back(count);
        for (uint32_t b = 0; b < count; ++b) {
            const uint32_t kind = rng() % 6;
            const uint32_t n = kind == 0 ? 0 : kind == 1 ? 1 : kind == 2 ? 63 : rng() % 64;
            const uint32_t dcLength = rng() % 12;
            int32_t dc = dcLength == 0 ? 0 : static_cast<int32_t>((1u << (dcLength - 1)) | (rng() & ((1u << (dcLength - 1)) - 1)));
            if (inter && (rng() & 1)) dc = -dc;
            const uint32_t density = rng() % 4;
            std::vector<int32_t> list(n);
            for (uint32_t i = 0; i < n; ++i) {
                if (i + 1 < n && rng() % 4 <= density) continue;  // zero
                int32_t c = randomMagnitude(rng, rng() % 3 == 0 ? 10 : 3);
                list[i] = (rng() & 1) ? -c : c;
            }
            addBlock(v, rng() % 16, dc, list);
        }
    }
    return v;
}

struct Outputs {
    std::vector<uint8_t> q, dc, coefficients;
};

// Decodes one chunk with a decoder; outputs sized generously.
bool decodeWith(DctBlockDecoder& d, const std::vector<uint8_t>& chunk, Outputs& out, size_t capacity = 1 << 20) {
    out.q.assign(capacity, 0);
    out.dc.assign(capacity, 0);
    out.coefficients.assign(capacity, 0);
    const bink1::DctStreams& n = bink1::dctStreams(d.inter);
    StreamArray<ValueWriter> w;
    w[n.quantisers] = ValueWriter(out.q.data(), capacity);
    w[n.dc] = ValueWriter(out.dc.data(), capacity);
    w[n.coefficients] = ValueWriter(out.coefficients.data(), capacity);
    const bool ok = d.decodeChunk(chunk.data(), chunk.size(), w);
    out.q.resize(w[n.quantisers].size());
    out.dc.resize(w[n.dc].size());
    out.coefficients.resize(w[n.coefficients].size());
    return ok;
}

void expectSame(const Outputs& out, const DctValues& v) {
    EXPECT_EQ(out.q, v.q);
    EXPECT_EQ(out.dc, v.dc);
    EXPECT_EQ(out.coefficients, v.coefficients);
}

BinkContext contextWith(uint32_t planes) {
    BinkContext c;
    c.planeCount = planes;
    return c;
}

// ---- An independent decoder, written straight from the format with literal
// model offsets, to check the shared grammar's layout and context updates. ----
struct ReferenceDecoder {
    std::vector<BitModel> m = std::vector<BitModel>(6433736, kModelStart);
    int signMem[64] = {};
    int magMem[64] = {};
    bool inter;
    explicit ReferenceDecoder(bool isInter) : inter(isInter) {}

    static int bl(unsigned x) { return x ? 32 - std::countl_zero(x) : 0; }

    bool decode(const std::vector<uint8_t>& chunk, int planes, Outputs& out) {
        static const int T[12] = {0, 0, 0, 1, 3, 6, 10, 15, 21, 28, 36, 45};
        out = Outputs();
        RangeDecoder rd;
        rd.init(chunk.data(), chunk.size());
        int prevQ = 0, prevN = 0, prevL = 0, prevSign = 0;
        for (int p = 0; p < planes; ++p) {
            unsigned blocks = 0;
            while (!rd.decodeBit(m[16 * p + bl(blocks)])) {
                if (blocks < 32767) ++blocks;
                const int q = static_cast<int>(rd.decodeTree(&m[64 + 16 * (bl(prevN) + 16 * prevQ)], 4));
                const int n = static_cast<int>(rd.decodeTree(&m[4160 + 64 * (prevN + 64 * q)], 6));
                out.q.push_back(static_cast<uint8_t>(q));
                put16(out.coefficients, n);
                int s = 0;
                if (inter) {
                    s = static_cast<int>(rd.decodeBit(m[69696 + 2 * p + prevSign]));
                    prevSign = s;
                }
                int L = 0;
                while (!rd.decodeBit(m[69704 + 12 * (q + 16 * prevQ + 256 * s + 512 * prevL + 6144 * p) + L]))
                    if (++L > 11) return false;
                int dc = 0;
                if (L > 0) {
                    dc = 1;
                    for (int j = 0; j < L - 1; ++j)
                        dc = 2 * dc + static_cast<int>(rd.decodeBit(
                                          m[364616 + 128 * T[L] + (L - 1) * (32 * p + q + 16 * (n >= 32)) + j]));
                }
                put16(out.dc, static_cast<uint32_t>(s ? -dc : dc));
                prevQ = q;
                prevN = n;
                prevL = L;
                int z = 0, h = 0, sh = 0, a = 0;
                for (int i = 0; i < n; ++i) {
                    if (i != n - 1 && rd.decodeBit(m[371656 + 4096 * (64 * bl(z) + 8 * a + (h >> 1)) + 64 * i + n])) {
                        put16(out.coefficients, 0);
                        z = std::min(z + 1, 15);
                        h = (2 * h + 1) & 15;
                        a = 0;
                        magMem[i] = 0;
                        continue;
                    }
                    h = (2 * h) & 15;
                    const int t = static_cast<int>(rd.decodeBit(m[1682376 + 4096 * (32 * signMem[i] + sh) + 64 * i + n]));
                    sh = (2 * sh + t) & 31;
                    signMem[i] = sh & 3;
                    int magnitude = 1;
                    if (rd.decodeBit(m[2337736 + 4096 * (a + 8 * magMem[i]) + 64 * i + n])) {
                        a = 1;
                    } else {
                        int M = 2;
                        while (!rd.decodeBit(m[2599880 + 9 * (4096 * (a + 8 * magMem[i]) + 64 * i + n) + (M - 2)]))
                            if (++M > 10) return false;
                        for (int j = 0; j < M - 1; ++j)
                            magnitude = 2 * magnitude +
                                        static_cast<int>(rd.decodeBit(
                                            m[4959176 + 32768 * T[M] + (M - 1) * (4096 * a + 64 * i + n) + j]));
                        a = M & 7;
                    }
                    put16(out.coefficients, static_cast<uint32_t>(t ? -magnitude : magnitude));
                    z = 0;
                    magMem[i] = a;
                }
                for (int i = n; i < 64; ++i) {
                    magMem[i] = 0;
                    signMem[i] = 4;
                }
            }
        }
        return true;
    }
};

// ---- Round trips. ----

TEST(DctBlockStage, RandomRoundTripsAcrossFramesAgreeWithStraightDecoder) {
    std::mt19937 rng(77);
    for (bool inter : {false, true}) {
        for (uint32_t planes = 1; planes <= 4; ++planes) {
            SCOPED_TRACE(testing::Message() << "inter " << inter << " planes " << planes);
            const BinkContext context = contextWith(planes);
            auto encoder = makeDctBlockEncoder(context, inter);
            DctBlockDecoder decoder;
            ASSERT_TRUE(decoder.setup(inter, planes));
            ReferenceDecoder reference(inter);
            const int frames = planes == 4 ? 12 : 6;
            for (int frame = 0; frame < frames; ++frame) {
                const DctValues v = randomValues(rng, inter, planes);
                const PackFrame f = frameOf(v, inter);
                ASSERT_TRUE(encoder->accepts(f));
                const std::vector<uint8_t> chunk = encodeOrFail(*encoder, f);
                Outputs out;
                ASSERT_TRUE(decodeWith(decoder, chunk, out));
                expectSame(out, v);
                Outputs straight;
                ASSERT_TRUE(reference.decode(chunk, static_cast<int>(planes), straight));
                expectSame(straight, v);
                // The straight decoder also leaves the same position memory.
                for (int i = 0; i < 64; ++i) {
                    ASSERT_EQ(decoder.memory.sign[i], reference.signMem[i]);
                    ASSERT_EQ(decoder.memory.magnitude[i], reference.magMem[i]);
                }
            }
        }
    }
}

// The coefficient tables are stored packed by list length: every model a
// list can reach must still have a place of its own inside its table, or two
// of the format's models would become one.
TEST(DctBlockModels, CoefficientTablesGiveEveryReachableModelItsOwnPlace) {
    std::vector<uint8_t> used(dct::kModelCount);
    uint64_t misplaced = 0, shared = 0;
    auto take = [&](uint32_t index, uint32_t start, uint32_t end) {
        if (index < start || index >= end) ++misplaced;
        else if (used[index]++) ++shared;
    };
    const uint32_t lengthClasses[] = {0, 1, 2, 4, 8};  // one z per bit length of the zero run
    for (uint32_t n = 1; n <= dct::kMaxCount; ++n) {
        for (uint32_t i = 0; i < n; ++i) {
            for (uint32_t z : lengthClasses)
                for (uint32_t a = 0; a < 8; ++a)
                    for (uint32_t h = 0; h < 16; h += 2) take(dct::zeroFlagModel(z, a, h, i, n), dct::kZeroFlag, dct::kSign);
            for (uint32_t memory = 0; memory <= dct::kSignAfterReset; ++memory)
                for (uint32_t sh = 0; sh < 32; ++sh) take(dct::signModel(memory, sh, i, n), dct::kSign, dct::kMagnitudeOne);
            for (uint32_t a = 0; a < 8; ++a) {
                for (uint32_t memory = 0; memory < 8; ++memory) {
                    const uint32_t context = dct::magnitudeContext(a, memory, i, n);
                    take(dct::magnitudeOneModel(context), dct::kMagnitudeOne, dct::kMagnitudeLength);
                    for (uint32_t k = 0; k + 1 < dct::kMaxMagnitudeLength; ++k)
                        take(dct::magnitudeLengthBase(context) + k, dct::kMagnitudeLength, dct::kMagnitudeMantissa);
                }
                for (uint32_t M = 2; M <= dct::kMaxMagnitudeLength; ++M)
                    for (uint32_t j = 0; j + 1 < M; ++j)
                        take(dct::magnitudeMantissaBase(M, a, i, n) + j, dct::kMagnitudeMantissa, dct::kModelCount);
            }
        }
    }
    EXPECT_EQ(misplaced, 0u);
    EXPECT_EQ(shared, 0u);
}

TEST(DctBlockStage, ExtremeBlocksRoundTrip) {
    const BinkContext context = contextWith(2);
    auto encoder = makeDctBlockEncoder(context, true);
    DctBlockDecoder decoder;
    ASSERT_TRUE(decoder.setup(true, 2));
    DctValues v;
    std::vector<int32_t> full(63);
    for (int i = 0; i < 63; ++i) full[i] = (i & 1) ? -1023 : 1023;
    std::vector<int32_t> sparse(63, 0);
    sparse[62] = -512;
    addBlock(v, 15, 2047, full);
    addBlock(v, 0, -2047, sparse);
    addBlock(v, 7, 1, {-1});
    addBlock(v, 3, -1, {});
    addBlock(v, 0, 0, {2});
    v.blocks = {3, 2};
    const std::vector<uint8_t> chunk = encodeOrFail(*encoder, frameOf(v, true));
    Outputs out;
    ASSERT_TRUE(decodeWith(decoder, chunk, out));
    expectSame(out, v);
}

// The block counter of the end-flag context stops at 32767 blocks: a plane of
// more blocks keeps using the model of length 15, not the next plane's.
TEST(DctBlockStage, BlockCounterHoldsAt32767) {
    const BinkContext context = contextWith(2);
    auto encoder = makeDctBlockEncoder(context, false);
    DctValues v;
    for (int b = 0; b < 32800; ++b) addBlock(v, b & 15, b & 1, {});
    addBlock(v, 2, 3, {1});
    v.blocks = {32800, 1};
    const std::vector<uint8_t> chunk = encodeOrFail(*encoder, frameOf(v, false));
    DctBlockDecoder decoder;
    ASSERT_TRUE(decoder.setup(false, 2));
    ReferenceDecoder reference(false);
    Outputs out, straight;
    ASSERT_TRUE(decodeWith(decoder, chunk, out));
    expectSame(out, v);
    ASSERT_TRUE(reference.decode(chunk, 2, straight));
    expectSame(straight, v);
}

// Packets with no blocks (as for stored packets) still code one end flag per
// plane, with model 16p, and nothing else.
TEST(DctBlockStage, EmptyPacketCostsOneFlagPerPlane) {
    const BinkContext context = contextWith(4);
    auto encoder = makeDctBlockEncoder(context, false);
    DctBlockDecoder decoder;
    ASSERT_TRUE(decoder.setup(false, 4));
    PackFrame stored;
    stored.stored = true;
    const std::vector<uint8_t> chunk = encodeOrFail(*encoder, stored);
    Outputs out;
    ASSERT_TRUE(decodeWith(decoder, chunk, out));
    EXPECT_TRUE(out.q.empty() && out.dc.empty() && out.coefficients.empty());
    for (uint32_t i = 0; i < 200; ++i) {
        const bool flagModel = i % 16 == 0 && i < 64;
        EXPECT_EQ(probabilityOf(decoder.models[i]), flagModel ? 0x7E00u : 0x8000u) << i;
    }
}

// ---- State carried across blocks and frames. ----

TEST(DctBlockStage, PositionMemoryAfterAShortBlock) {
    const BinkContext context = contextWith(1);
    auto encoder = makeDctBlockEncoder(context, false);
    DctBlockDecoder decoder;
    ASSERT_TRUE(decoder.setup(false, 1));
    DctValues v;
    std::vector<int32_t> full(63, -3);
    const std::vector<int32_t> shortList = {5, 0, -1, 0, 0, 300, -2, 1, 0, 7};
    addBlock(v, 1, 4, full);
    addBlock(v, 2, 9, shortList);
    v.blocks = {2};
    Outputs out;
    ASSERT_TRUE(decodeWith(decoder, encodeOrFail(*encoder, frameOf(v, false)), out));
    expectSame(out, v);
    // Positions 10..63 are reset; 0..9 hold what the short block left: the
    // class of each coefficient and the last two sign bits of its history.
    for (int i = 10; i < 64; ++i) {
        EXPECT_EQ(decoder.memory.magnitude[i], 0) << i;
        EXPECT_EQ(decoder.memory.sign[i], 4) << i;
    }
    const uint8_t classes[10] = {3, 0, 1, 0, 0, 1, 2, 1, 0, 3};  // 300 has length 9: class 1
    // Signs of the non-zero values +, -, +, -, +, + give the histories 0, 01,
    // 010, 0101, 01010, 10100; each position keeps the low two bits.
    const uint8_t signs[10] = {0, 0, 1, 0, 0, 2, 1, 2, 0, 0};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(decoder.memory.magnitude[i], classes[i]) << i;
        if (shortList[i] != 0) {
            EXPECT_EQ(decoder.memory.sign[i], signs[i]) << i;
        }
    }
    // Zero positions keep the sign memory of the first block (all negative: 3).
    for (int i : {1, 3, 4, 8}) EXPECT_EQ(decoder.memory.sign[i], 3) << i;
}

TEST(DctBlockStage, ModelsAndPositionMemoryCarryAcrossFrames) {
    std::mt19937 rng(5);
    const BinkContext context = contextWith(3);
    auto encoder = makeDctBlockEncoder(context, true);
    DctValues first = randomValues(rng, true, 3);
    DctValues second = randomValues(rng, true, 3);
    // A full block at the end of each frame, so both have coefficients.
    addBlock(first, 4, 100, std::vector<int32_t>(63, 9));
    addBlock(second, 4, 100, std::vector<int32_t>(63, 9));
    first.blocks.back() += 1;
    second.blocks.back() += 1;
    const std::vector<uint8_t> chunk1 = encodeOrFail(*encoder, frameOf(first, true));
    const std::vector<uint8_t> chunk2 = encodeOrFail(*encoder, frameOf(second, true));
    DctBlockDecoder full;
    ASSERT_TRUE(full.setup(true, 3));
    Outputs out;
    ASSERT_TRUE(decodeWith(full, chunk1, out));
    ASSERT_TRUE(decodeWith(full, chunk2, out));
    expectSame(out, second);

    DctBlockDecoder fresh;
    ASSERT_TRUE(fresh.setup(true, 3));
    Outputs freshOut;
    const bool freshOk = decodeWith(fresh, chunk2, freshOut);
    EXPECT_FALSE(freshOk && freshOut.coefficients == second.coefficients && freshOut.dc == second.dc);

    // Position memory alone: the models of frame 1 but a cleared memory.
    DctBlockDecoder forgetful;
    ASSERT_TRUE(forgetful.setup(true, 3));
    ASSERT_TRUE(decodeWith(forgetful, chunk1, out));
    forgetful.memory = dct::PositionMemory();
    const bool forgetfulOk = decodeWith(forgetful, chunk2, freshOut);
    EXPECT_FALSE(forgetfulOk && freshOut.coefficients == second.coefficients && freshOut.dc == second.dc);
}

// ---- Frames the encoder refuses, leaving its state as it was. ----

TEST(DctBlockStage, EncoderRefusesWhatTheModelsCannotCarry) {
    const BinkContext context = contextWith(2);
    struct Case {
        const char* what;
        bool inter;
        DctValues v;
    };
    std::vector<Case> cases;
    auto one = [](uint32_t q, int32_t dc, std::vector<int32_t> list) {
        DctValues v;
        addBlock(v, q, dc, list);
        v.blocks = {1};
        return v;
    };
    cases.push_back({"DC length 12", true, one(0, 2048, {})});
    cases.push_back({"negative intra DC", false, one(0, -5, {})});
    cases.push_back({"magnitude 1024", false, one(0, 1, {0, 1024})});
    cases.push_back({"quantiser 16", false, one(16, 1, {1})});
    cases.push_back({"list ending on zero", true, one(0, 1, {3, 0})});
    {
        DctValues v = one(0, 1, {});
        v.coefficients.clear();
        put16(v.coefficients, 64);
        for (int i = 0; i < 64; ++i) put16(v.coefficients, 1);
        cases.push_back({"count 64", false, v});
    }
    {
        DctValues v = one(0, 1, {1, 2});
        v.coefficients.resize(v.coefficients.size() - 2);  // count says 2, one value follows
        cases.push_back({"count disagrees with values", false, v});
    }
    {
        DctValues v = one(0, 1, {1});
        v.blocks = {2};
        cases.push_back({"more blocks than values", false, v});
    }
    {
        DctValues v = one(0, 1, {1});
        v.blocks = {0};
        cases.push_back({"values left over", false, v});
    }
    {
        DctValues v = one(0, 1, {1});
        v.blocks = {0, 0, 1};
        cases.push_back({"blocks in a third plane", false, v});
    }
    {
        DctValues v = one(0, 1, {1});
        v.dc.pop_back();
        cases.push_back({"odd DC stream", true, v});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto encoder = makeDctBlockEncoder(context, c.inter);
        DctBlockDecoder decoder;
        ASSERT_TRUE(decoder.setup(c.inter, 2));
        EXPECT_FALSE(encoder->accepts(frameOf(c.v, c.inter)));
        std::vector<uint8_t> chunk = {1, 2, 3};
        EXPECT_FALSE(encoder->encode(frameOf(c.v, c.inter), chunk).ok());
        // Nothing changed: the next good frame decodes with fresh state.
        DctValues good = one(3, 7, {0, -4, 1});
        Outputs out;
        ASSERT_TRUE(decodeWith(decoder, encodeOrFail(*encoder, frameOf(good, c.inter)), out));
        expectSame(out, good);
    }
}

// ---- Corrupt chunks and small outputs. ----

TEST(DctBlockStage, CorruptChunksFailOrEndWithoutHanging) {
    // All zero bits: blocks keep following and the DC length runs past 11.
    DctBlockDecoder decoder;
    ASSERT_TRUE(decoder.setup(false, 3));
    Outputs out;
    EXPECT_FALSE(decodeWith(decoder, std::vector<uint8_t>(64, 0), out));
    EXPECT_FALSE(decodeWith(decoder, std::vector<uint8_t>(), out));

    // Random bytes, on decoders whose state the garbage keeps changing:
    // either result, but every call ends and stays inside its outputs.
    std::mt19937 rng(99);
    DctBlockDecoder decoders[2];
    ASSERT_TRUE(decoders[0].setup(false, 4));
    ASSERT_TRUE(decoders[1].setup(true, 3));
    for (int trial = 0; trial < 400; ++trial) {
        std::vector<uint8_t> garbage(rng() % 300);
        for (auto& b : garbage) b = static_cast<uint8_t>(rng());
        decodeWith(decoders[trial & 1], garbage, out, 4096);
        EXPECT_LE(out.coefficients.size(), 4096u);
    }
}

// A magnitude length code of nine zeros (length 11 or more) has no models:
// the decoder stops there instead of reading past the magnitude regions.
TEST(DctBlockStage, MagnitudeLengthPastTheTableFails) {
    auto chunkWithZeros = [](int zeros) {
        std::vector<BitModel> m(dct::kModelCount, kModelStart);
        std::vector<uint8_t> chunk;
        RangeEncoder re(chunk);
        re.encodeBit(m[dct::blockFollowsModel(0, 0)], 0);         // a block follows
        re.encodeTree(&m[dct::quantiserBase(0, 0)], 4, 0);        // q = 0
        re.encodeTree(&m[dct::countBase(0, 0)], 6, 1);            // n = 1
        re.encodeBit(m[dct::dcLengthBase(0, 0, 0, 0, 0)], 1);     // DC length 0
        re.encodeBit(m[dct::signModel(0, 0, 0, 1)], 0);           // positive
        const uint32_t context = dct::magnitudeContext(0, 0, 0, 1);
        re.encodeBit(m[dct::magnitudeOneModel(context)], 0);      // not one
        for (int k = 0; k < zeros; ++k) re.encodeBit(m[dct::magnitudeLengthBase(context) + k], 0);
        if (zeros <= 8) {  // a length the models cover: its 1, mantissa and the plane's end
            re.encodeBit(m[dct::magnitudeLengthBase(context) + zeros], 1);
            for (int j = 0; j < zeros + 1; ++j)
                re.encodeBit(m[dct::magnitudeMantissaBase(zeros + 2, 0, 0, 1) + j], 0);
            re.encodeBit(m[dct::blockFollowsModel(0, 1)], 1);
        }
        re.finish();
        return chunk;
    };
    DctBlockDecoder longest, tooLong;
    ASSERT_TRUE(longest.setup(false, 1));
    ASSERT_TRUE(tooLong.setup(false, 1));
    Outputs out;
    ASSERT_TRUE(decodeWith(longest, chunkWithZeros(8), out));  // length 10: 512
    DctValues expected;
    addBlock(expected, 0, 0, {512});
    expectSame(out, expected);
    EXPECT_FALSE(decodeWith(tooLong, chunkWithZeros(9), out));
}

TEST(DctBlockStage, OutputOverCapacityFails) {
    const BinkContext context = contextWith(1);
    auto encoder = makeDctBlockEncoder(context, false);
    DctValues v;
    for (int b = 0; b < 20; ++b) addBlock(v, 1, 5, {1, 2, 3});
    v.blocks = {20};
    const std::vector<uint8_t> chunk = encodeOrFail(*encoder, frameOf(v, false));
    DctBlockDecoder exact, small;
    ASSERT_TRUE(exact.setup(false, 1));
    ASSERT_TRUE(small.setup(false, 1));
    Outputs out;
    EXPECT_TRUE(decodeWith(exact, chunk, out, v.coefficients.size()));  // the largest of the three
    EXPECT_FALSE(decodeWith(small, chunk, out, v.coefficients.size() - 1));
    EXPECT_LE(out.coefficients.size(), v.coefficients.size() - 1);
}

TEST(DctBlockStage, RejectsMoreThanFourPlanes) {
    DctBlockDecoder d;
    EXPECT_FALSE(d.setup(false, 5));
}

// ---- Real Bink 1 files: the values the packet parser takes from every coded
// frame go through both DCT instances and the bundle length stage and come
// back exactly, frame after frame on the same models. ----

// Every third frame of each file, spread over the whole file (both sides
// see the same frames in the same order, so the models still carry): the
// whole files go through the stages in the pipeline's corpus tests, and this
// one, which says which frame and value differ, is the slowest test under
// the sanitizers and Wine.
TEST(DctBlockStage, CorpusValuesRoundTrip) {
    if (corpusBink1Files().empty()) GTEST_SKIP() << "no Bink 1 file in the corpus";
    for (const CorpusFile& corpusFile : corpusBink1Files()) {
        const BinkFile& file = corpusFile.bink;
        const BinkContext& context = corpusFile.context;
        SCOPED_TRACE(corpusFile.name);
        std::unique_ptr<StageEncoder> encoders[2] = {makeDctBlockEncoder(context, false),
                                                     makeDctBlockEncoder(context, true)};
        auto bundles = makeBundleLengthEncoder(context);
        DctBlockDecoder decoders[2];
        ASSERT_TRUE(decoders[0].setup(false, context.planeCount));
        ASSERT_TRUE(decoders[1].setup(true, context.planeCount));
        BundleLengthDecoder bundleDecoder;
        ASSERT_TRUE(bundleDecoder.setup(context));
        for (uint32_t j = 0; j < file.frameCount; j += 3) {
            PackFrame frame;
            frame.index = j;
            frame.video = file.video[j];
            if (!bink1FrameValues(context, frame)) continue;
            for (int inter = 0; inter < 2; ++inter) {
                ASSERT_TRUE(encoders[inter]->accepts(frame)) << "frame " << j;
                Outputs out;
                ASSERT_TRUE(decodeWith(decoders[inter], encodeOrFail(*encoders[inter], frame), out)) << "frame " << j;
                const bink1::DctStreams& n = bink1::dctStreams(inter);
                ASSERT_EQ(out.q, frame.streams[n.quantisers]) << "frame " << j;
                ASSERT_EQ(out.dc, frame.streams[n.dc]) << "frame " << j;
                ASSERT_EQ(out.coefficients, frame.streams[n.coefficients]) << "frame " << j;
            }
            ASSERT_TRUE(bundles->accepts(frame)) << "frame " << j;
            std::vector<uint8_t> lengths(frame.streams[bink1::kChunkCounts].size() + 2);
            StreamArray<ValueWriter> w;
            w[bink1::kChunkCounts] = ValueWriter(lengths.data(), lengths.size());
            const std::vector<uint8_t> chunk = encodeOrFail(*bundles, frame);
            ASSERT_TRUE(bundleDecoder.decodeChunk(chunk.data(), chunk.size(), w)) << "frame " << j;
            lengths.resize(w[bink1::kChunkCounts].size());
            ASSERT_EQ(lengths, frame.streams[bink1::kChunkCounts]) << "frame " << j;
        }
    }
}

// ---- The stage routines on their own threads. ----

TEST(DctBlockStage, IntraAndInterThreadsReportFailure) {
    std::mt19937 rng(11);
    for (bool inter : {false, true}) {
        SCOPED_TRACE(inter ? "inter" : "intra");
        const bink1::DctStreams& n = bink1::dctStreams(inter);
        const BinkContext context = contextWith(3);
        StageHarness h(inter ? DctInterStage : DctIntraStage, context, {n.quantisers, n.dc, n.coefficients}, 1 << 16);
        auto encoder = makeDctBlockEncoder(context, inter);
        for (int frame = 0; frame < 3; ++frame) {
            const DctValues v = randomValues(rng, inter, 3);
            h.cycle(encodeOrFail(*encoder, frameOf(v, inter)));
            ASSERT_EQ(h.stage.failed, 0);
            EXPECT_EQ(h.written(n.quantisers), v.q);
            EXPECT_EQ(h.written(n.dc), v.dc);
            EXPECT_EQ(h.written(n.coefficients), v.coefficients);
        }
        h.cycle(std::vector<uint8_t>(16, 0));  // corrupt: the stage fails and stays failed
        EXPECT_EQ(h.stage.failed, 1);
    }
}

}  // namespace
}  // namespace dev
