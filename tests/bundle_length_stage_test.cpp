// Bundle length stage and its encoder: lists of every interesting size over
// consecutive frames, checked against a straight decoder written from the
// format; models carrying across frames; refused lists; small outputs and
// corrupt chunks; the stage routine on its own thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "core/little_endian.h"
#include "core/stage_protocol.h"
#include "pack/stage_encoder.h"
#include "stages/bundle_length_grammar.h"
#include "stages/stages.h"
#include "tests/stage_fixtures.h"
#include "writers/bink1/streams.h"

namespace dev {
namespace {

using namespace stage_fixtures;

std::vector<uint8_t> wordsOf(const std::vector<uint32_t>& values) {
    std::vector<uint8_t> bytes;
    for (uint32_t v : values) appendLe16(bytes, v);
    return bytes;
}

PackFrame frameOf(const std::vector<uint32_t>& values) {
    PackFrame f;
    f.streams[bink1::kChunkCounts] = wordsOf(values);
    return f;
}

std::vector<uint32_t> randomList(std::mt19937& rng, size_t count) {
    std::vector<uint32_t> v(count);
    for (auto& x : v) {
        const uint32_t r = rng() % 10;
        x = r < 3 ? 0 : r < 8 ? rng() % 70 : (r == 8 ? 0x7FFF : rng() % 0x8000);
    }
    return v;
}

bool decodeWith(BundleLengthDecoder& d, const std::vector<uint8_t>& chunk, std::vector<uint8_t>& out,
                size_t capacity = 1 << 16) {
    out.assign(capacity, 0);
    StreamArray<ValueWriter> w;
    w[bink1::kChunkCounts] = ValueWriter(out.data(), capacity);
    const bool ok = d.decodeChunk(chunk.data(), chunk.size(), w);
    out.resize(w[bink1::kChunkCounts].size());
    return ok;
}

// Straight from the format: 1582 models, end flag min(k, 1023) >> 4, then the
// zero flag at 64, the length tree at 69 + node and the mantissa at 101 + ctx.
struct ReferenceDecoder {
    std::vector<BitModel> m = std::vector<BitModel>(1582, kModelStart);

    std::vector<uint8_t> decode(const std::vector<uint8_t>& chunk) {
        std::vector<uint32_t> values;
        RangeDecoder rd;
        rd.init(chunk.data(), chunk.size());
        for (uint32_t k = 0; !rd.decodeBit(m[std::min(k, 1023u) >> 4]); ++k) {
            uint32_t value = 0;
            if (!rd.decodeBit(m[64])) {
                uint32_t node = 1;
                for (int i = 0; i < 5; ++i) node = 2 * node + rd.decodeBit(m[69 + node]);
                const uint32_t n = node - 32;
                uint32_t mantissa = 0, ctx = 1;
                for (uint32_t i = 0; i < n; ++i) {
                    const uint32_t b = rd.decodeBit(m[101 + ctx]);
                    mantissa |= b << i;
                    ctx = ctx < 16 ? 2 * ctx + b : (ctx & 30) + b;
                }
                value = ((1u << n) + mantissa) & 0xFFFF;
            }
            values.push_back(value);
        }
        return wordsOf(values);
    }
};

TEST(BundleLengthStage, ListsOfEverySizeRoundTripAcrossFrames) {
    std::mt19937 rng(3);
    BinkContext context;
    auto encoder = makeBundleLengthEncoder(context);
    BundleLengthDecoder decoder;
    ASSERT_TRUE(decoder.setup(BinkContext{}));
    ReferenceDecoder reference;
    for (size_t count : {size_t(0), size_t(1), size_t(1023), size_t(1024), size_t(3000), size_t(17), size_t(0),
                         size_t(1025)}) {
        SCOPED_TRACE(count);
        const std::vector<uint32_t> values = randomList(rng, count);
        const PackFrame f = frameOf(values);
        ASSERT_TRUE(encoder->accepts(f));
        const std::vector<uint8_t> chunk = encodeOrFail(*encoder, f);
        std::vector<uint8_t> out;
        ASSERT_TRUE(decodeWith(decoder, chunk, out));
        EXPECT_EQ(out, f.streams[bink1::kChunkCounts]);
        EXPECT_EQ(reference.decode(chunk), f.streams[bink1::kChunkCounts]);
    }
    // Every model outside 0..63, 64, 70..100 and 102..132 is untouched.
    for (uint32_t i = 0; i < bundle::kModelCount; ++i) {
        const bool used = i <= 64 || (i >= 70 && i <= 100) || i >= 102;
        if (!used) {
            EXPECT_EQ(decoder.models[i], kModelStart) << i;
        }
        EXPECT_EQ(decoder.models[i], reference.m[i]) << i;
    }
}

TEST(BundleLengthStage, EmptyListIsOneFlagOnModelZero) {
    BinkContext context;
    auto encoder = makeBundleLengthEncoder(context);
    BundleLengthDecoder decoder;
    ASSERT_TRUE(decoder.setup(BinkContext{}));
    std::vector<uint8_t> out;
    ASSERT_TRUE(decodeWith(decoder, encodeOrFail(*encoder, PackFrame()), out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(probabilityOf(decoder.models[0]), 0x7E00u);
    for (uint32_t i = 1; i < bundle::kModelCount; ++i) EXPECT_EQ(decoder.models[i], kModelStart) << i;
}

TEST(BundleLengthStage, ModelsCarryAcrossFrames) {
    std::mt19937 rng(8);
    BinkContext context;
    auto encoder = makeBundleLengthEncoder(context);
    const std::vector<uint32_t> first = randomList(rng, 200), second = randomList(rng, 200);
    const std::vector<uint8_t> chunk1 = encodeOrFail(*encoder, frameOf(first));
    const std::vector<uint8_t> chunk2 = encodeOrFail(*encoder, frameOf(second));
    BundleLengthDecoder carried, fresh;
    ASSERT_TRUE(carried.setup(BinkContext{}));
    ASSERT_TRUE(fresh.setup(BinkContext{}));
    std::vector<uint8_t> out, freshOut;
    ASSERT_TRUE(decodeWith(carried, chunk1, out));
    ASSERT_TRUE(decodeWith(carried, chunk2, out));
    EXPECT_EQ(out, wordsOf(second));
    decodeWith(fresh, chunk2, freshOut);
    EXPECT_NE(freshOut, wordsOf(second));
}

TEST(BundleLengthStage, EncoderRefusesNegativeCountsAndHalfWords) {
    BinkContext context;
    auto encoder = makeBundleLengthEncoder(context);
    PackFrame negative = frameOf({3, 0x8000, 4});
    PackFrame odd = frameOf({3, 4});
    odd.streams[bink1::kChunkCounts].pop_back();
    for (const PackFrame* f : {&negative, &odd}) {
        EXPECT_FALSE(encoder->accepts(*f));
        std::vector<uint8_t> chunk;
        EXPECT_FALSE(encoder->encode(*f, chunk).ok());
    }
    // No state changed: a fresh decoder follows the next list.
    BundleLengthDecoder decoder;
    ASSERT_TRUE(decoder.setup(BinkContext{}));
    std::vector<uint8_t> out;
    ASSERT_TRUE(decodeWith(decoder, encodeOrFail(*encoder, frameOf({9, 0, 0x7FFF})), out));
    EXPECT_EQ(out, wordsOf({9, 0, 0x7FFF}));
}

TEST(BundleLengthStage, SmallOutputAndCorruptChunksFail) {
    BinkContext context;
    auto encoder = makeBundleLengthEncoder(context);
    const std::vector<uint8_t> chunk = encodeOrFail(*encoder, frameOf({1, 2, 3, 4}));
    BundleLengthDecoder exact, small;
    ASSERT_TRUE(exact.setup(BinkContext{}));
    ASSERT_TRUE(small.setup(BinkContext{}));
    std::vector<uint8_t> out;
    EXPECT_TRUE(decodeWith(exact, chunk, out, 8));
    EXPECT_FALSE(decodeWith(small, chunk, out, 7));

    // Zero bits past the end say "a value follows" for ever: the output ends it.
    BundleLengthDecoder d;
    ASSERT_TRUE(d.setup(BinkContext{}));
    EXPECT_FALSE(decodeWith(d, std::vector<uint8_t>(), out, 4096));
    EXPECT_FALSE(decodeWith(d, std::vector<uint8_t>(40, 0), out, 4096));
    std::mt19937 rng(1);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<uint8_t> garbage(rng() % 100);
        for (auto& b : garbage) b = static_cast<uint8_t>(rng());
        decodeWith(d, garbage, out, 4096);
        EXPECT_LE(out.size(), 4096u);
    }
}

TEST(BundleLengthStage, ThreadWritesItsBackBufferAndReportsFailure) {
    const BinkContext context;
    StageHarness h(BundleLengthStage, context, {bink1::kChunkCounts}, 64);
    ASSERT_NE(h.stage.thread, nullptr);
    auto encoder = makeBundleLengthEncoder(context);
    h.cycle(encodeOrFail(*encoder, frameOf({5, 6, 7})));
    EXPECT_EQ(h.stage.failed, 0);
    EXPECT_EQ(h.written(bink1::kChunkCounts), wordsOf({5, 6, 7}));
    h.cycle(encodeOrFail(*encoder, frameOf({})));  // the next chunk goes to the next ring buffer
    EXPECT_TRUE(h.written(bink1::kChunkCounts).empty());
    h.cycle(encodeOrFail(*encoder, frameOf(std::vector<uint32_t>(33, 1))));  // overlong
    EXPECT_EQ(h.stage.failed, 1);
}

}  // namespace
}  // namespace dev
