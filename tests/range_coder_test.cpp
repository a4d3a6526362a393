#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "core/range_decoder.h"
#include "pack/range_encoder.h"

namespace dev {
namespace {

TEST(RangeDecoder, FreshModelBoundAndUpdates) {
    // Code 0x7FFFFFFE is below the bound 0x7FFFFFFF of a fresh model: 0.
    const uint8_t below[4] = {0x7F, 0xFF, 0xFF, 0xFE};
    RangeDecoder rd;
    rd.init(below, 4);
    BitModel m = kModelStart;
    EXPECT_EQ(rd.decodeBit(m), 0u);
    EXPECT_EQ(probabilityOf(m), 0x81FFu);

    const uint8_t at[4] = {0x7F, 0xFF, 0xFF, 0xFF};
    rd.init(at, 4);
    m = kModelStart;
    EXPECT_EQ(rd.decodeBit(m), 1u);
    EXPECT_EQ(probabilityOf(m), 0x7E00u);
}

TEST(RangeDecoder, ShortChunksTakeHighOrderBytesAndZerosPastTheEnd) {
    const uint8_t bytes[4] = {0x12, 0x34, 0x56, 0x78};
    const uint32_t expected[5] = {0, 0x12000000u, 0x12340000u, 0x12345600u, 0x12345678u};
    RangeDecoder rd;
    for (size_t n = 0; n <= 4; ++n) {
        rd.init(n ? bytes : nullptr, n);
        EXPECT_EQ(rd.code, expected[n]) << n;
        EXPECT_EQ(rd.range, 0xFFFFFFFFu);
        EXPECT_EQ(rd.position, rd.end);
    }
    BitModel m = kModelStart;
    for (int i = 0; i < 1000; ++i) rd.decodeBit(m);  // never reads past the chunk
    EXPECT_EQ(rd.position, rd.end);
}

TEST(RangeDecoder, ModelsSaturate) {
    std::vector<uint8_t> zeros(64, 0);
    RangeDecoder rd;
    rd.init(zeros.data(), zeros.size());
    BitModel m = kModelStart;
    for (int i = 0; i < 2000; ++i) rd.decodeBit(m);
    EXPECT_EQ(probabilityOf(m), 65472u);
    std::vector<uint8_t> ones;
    BitModel e = kModelStart;
    RangeEncoder re(ones);
    for (int i = 0; i < 2000; ++i) re.encodeBit(e, 1);
    re.finish();
    EXPECT_EQ(probabilityOf(e), 63u);
    rd.init(ones.data(), ones.size());
    m = kModelStart;
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(rd.decodeBit(m), 1u);
    EXPECT_EQ(probabilityOf(m), 63u);
}

struct Op {
    int kind;  // 0 bit, 1 tree, 2 integer
    uint32_t value;
    int n;
    bool isSigned;
};

TEST(RangeCoder, RandomRoundTrips) {
    std::mt19937 rng(1234);
    const int32_t specials[] = {0, 1, -1, 2, -2, INT32_MIN, INT32_MAX, int32_t(0x80000000u), 65535, -65536};
    for (int trial = 0; trial < 200; ++trial) {
        const int count = trial % 7 == 0 ? trial % 4 : int(rng() % 3000);
        std::vector<Op> ops;
        for (int i = 0; i < count; ++i) {
            Op op{int(rng() % 3), 0, 1 + int(rng() % 12), bool(rng() & 1)};
            if (op.kind == 0) op.value = (rng() % 100) < 85 ? 0 : 1;  // skewed
            if (op.kind == 1) op.value = rng() & ((1u << op.n) - 1);
            if (op.kind == 2) {
                const uint32_t r = rng() % 4;
                op.value = r == 0 ? uint32_t(specials[rng() % 10]) : (r == 1 ? rng() : rng() % 300);
            }
            ops.push_back(op);
        }
        std::vector<BitModel> enc(4096 + 69 * 2, kModelStart), dec(enc);
        uint8_t encHist = 0, decHist = 0;
        std::vector<uint8_t> bytes;
        {
            RangeEncoder re(bytes);
            for (const Op& op : ops) {
                if (op.kind == 0) re.encodeBit(enc[op.n], op.value);
                if (op.kind == 1) re.encodeTree(&enc[100], op.n, op.value);
                if (op.kind == 2) re.encodeInteger(&enc[4096 + (op.isSigned ? 69 : 0)], encHist, op.isSigned, int32_t(op.value));
            }
            re.finish();
        }
        // The flush leaves no zero byte at the end (the decoder reads zeros
        // past a chunk), and a chunk without decisions takes no bytes.
        EXPECT_TRUE(bytes.empty() || bytes.back() != 0) << "trial " << trial;
        EXPECT_TRUE(!ops.empty() || bytes.empty());
        // The branch-free forms decode the same values into the same state.
        RangeDecoder rd, even;
        rd.init(bytes.data(), bytes.size());
        even.init(bytes.data(), bytes.size());
        std::vector<BitModel> evenModels(dec);
        uint8_t evenHist = 0;
        for (const Op& op : ops) {
            uint32_t got = 0, evenGot = 0;
            if (op.kind == 0) {
                got = rd.decodeBit(dec[op.n]);
                evenGot = even.decodeEvenBit(evenModels[op.n]);
            }
            if (op.kind == 1) {
                got = rd.decodeTree(&dec[100], op.n);
                evenGot = even.decodeEvenTree(&evenModels[100], op.n);
            }
            if (op.kind == 2) {
                got = uint32_t(rd.decodeInteger(&dec[4096 + (op.isSigned ? 69 : 0)], decHist, op.isSigned));
                evenGot = uint32_t(
                    even.decodeInteger(&evenModels[4096 + (op.isSigned ? 69 : 0)], evenHist, op.isSigned));
            }
            ASSERT_EQ(got, op.value) << "trial " << trial;
            ASSERT_EQ(evenGot, got) << "trial " << trial;
            ASSERT_TRUE(even.code == rd.code && even.range == rd.range) << "trial " << trial;
        }
        EXPECT_TRUE(evenModels == dec) << "trial " << trial;
        EXPECT_EQ(encHist, decHist);
        EXPECT_LE(rd.position, rd.end);
    }
}

TEST(RangeDecoder, NormalisationTakesOneBytePerShift) {
    // A range just above 2^8 after init needs two shifts (two bytes) before
    // the next decision.
    const uint8_t chunk[8] = {0, 0, 0, 0, 0xAB, 0xCD, 0xEF, 0x01};
    RangeDecoder rd;
    rd.init(chunk, sizeof chunk);
    rd.range = 0x1FF;
    BitModel m = kModelStart;
    rd.decodeBit(m);
    EXPECT_EQ(rd.position, chunk + 6);
}

TEST(RangeCoder, IntegerExponentsReadExactlyTheirMantissaBits) {
    // Exponent 0 (magnitude 1) reads no mantissa decision.  Exponent 31 reads
    // 31; after the first four the context keeps bit 4 and the first three
    // bits, so an all-zero or all-one mantissa only ever meets five contexts.
    struct Case {
        uint32_t value;
        int contexts;
    };
    for (const Case k : {Case{1, 0}, Case{0x80000000u, 5}, Case{0xFFFFFFFFu, 5}}) {
        std::vector<uint8_t> bytes;
        BitModel enc[IntegerModels::kSize];
        resetModels(enc, IntegerModels::kSize);
        uint8_t h = 0;
        RangeEncoder re(bytes);
        re.encodeInteger(enc, h, false, int32_t(k.value));
        re.finish();
        int touched = 0;
        for (int t = IntegerModels::kMantissa; t < IntegerModels::kSize; ++t) touched += enc[t] != kModelStart;
        EXPECT_EQ(touched, k.contexts) << k.value;
        BitModel dec[IntegerModels::kSize];
        resetModels(dec, IntegerModels::kSize);
        RangeDecoder rd;
        rd.init(bytes.data(), bytes.size());
        uint8_t dh = 0;
        EXPECT_EQ(uint32_t(rd.decodeInteger(dec, dh, false)), k.value);
        EXPECT_TRUE(std::equal(dec, dec + IntegerModels::kSize, enc)) << k.value;
    }
}

TEST(RangeCoder, IntegerZeroFlagLeavesSignHistoryAndUnsignedNeverTouchesSignModels) {
    std::vector<uint8_t> bytes;
    BitModel enc[69], dec[69];
    resetModels(enc, 69);
    resetModels(dec, 69);
    uint8_t h = 2;
    {
        RangeEncoder re(bytes);
        re.encodeInteger(enc, h, true, 0);
        re.encodeInteger(enc, h, false, 5);
        re.finish();
    }
    EXPECT_EQ(h, 2);
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(enc[i], kModelStart);
    RangeDecoder rd;
    rd.init(bytes.data(), bytes.size());
    uint8_t dh = 2;
    EXPECT_EQ(rd.decodeInteger(dec, dh, true), 0);
    EXPECT_EQ(rd.decodeInteger(dec, dh, false), 5);
    EXPECT_EQ(dh, 2);
}

}  // namespace
}  // namespace dev
