// The Bink 1 plane syntax in its writing direction: BitWriter, tables, tree
// descriptions and bundle chunks, the block walk, and the coefficient and
// residue fields.  Value streams are built by hand; the expected bitstream of
// each case is spelled out field by field.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <random>
#include <vector>

#include "core/bink_context.h"
#include "core/little_endian.h"
#include "testkit/bink1_plane_writer.h"
#include "writers/bink1/plane_syntax.h"
#include "writers/bit_writer.h"
#include "writers/frame_output.h"

namespace dev {
namespace {

using namespace bink1;

// ---------------------------------------------------------------------------
// Helpers

// Collects expected bits with a BitWriter of its own (checked separately).
struct Bits {
    std::vector<uint8_t> buf = std::vector<uint8_t>(1 << 16);
    BitWriter w{buf.data(), buf.data() + buf.size()};
    // Any width; fields wider than 32 bits are zero above bit 31.
    Bits& put(uint32_t v, uint32_t n) {
        for (; n > 32; n -= 32, v = 0) w.put(v, 32);
        w.put(v, n);
        return *this;
    }
    // Writes every bit of a sequence, one per element.
    Bits& bits(std::initializer_list<int> v) {
        for (int b : v) w.put(static_cast<uint32_t>(b), 1);
        return *this;
    }
    // 23 tree descriptions of tree 0.
    Bits& identityTrees() {
        for (int i = 0; i < 23; ++i) w.put(0, 4);
        return *this;
    }
    std::vector<uint8_t> done() {
        w.flush();
        return std::vector<uint8_t>(buf.data(), w.out);
    }
};

// A frame with hand-built front buffers for every sub-stream.
struct Rig {
    StreamArray<std::vector<uint8_t>> sub;
    StreamArray<StreamBuffer> streams;
    BundleAreas areas;
    std::vector<uint8_t> frame;
    BinkContext c;
    FrameOutput out;
    size_t room;

    Rig(uint32_t width, uint32_t height, size_t outBytes = 1 << 16) : frame(outBytes + 64, 0xAA), room(outBytes) {
        c.width = width;
        c.height = height;
        EXPECT_TRUE(areas.allocate(width, height));
        out.streams = &streams;
        out.out = frame.data();
        out.outEnd = frame.data() + outBytes;
    }
    Rig& b8(int n, std::initializer_list<int> v) {
        for (int x : v) sub[n].push_back(static_cast<uint8_t>(x));
        return *this;
    }
    Rig& b16(int n, std::initializer_list<int> v) {
        for (int x : v) appendLe16(sub[n], static_cast<uint32_t>(x));
        return *this;
    }
    Rig& identityTrees() {
        for (uint32_t i = 0; i < kTreesPerPlane; ++i) sub[kTrees].push_back(0);
        return *this;
    }
    // Hands the value streams over as the front buffers of this cycle.
    void arm() {
        for (int n = 1; n <= kStreamCount; ++n) streams[n].holdFront(sub[n].data(), static_cast<uint32_t>(sub[n].size()));
    }
    int32_t plane(int isChroma = 0) {
        if (!armed) arm();
        armed = true;
        return writePlane(c, out, areas, isChroma != 0);
    }
    std::vector<uint8_t> written() const { return std::vector<uint8_t>(frame.data(), static_cast<const uint8_t*>(out.out)); }
    size_t consumed(int n) const { return static_cast<size_t>(streams[n].cursor - streams[n].buffers[0]); }
    bool guardIntact() const {
        for (size_t i = room; i < frame.size(); ++i)
            if (frame[i] != 0xAA) return false;
        return true;
    }
    // Every value of every stream the planes read was taken.
    void expectAllConsumed() const {
        for (int n = kBlockTypes; n <= kStreamCount; ++n)
            if (n != kPacketRecords) {
                EXPECT_EQ(consumed(n), sub[n].size()) << "sub-stream " << n;
            }
    }
    bool armed = false;
};

// Chunk count widths of the nine bundles of a luma plane `columns` blocks wide.
struct Widths {
    uint32_t w[kBundleCount];
    explicit Widths(uint32_t columns) {
        PlaneGeometry g;
        EXPECT_TRUE(planeGeometry(columns * 8, 8, false, g));
        std::memcpy(w, g.countWidth, sizeof w);
    }
};

// Writes the nine chunk counts of a row where only the listed bundles have
// a chunk: the counts go to kChunkCounts and their fields to the expected
// bits, in bundle order; `chunk` writes the coded values after a count.
template <class F>
void rowChunks(Rig& rig, Bits& bits, const Widths& wd, std::initializer_list<int> counts, F&& chunk) {
    int b = 0;
    for (int n : counts) {
        if (n >= 0) {
            rig.b16(kChunkCounts, {n});
            bits.put(static_cast<uint32_t>(n), wd.w[b]);
            if (n > 0) chunk(b);
        }
        ++b;
    }
}

// ---------------------------------------------------------------------------
// BitWriter

TEST(BitWriter, FieldsFillWordsLowestBitFirstAndLittleEndian) {
    uint8_t buf[16] = {};
    BitWriter w(buf, buf + sizeof buf);
    w.put(1, 1);
    w.put(0x5, 3);        // bits 1..3
    w.put(0xABCDE, 20);   // bits 4..23
    w.put(0x3FF, 10);     // straddles the first word: 8 bits here, 2 in the next
    EXPECT_EQ(w.out, buf + 4);
    EXPECT_EQ(w.fill, 2u);
    w.flush();
    EXPECT_EQ(w.out, buf + 8);
    const uint8_t expect[8] = {0xEB, 0xCD, 0xAB, 0xFF, 0x03, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(buf, expect, 8));
    w.put(0xDEADBEEF, 32);
    w.flush();
    const uint8_t word[4] = {0xEF, 0xBE, 0xAD, 0xDE};
    EXPECT_EQ(0, std::memcmp(buf + 8, word, 4));
}

TEST(BitWriter, FullAccumulatorIsStoredOnlyWhenTheNextBitComes) {
    uint8_t buf[12] = {};
    BitWriter w(buf, buf + sizeof buf);
    w.put(0xFFFF, 16);
    w.put(0x8001, 16);
    EXPECT_EQ(w.fill, 32u);
    EXPECT_EQ(w.out, buf);  // resting full, nothing stored yet
    w.put(0, 0);            // an empty field changes nothing
    EXPECT_EQ(w.out, buf);
    w.put(1, 1);            // now the word goes out and the bit starts the next
    EXPECT_EQ(w.out, buf + 4);
    EXPECT_EQ(w.acc, 1u);
    w.flush();
    w.flush();  // an empty accumulator still makes a whole word
    EXPECT_EQ(w.out, buf + 12);
    const uint8_t expect[12] = {0xFF, 0xFF, 0x01, 0x80, 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(buf, expect, 12));
}

TEST(BitWriter, NeverStoresPastItsEnd) {
    uint8_t buf[8];
    std::memset(buf, 0xAA, sizeof buf);
    BitWriter w(buf, buf + 6);  // room for one word only
    w.put(0x12345678, 32);
    w.put(1, 1);
    EXPECT_FALSE(w.overflow);
    w.flush();
    EXPECT_TRUE(w.overflow);
    EXPECT_EQ(w.out, buf + 4);
    EXPECT_EQ(buf[4], 0xAA);
    EXPECT_EQ(buf[5], 0xAA);
}

// ---------------------------------------------------------------------------
// Tables

TEST(Bink1Tables, EveryTreeIsACompletePrefixCodeReadLowBitFirst) {
    for (int t = 0; t < 16; ++t) {
        const CodeRow& row = kCodeRows[t];
        double kraft = 0;
        for (int i = 0; i < 16; ++i) {
            ASSERT_LT(row.code[i], 1u << row.length[i]) << t << ' ' << i;
            kraft += 1.0 / (1u << row.length[i]);
            for (int j = 0; j < 16; ++j) {
                if (i == j || row.length[i] > row.length[j]) continue;
                const uint32_t prefix = row.code[j] & ((1u << row.length[i]) - 1);
                EXPECT_NE(prefix, row.code[i]) << "tree " << t << " codes " << i << ", " << j;
            }
        }
        EXPECT_DOUBLE_EQ(kraft, 1.0) << "tree " << t;
    }
}

TEST(Bink1Tables, CoefficientOrderIsAPermutationAndBitLengthCountsBits) {
    bool seen[64] = {};
    for (uint8_t s : kCoefficientOrder) {
        ASSERT_LT(s, 64);
        EXPECT_FALSE(seen[s]);
        seen[s] = true;
    }
    EXPECT_EQ(kCoefficientOrder[0], 0);
    EXPECT_EQ(bitLength(0), 0u);
    EXPECT_EQ(bitLength(1), 1u);
    EXPECT_EQ(bitLength(3), 2u);
    EXPECT_EQ(bitLength(255), 8u);
    EXPECT_EQ(bitLength(256), 9u);
    EXPECT_EQ(bitLength(0x8000), 16u);
}

// ---------------------------------------------------------------------------
// Plane set-up and tree descriptions

TEST(Bink1Plane, TreeOfNumberZeroIsFourBitsAndAnEmptyPlaneIsTreesAndFlush) {
    Rig rig(64, 0);
    rig.identityTrees();
    ASSERT_EQ(rig.plane(), 0);
    EXPECT_EQ(rig.written(), std::vector<uint8_t>(12, 0));  // 92 bits in 3 words
    rig.expectAllConsumed();
}

TEST(Bink1Plane, PlaneEndingOnAWordBoundaryGetsNoEmptyWord) {
    // 22 trees of 4 bits and one explicit list of 8 values (4+1+3+32 bits)
    // make 128 bits: exactly four words.
    Rig rig(64, 0);
    Bits bits;
    for (int i = 0; i < 22; ++i) {
        rig.b8(kTrees, {0});
        bits.put(0, 4);
    }
    rig.b8(kTrees, {5, 1, 7, 15, 14, 13, 12, 11, 10, 9, 8});
    bits.put(5, 4).put(1, 1).put(7, 3);
    for (int v = 15; v >= 8; --v) bits.put(static_cast<uint32_t>(v), 4);
    ASSERT_EQ(rig.plane(), 0);
    EXPECT_EQ(rig.written().size(), 16u);
    EXPECT_EQ(rig.written(), bits.done());
}

TEST(Bink1Plane, MergePassesTakeBitsOnlyWhileBothRunsHaveElements) {
    // Bundle 3 (patterns) gets tree 2 with four merge passes over sorted
    // input: 8 + 8 + 8 + 8 bits of 0, not 8 + 16 + 32 + 64.
    Rig rig(8, 0);
    Bits bits;
    for (int i = 0; i < 19; ++i) rig.b8(kTrees, {0});
    rig.b8(kTrees, {2, 0, 3});
    for (int i = 0; i < 32; ++i) rig.b8(kTrees, {0});
    for (int i = 0; i < 3; ++i) rig.b8(kTrees, {0});
    bits.put(0, 76).put(2, 4).put(0, 1).put(3, 2).put(0, 32).put(0, 12);
    rig.b8(kTrees, {9});  // left for the next plane
    ASSERT_EQ(rig.plane(), 0);
    EXPECT_EQ(rig.written(), bits.done());
    EXPECT_EQ(rig.consumed(kTrees), rig.sub[kTrees].size() - 1);
}

TEST(Bink1Plane, ConsecutivePlanesTakeTheirValuesInWritingOrder) {
    Rig rig(16, 0);
    rig.identityTrees();    // first plane
    rig.b8(kTrees, {1, 0, 0});  // second plane, bundle 0: tree 1 by one merge pass
    for (int i = 0; i < 8; ++i) rig.b8(kTrees, {1});
    for (int i = 0; i < 22; ++i) rig.b8(kTrees, {0});
    ASSERT_EQ(rig.plane(), 0);
    EXPECT_EQ(rig.consumed(kTrees), 23u);
    ASSERT_EQ(rig.plane(1), 0);
    rig.expectAllConsumed();
    std::vector<uint8_t> expect = Bits().identityTrees().done();
    const std::vector<uint8_t> second = Bits().put(1, 4).put(0, 1).put(0, 2).put(0xFF, 8).put(0, 88).done();
    expect.insert(expect.end(), second.begin(), second.end());
    EXPECT_EQ(rig.written(), expect);
}

// ---------------------------------------------------------------------------
// Bundle chunks

TEST(Bink1Chunks, BlockTypesAllZeroAreOneBitAndFourZeros) {
    Rig rig(8, 8);
    rig.identityTrees();
    Bits bits;
    bits.identityTrees();
    rowChunks(rig, bits, Widths(1), {1, 0, 0, 0, 0, 0, 0, 0, 0}, [&](int) {
        rig.b8(kBlockTypes, {0});
        bits.put(1, 1).put(0, 4);
    });
    ASSERT_EQ(rig.plane(), 0);
    EXPECT_EQ(rig.written(), bits.done());
    rig.expectAllConsumed();
}

// A row of skip (0) and motion (2) blocks whose block-type chunk must be
// coded with the given tree symbols (tree 0: each symbol is 4 bits).
void typeChunk(const std::vector<int>& types, std::initializer_list<uint32_t> symbols) {
    const uint32_t n = static_cast<uint32_t>(types.size());
    Rig rig(8 * n, 8);
    rig.identityTrees();
    Bits bits;
    bits.identityTrees();
    rowChunks(rig, bits, Widths(n), {static_cast<int>(n), 0, 0, 0, 0, 0, 0, 0, 0}, [&](int) {
        for (int t : types) rig.b8(kBlockTypes, {t});
        bits.put(0, 1);
        for (uint32_t v : symbols) bits.put(v, 4);
    });
    EXPECT_EQ(rig.plane(), 0);
    rig.expectAllConsumed();
    EXPECT_EQ(rig.written(), bits.done()) << n << " block types";
}

std::vector<int> repeated(int value, int n, std::initializer_list<int> then = {}) {
    std::vector<int> v(static_cast<size_t>(n), value);
    v.insert(v.end(), then);
    return v;
}

TEST(Bink1Chunks, RunCodesCoverOnlyWhatRemainsBeyondThem) {
    typeChunk(repeated(2, 32), {2, 14, 14, 12, 2, 2, 2});     // 31 repeats: 12 + 12 + 4 + 3
    typeChunk(repeated(2, 33), {2, 14, 14, 12, 2, 2, 2, 2});  // 32 repeats: never one code 15
    typeChunk(repeated(2, 34), {2, 15, 2});                   // 33 repeats: 32 + 1
    typeChunk(repeated(2, 6), {2, 12, 2});                    // 5 repeats
    typeChunk(repeated(2, 5), {2, 2, 2, 2, 2});               // 4 repeats: no code
    typeChunk(repeated(2, 3, {0, 0, 0, 0, 0, 0}), {2, 2, 2, 0, 12, 0});
}

TEST(Bink1Chunks, OpeningZerosAreRepeatsOfTheDecodersStartingValue) {
    // A decoder starts a chunk with last value 0, so leading zeros need no
    // first value: six zeros are code 12 and two zeros, not 0, 12, 0.
    typeChunk(repeated(0, 6, {2}), {12, 0, 0, 2});
    typeChunk(repeated(0, 33, {2, 2}), {15, 0, 2, 2});
    typeChunk(repeated(0, 4, {2}), {0, 0, 0, 0, 2});
}

TEST(Bink1Chunks, ScaledBlocksTypedOneUseValueAndRunCodes) {
    // Six scaled fill blocks on a 12-column row: types 1 x6, sub-types 6 x6.
    Rig rig(96, 8);
    rig.identityTrees();
    Bits bits;
    bits.identityTrees();
    rowChunks(rig, bits, Widths(12), {6, 6, 1, 0, 0, 0, 0, 0, 0}, [&](int b) {
        if (b == kBundleBlockTypes) {
            rig.b8(kBlockTypes, {1, 1, 1, 1, 1, 1});
            bits.put(0, 1).put(1, 4).put(12, 4).put(1, 4);
        } else if (b == kBundleSubBlockTypes) {
            rig.b8(kSubBlockTypes, {6, 6, 6, 6, 6, 6});
            bits.put(0, 1).put(6, 4).put(12, 4).put(6, 4);
        } else {
            rig.b8(kColours, {0x42});
            bits.put(1, 1).put(4, 4).put(2, 4);
        }
    });
    // Six fills take six colours but only one was sent; the walk counts them
    // without reading, so the plane still writes.
    ASSERT_EQ(rig.plane(), 0);
    EXPECT_EQ(rig.written(), bits.done());
}

TEST(Bink1Chunks, ColourHighNibbleUsesTheTreeOfTheLastColour) {
    // Two rows of one fill block.  Colour-high tree 3 is tree 1 with value 2
    // first (a one-bit code); it is in use only if col_last follows the
    // single colour of row 0, sent in the all-equal form.
    Rig rig(8, 16);
    Bits bits;
    rig.b8(kTrees, {0, 0, 0, 0, 0});
    bits.put(0, 4 * 5);
    rig.b8(kTrees, {1, 1, 0, 2});
    bits.put(1, 4).put(1, 1).put(0, 3).put(2, 4);
    for (int i = 0; i < 17; ++i) rig.b8(kTrees, {0});
    bits.put(0, 4 * 17);
    const Widths wd(1);
    rowChunks(rig, bits, wd, {1, 0, 1, 0, 0, 0, 0, 0, 0}, [&](int b) {
        if (b == kBundleBlockTypes) {
            rig.b8(kBlockTypes, {6});
            bits.put(0, 1).put(6, 4);
        } else {
            rig.b8(kColours, {0x37});
            bits.put(1, 1).put(3, 4).put(7, 4);
        }
    });
    rowChunks(rig, bits, wd, {1, -1, 1, -1, -1, -1, -1, -1, -1}, [&](int b) {
        if (b == kBundleBlockTypes) {
            rig.b8(kBlockTypes, {6});
            bits.put(0, 1).put(6, 4);
        } else {
            rig.b8(kColours, {0x21});
            bits.put(1, 1).put(0, 1).put(1, 4);  // high 2 under tree 3: code 0, 1 bit
        }
    });
    ASSERT_EQ(rig.plane(), 0);
    EXPECT_EQ(rig.written(), bits.done());
    rig.expectAllConsumed();
}

TEST(Bink1Chunks, PatternBlockColoursAndNibblesUnderAMergedTree) {
    // Bundle 3 uses tree 1 after one merge pass whose first bit swaps 0 and
    // 1: value 1 gets the 1-bit code 0, value 0 the 4-bit code 1.
    Rig rig(8, 8);
    Bits bits;
    for (int i = 0; i < 19; ++i) rig.b8(kTrees, {0});
    rig.b8(kTrees, {1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0});
    rig.b8(kTrees, {0, 0, 0});
    bits.put(0, 76).put(1, 4).put(0, 1).put(0, 2).bits({1, 0, 0, 0, 0, 0, 0, 0}).put(0, 12);
    rowChunks(rig, bits, Widths(1), {1, 0, 2, 8, 0, 0, 0, 0, 0}, [&](int b) {
        if (b == kBundleBlockTypes) {
            rig.b8(kBlockTypes, {8});
            bits.put(0, 1).put(8, 4);
        } else if (b == kBundleColours) {
            rig.b8(kColours, {0x12, 0x34});
            bits.put(0, 1).put(1, 4).put(2, 4).put(3, 4).put(4, 4);  // high 3 under tree of col_last 1
        } else {
            rig.b8(kPatterns, {0x01, 0x10, 0x21, 0, 0, 0, 0, 0});
            bits.put(0, 1).put(1, 4);  // low 1, high 0
            bits.put(1, 4).put(0, 1);  // low 0, high 1
            bits.put(0, 1).put(3, 5);  // low 1, high 2 (code index 2 of tree 1)
            for (int i = 0; i < 10; ++i) bits.put(1, 4);
        }
    });
    ASSERT_EQ(rig.plane(), 0);
    EXPECT_EQ(rig.written(), bits.done());
    rig.expectAllConsumed();
}

// Two motion blocks with the given x and y offsets and choice flags.
void motionRow(std::initializer_list<int> xs, std::initializer_list<int> ys, std::initializer_list<int> flags,
               const std::function<void(Bits&)>& expectX, const std::function<void(Bits&)>& expectY) {
    Rig rig(16, 8);
    rig.identityTrees();
    rig.b8(kFormChoices, flags);
    Bits bits;
    bits.identityTrees();
    rowChunks(rig, bits, Widths(2), {2, 0, 0, 0, 2, 2, 0, 0, 0}, [&](int b) {
        if (b == kBundleBlockTypes) {
            rig.b8(kBlockTypes, {2, 2});
            bits.put(0, 1).put(2, 4).put(2, 4);
        } else if (b == kBundleXOffsets) {
            rig.b8(kXOffsets, xs);
            expectX(bits);
        } else {
            rig.b8(kYOffsets, ys);
            expectY(bits);
        }
    });
    ASSERT_EQ(rig.plane(), 0);
    EXPECT_EQ(rig.written(), bits.done());
    rig.expectAllConsumed();
}

TEST(Bink1Chunks, OffsetsTakeAChoiceFlagOnlyWhenAllValuesAreEqual) {
    // Equal x offsets with flag 0 go value by value, each with its sign; the
    // differing y offsets take no flag.
    motionRow({-3, -3}, {1, -1}, {0},
              [](Bits& b) { b.put(0, 1).put(3, 4).put(1, 1).put(3, 4).put(1, 1); },
              [](Bits& b) { b.put(0, 1).put(1, 4).put(0, 1).put(1, 4).put(1, 1); });
    // With the flag set, one magnitude and a sign; a zero has no sign.
    motionRow({-3, -3}, {0, 0}, {1, 1},
              [](Bits& b) { b.put(1, 1).put(3, 4).put(1, 1); },
              [](Bits& b) { b.put(1, 1).put(0, 4); });
    // A zero value in the long form has no sign bit either.
    motionRow({0, 5}, {7, 7}, {4},
              [](Bits& b) { b.put(0, 1).put(0, 4).put(5, 4).put(0, 1); },
              [](Bits& b) { b.put(1, 1).put(7, 4).put(0, 1); });
}

// A row of n intra blocks (or inter blocks) whose DC chunk is `dcs`.
void dcRow(bool inter, std::initializer_list<int> dcs, const std::function<void(Bits&)>& expectDcs) {
    const uint32_t n = static_cast<uint32_t>(dcs.size());
    Rig rig(8 * n, 8);
    rig.identityTrees();
    Bits bits;
    bits.identityTrees();
    const int count = static_cast<int>(n);
    rowChunks(rig, bits, Widths(n), {count, 0, 0, 0, inter ? count : 0, inter ? count : 0, inter ? 0 : count,
                                     inter ? count : 0, 0},
              [&](int b) {
                  if (b == kBundleBlockTypes) {
                      for (uint32_t i = 0; i < n; ++i) rig.b8(kBlockTypes, {inter ? 7 : 5});
                      bits.put(0, 1).put(inter ? 7 : 5, 4);
                      for (uint32_t r = n - 1; r > 0;) {  // the run-code rule, as above
                          const uint32_t code = r > 32 ? 15 : r > 12 ? 14 : r > 8 ? 13 : r > 4 ? 12 : (inter ? 7 : 5);
                          const uint32_t step = r > 32 ? 32 : r > 12 ? 12 : r > 8 ? 8 : r > 4 ? 4 : 1;
                          bits.put(code, 4);
                          r -= step;
                      }
                  } else if (b == kBundleXOffsets || b == kBundleYOffsets) {
                      for (uint32_t i = 0; i < n; ++i) rig.b8(b == kBundleXOffsets ? kXOffsets : kYOffsets, {0});
                      rig.b8(kFormChoices, {1});
                      bits.put(1, 1).put(0, 4);
                  } else {
                      rig.b16(inter ? kInterDc : kIntraDc, dcs);
                      expectDcs(bits);
                  }
              });
    // Each block: an empty coefficient list (field 0) and quantiser 9.
    for (uint32_t i = 0; i < n; ++i) {
        rig.b16(dctStreams(inter).coefficients, {0});
        rig.b8(dctStreams(inter).quantisers, {9});
        bits.put(0, 4).put(9, 4);
    }
    ASSERT_EQ(rig.plane(), 0);
    EXPECT_EQ(rig.written(), bits.done());
    rig.expectAllConsumed();
}

TEST(Bink1Chunks, IntraDcGroupsOfEightDeltas) {
    dcRow(false, {1500}, [](Bits& b) { b.put(1500, 11); });
    dcRow(false, {100, 100, 100, 100, 100, 100, 100, 100, 100}, [](Bits& b) { b.put(100, 11).put(0, 4); });
    dcRow(false, {100, 101, 99, 99, 107, 100, 100, 100, 100, 36}, [](Bits& b) {
        b.put(100, 11).put(4, 4);  // deltas 1 -2 0 8 -7 0 0 0: widest 8, four bits
        b.put(1, 4).put(0, 1).put(2, 4).put(1, 1).put(0, 4).put(8, 4).put(0, 1).put(7, 4).put(1, 1);
        b.put(0, 4).put(0, 4).put(0, 4);
        b.put(7, 4).put(64, 7).put(1, 1);  // second group: one delta of -64
    });
}

TEST(Bink1Chunks, InterDcFirstValueHasASign) {
    dcRow(true, {-5}, [](Bits& b) { b.put(5, 10).put(1, 1); });
    dcRow(true, {0, 3}, [](Bits& b) { b.put(0, 10).put(2, 4).put(3, 2).put(0, 1); });
}

// ---------------------------------------------------------------------------
// Block walk

// One run block on row 0 (runs and fill flags given) and one fill block on
// row 1; `colours` colours are sent for row 0, `row1Colours` (or none, when
// -1) for row 1.
std::unique_ptr<Rig> runRows(std::initializer_list<int> runs, std::initializer_list<int> fills, int colours,
                             int runFlag, int row1Colours, std::vector<uint8_t>& expect) {
    auto keep = std::make_unique<Rig>(8, 16);
    Rig& rig = *keep;
    rig.identityTrees();
    Bits bits;
    bits.identityTrees();
    const Widths wd(1);
    const int runCount = static_cast<int>(runs.size());
    rowChunks(rig, bits, wd, {1, 0, colours, 0, 0, 0, 0, 0, runCount}, [&](int b) {
        if (b == kBundleBlockTypes) {
            rig.b8(kBlockTypes, {3});
            bits.put(0, 1).put(3, 4);
        } else if (b == kBundleColours) {
            for (int i = 0; i < colours; ++i) rig.b8(kColours, {0x11});
            bits.put(1, 1).put(1, 4).put(1, 4);
        } else {
            rig.b8(kRuns, runs);
            bool equal = true;
            for (int r : runs) equal &= r == *runs.begin();
            if (equal) rig.b8(kFormChoices, {runFlag});
            if (equal && runFlag) {
                bits.put(1, 1).put(static_cast<uint32_t>(*runs.begin()), 4);
            } else {
                bits.put(0, 1);
                for (int r : runs) bits.put(static_cast<uint32_t>(r), 4);
            }
        }
    });
    rig.b8(kRunFields, {5});
    bits.put(5, 4);
    for (int f : fills) {
        rig.b8(kRunFields, {f});
        bits.put(static_cast<uint32_t>(f), 1);
    }
    // Row 1: block types and runs are spent (the runs end), colours are due
    // only when row 0 used all it was sent.
    rowChunks(rig, bits, wd, {1, -1, row1Colours, -1, -1, -1, -1, -1, 0}, [&](int b) {
        if (b == kBundleBlockTypes) {
            rig.b8(kBlockTypes, {6});
            bits.put(0, 1).put(6, 4);
        } else {
            for (int i = 0; i < row1Colours; ++i) rig.b8(kColours, {0x22});
            bits.put(1, 1).put(2, 4).put(2, 4);
        }
    });
    expect = bits.done();
    return keep;
}

TEST(Bink1Walk, RunsEndingOnPixel63TakeOneMoreColour) {
    // Runs of 16, 16, 16, 15 pixels: 1 + 16 + 1 + 1 colours, then one for
    // the last pixel; 20 colours leave the colour bundle due on row 1.
    std::vector<uint8_t> expect;
    auto rig = runRows({15, 15, 15, 14}, {1, 0, 1, 1}, 20, 0, 1, expect);
    ASSERT_EQ(rig->plane(), 0);
    EXPECT_EQ(rig->written(), expect);
    rig->expectAllConsumed();
}

TEST(Bink1Walk, RunsReachingPixel64TakeNoExtraColour) {
    // Four filled runs of 16 take 4 colours; the fifth one sent is left for
    // the fill block of row 1, so no colour chunk is due there.  The equal
    // runs use the short form because the flag says so.
    std::vector<uint8_t> expect;
    auto rig = runRows({15, 15, 15, 15}, {1, 1, 1, 1}, 5, 1, -1, expect);
    ASSERT_EQ(rig->plane(), 0);
    EXPECT_EQ(rig->written(), expect);
    rig->expectAllConsumed();
}

TEST(Bink1Walk, ScaledBlocksConsumeASubTypeOnlyOnEvenRows) {
    // 16x16: row 0 holds a scaled fill block (types 1, sub-type 6), row 1
    // its lower half (type 1, no sub-type, no fields).
    Rig rig(16, 16);
    rig.identityTrees();
    Bits bits;
    bits.identityTrees();
    const Widths wd(2);
    rowChunks(rig, bits, wd, {2, 1, 1, 0, 0, 0, 0, 0, 0}, [&](int b) {
        if (b == kBundleBlockTypes) {
            rig.b8(kBlockTypes, {1, 1});  // row 0 and row 1 in one chunk
            bits.put(0, 1).put(1, 4).put(1, 4);
        } else if (b == kBundleSubBlockTypes) {
            rig.b8(kSubBlockTypes, {6});
            bits.put(0, 1).put(6, 4);
        } else {
            rig.b8(kColours, {0x99});
            bits.put(1, 1).put(9, 4).put(9, 4);
        }
    });
    // Row 1: the block types still hold a value; sub-types and colours are
    // spent, so their chunks are due (and end) although the walk takes none.
    rig.b16(kChunkCounts, {0, 0});
    bits.put(0, wd.w[1]).put(0, wd.w[2]);
    ASSERT_EQ(rig.plane(), 0);
    EXPECT_EQ(rig.written(), bits.done());
    rig.expectAllConsumed();
}

TEST(Bink1Walk, IntraAndInterBlocksWriteCoefficientsThenQuantiser) {
    Rig rig(16, 8);
    rig.identityTrees();
    Bits bits;
    bits.identityTrees();
    rowChunks(rig, bits, Widths(2), {2, 0, 0, 0, 1, 1, 1, 1, 0}, [&](int b) {
        if (b == kBundleBlockTypes) {
            rig.b8(kBlockTypes, {5, 7});
            bits.put(0, 1).put(5, 4).put(7, 4);
        } else if (b == kBundleXOffsets || b == kBundleYOffsets) {
            rig.b8(b == kBundleXOffsets ? kXOffsets : kYOffsets, {0});
            rig.b8(kFormChoices, {1});
            bits.put(1, 1).put(0, 4);
        } else {
            rig.b16(b == kBundleIntraDc ? kIntraDc : kInterDc, {0});
            bits.put(0, b == kBundleIntraDc ? 11 : 10);
        }
    });
    // Intra: stored position 1 is slot 1, value -1; inter: count 64, not written.
    rig.b16(kIntraCoefficients, {1, -1});
    rig.b8(kIntraQuantisers, {3});
    bits.put(1, 4).bits({0, 0, 0, 1, 1, 0, 0}).put(3, 4);
    rig.b16(kInterCoefficients, {64});
    rig.b8(kInterQuantisers, {12});
    bits.put(12, 4);
    ASSERT_EQ(rig.plane(), 0);
    EXPECT_EQ(rig.written(), bits.done());
    rig.expectAllConsumed();
}

TEST(Bink1Walk, ResidueBlockWritesBudgetThenField) {
    Rig rig(8, 8);
    rig.identityTrees();
    Bits bits;
    bits.identityTrees();
    rowChunks(rig, bits, Widths(1), {1, 0, 0, 0, 1, 1, 0, 0, 0}, [&](int b) {
        if (b == kBundleBlockTypes) {
            rig.b8(kBlockTypes, {4});
            bits.put(0, 1).put(4, 4);
        } else {
            rig.b8(b == kBundleXOffsets ? kXOffsets : kYOffsets, {-2});
            rig.b8(kFormChoices, {1});
            bits.put(1, 1).put(2, 4).put(1, 1);
        }
    });
    rig.b8(kResidueBudgets, {0});
    rig.b8(kResidues, {0, 0, 0, 0, 1, 0, 1});
    bits.put(0, 7).put(0, 3).bits({0, 0, 0, 1, 0, 1});
    ASSERT_EQ(rig.plane(), 0);
    EXPECT_EQ(rig.written(), bits.done());
    rig.expectAllConsumed();
}

// ---------------------------------------------------------------------------
// Failure paths: each ends the plane with -1 without reading or writing out
// of bounds.

// A one-block plane whose row-0 chunks are given as (count, values) in the
// block-type, sub-type and colour bundles; the rest end at once.
Rig& failingRig(Rig& rig, std::initializer_list<int> types, std::initializer_list<int> subTypes) {
    rig.identityTrees();
    rig.b16(kChunkCounts, {static_cast<int>(types.size()), static_cast<int>(subTypes.size())});
    rig.b8(kBlockTypes, types);
    rig.b8(kSubBlockTypes, subTypes);
    rig.b16(kChunkCounts, {0, 0, 0, 0, 0, 0, 0});
    return rig;
}

TEST(Bink1Failures, BlockAndSubBlockTypesOutsideTheFormat) {
    {
        Rig rig(8, 8);
        EXPECT_EQ(failingRig(rig, {10}, {}).plane(), -1);
    }
    {
        Rig rig(16, 8);
        EXPECT_EQ(failingRig(rig, {1}, {2}).plane(), -1);  // sub-type 2 (motion) cannot be scaled
    }
    {
        Rig rig(16, 8);
        EXPECT_EQ(failingRig(rig, {1}, {4}).plane(), -1);
    }
    {
        Rig rig(16, 8);  // a scaled block with no sub-type sent
        EXPECT_EQ(failingRig(rig, {1}, {}).plane(), -1);
    }
    {
        Rig rig(16, 8);  // two columns, one block type sent
        EXPECT_EQ(failingRig(rig, {0}, {}).plane(), -1);
    }
    {
        Rig rig(8, 8);  // a block type of 12 reads as a run code
        EXPECT_EQ(failingRig(rig, {12}, {}).plane(), -1);
    }
}

TEST(Bink1Failures, RunsPassingTheBlock) {
    // 16 + 16 + 16 + 15 = 63 pixels would stop; 16 + 16 + 16 + 14 = 62 is
    // followed by a run of 16, reaching 78.
    std::vector<uint8_t> unused;
    EXPECT_EQ(runRows({15, 15, 15, 13, 15}, {0, 0, 0, 0, 0}, 1, 0, -1, unused)->plane(), -1);
    // Runs that stop short of the block with no run values left.
    EXPECT_EQ(runRows({15, 15}, {1, 1}, 1, 0, -1, unused)->plane(), -1);
}

TEST(Bink1Failures, ChunkCountsNegativeOrLargerThanTheRoomLeft) {
    {
        Rig rig(8, 8);
        rig.identityTrees();
        rig.b16(kChunkCounts, {-1});
        EXPECT_EQ(rig.plane(), -1);
    }
    {
        Rig rig(8, 8);  // 64 bytes per bundle: 65 colours do not fit
        rig.identityTrees();
        rig.b16(kChunkCounts, {1, 0, 65});
        rig.b8(kBlockTypes, {9});
        for (int i = 0; i < 65; ++i) rig.b8(kColours, {i});
        EXPECT_EQ(rig.plane(), -1);
    }
    {
        Rig rig(8, 8);  // 33 DC values need 66 of the 64 bytes
        rig.identityTrees();
        rig.b16(kChunkCounts, {1, 0, 0, 0, 0, 0, 33});
        rig.b8(kBlockTypes, {5});
        for (int i = 0; i < 33; ++i) rig.b16(kIntraDc, {i});
        EXPECT_EQ(rig.plane(), -1);
    }
}

TEST(Bink1Failures, SubStreamsThatRunOut) {
    {
        Rig rig(8, 0);  // trees cut short
        rig.b8(kTrees, {0, 0, 0, 1, 1});
        EXPECT_EQ(rig.plane(), -1);
        EXPECT_LE(rig.consumed(kTrees), rig.sub[kTrees].size());
    }
    {
        Rig rig(8, 8);  // no chunk counts at all
        rig.identityTrees();
        EXPECT_EQ(rig.plane(), -1);
    }
    {
        Rig rig(8, 8);  // colours promised, none sent
        rig.identityTrees();
        rig.b16(kChunkCounts, {1, 0, 1, 0, 0, 0, 0, 0, 0});
        rig.b8(kBlockTypes, {6});
        EXPECT_EQ(rig.plane(), -1);
    }
    {
        Rig rig(8, 8);  // a coefficient list shorter than its count
        rig.identityTrees();
        rig.b16(kChunkCounts, {1, 0, 0, 0, 0, 0, 1, 0, 0});
        rig.b8(kBlockTypes, {5});
        rig.b16(kIntraDc, {0});
        rig.b16(kIntraCoefficients, {3, 1});
        rig.b8(kIntraQuantisers, {0});
        EXPECT_EQ(rig.plane(), -1);
    }
}

TEST(Bink1Failures, ValuesTheFieldsCannotHold) {
    {
        Rig rig(8, 0);  // tree number 16
        rig.identityTrees();
        rig.sub[kTrees][3] = 16;
        EXPECT_EQ(rig.plane(), -1);
    }
    {
        Rig rig(8, 0);  // an explicit tree list naming 3 twice: value 15 would have no code
        rig.b8(kTrees, {1, 1, 1, 3, 3});
        for (uint32_t i = 1; i < kTreesPerPlane; ++i) rig.b8(kTrees, {0});
        EXPECT_EQ(rig.plane(), -1);
    }
    {
        Rig rig(8, 8);  // a negative intra DC: its first value has no sign
        rig.identityTrees();
        rig.b16(kChunkCounts, {1, 0, 0, 0, 0, 0, 1, 0, 0});
        rig.b8(kBlockTypes, {5});
        rig.b16(kIntraDc, {-1});
        rig.b16(kIntraCoefficients, {0});
        rig.b8(kIntraQuantisers, {0});
        EXPECT_EQ(rig.plane(), -1);
    }
    {
        Rig rig(16, 8);  // an x offset of 20 has no code
        rig.identityTrees();
        rig.b16(kChunkCounts, {2, 0, 0, 0, 2, 0, 0, 0, 0});
        rig.b8(kBlockTypes, {2, 2});
        rig.b8(kXOffsets, {20, 1});
        EXPECT_EQ(rig.plane(), -1);
    }
    {
        Rig rig(8, 8);  // residue budget above 7 bits
        rig.identityTrees();
        rig.b16(kChunkCounts, {1, 0, 0, 0, 0, 0, 0, 0, 0});
        rig.b8(kBlockTypes, {4});
        rig.b8(kResidueBudgets, {128});
        rig.b8(kResidues, {0, 0, 0, 0, 0});
        EXPECT_EQ(rig.plane(), -1);
    }
}

TEST(Bink1Failures, PlaneWiderThan1008BlockColumns) {
    Rig wide(8 * 1009, 0);
    wide.identityTrees();
    EXPECT_EQ(wide.plane(), -1);
    EXPECT_EQ(wide.written().size(), 0u);
    Rig widest(8 * 1008, 0);
    widest.identityTrees();
    EXPECT_EQ(widest.plane(), 0);
    Rig chroma(16 * 1008, 0);  // 1008 chroma columns
    chroma.identityTrees();
    EXPECT_EQ(chroma.plane(1), 0);
    Rig wrapping(0xFFFFFFFFu, 0);  // must not wrap to a plane of no columns
    wrapping.identityTrees();
    EXPECT_EQ(wrapping.plane(), -1);
}

// A header may claim any frame size; the work areas are bounded by what the
// stream's own buffers can deliver (found by fuzzing: 64x70254640 asked for
// nine areas of 4.5 GB).
TEST(Bink1Failures, BundleAreasNeverOutgrowTheirSourceStreams) {
    const auto bytes = [](uint32_t width, uint32_t height, uint32_t capacity, uint32_t runs) {
        StreamArray<uint32_t> capacities;
        for (uint32_t& c : capacities) c = capacity;
        capacities[bink1::kRuns] = runs;
        bink1::BundleAreas areas;
        return areas.allocate(width, height, bink1::bundleAreaLimit(capacities)) ? areas.bytes() : SIZE_MAX;
    };
    EXPECT_EQ(bytes(64, 70254640, 512, 512), 512u);
    EXPECT_EQ(bytes(64, 70254640, 512, 4096), 4096u);  // the largest source stream
    EXPECT_EQ(bytes(64, 48, 1 << 20, 0), 8u * 6 * 64);
    EXPECT_EQ(bytes(8000, 0xFFFFFFFFu, 1 << 20, 0), size_t(1) << 20);  // 64 bits, no wrap
    EXPECT_EQ(bytes(0xFFFFFFFFu, 0xFFFFFFFFu, 1 << 20, 0), 0u);       // wider than any plane written
}

TEST(Bink1Failures, OutputNeverPassesTheEndOfTheFrameBuffer) {
    for (size_t room : {0u, 4u, 8u, 11u}) {
        Rig rig(8, 0, room);  // the plane needs 12 bytes
        rig.identityTrees();
        EXPECT_EQ(rig.plane(), -1) << room;
        EXPECT_TRUE(rig.guardIntact()) << room;
        EXPECT_LE(rig.written().size(), room);
    }
    Rig rig(8, 0, 12);
    rig.identityTrees();
    EXPECT_EQ(rig.plane(), 0);
    EXPECT_TRUE(rig.guardIntact());
}

TEST(Bink1Failures, ZeroWidthPlaneStopsAfterItsFirstRow) {
    // Half a billion block rows of no columns: only row 0 has chunks.
    Rig rig(0, 0xFFFFFFF0u);
    rig.identityTrees();
    rig.b16(kChunkCounts, {0, 0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(rig.plane(), 0);
    EXPECT_EQ(rig.written(), Bits().identityTrees().put(0, 9 * 9).done());
}

TEST(Bink1Failures, RandomStreamsStayInsideEveryBuffer) {
    // Arbitrary values in every sub-stream: the writer may succeed or fail,
    // but it ends and touches nothing outside its buffers (the sanitizer
    // build checks the reads).
    std::mt19937 rng(777);
    for (int round = 0; round < 400; ++round) {
        Rig rig(8 + rng() % 64, rng() % 40, 64 + rng() % 512);
        for (int n = kBlockTypes; n <= kStreamCount; ++n) {
            const size_t len = rng() % 200;
            for (size_t i = 0; i < len; ++i) {
                // Mostly small values, so that trees and walks get somewhere.
                const uint32_t v = rng() % 4 ? rng() % (n == kTrees || n == kResidues || n == kRunFields ? 2 : 16) : rng();
                rig.sub[n].push_back(static_cast<uint8_t>(v));
            }
        }
        for (int p = 0; p < 3 && rig.plane(p > 0) == 0; ++p) {
        }
        ASSERT_TRUE(rig.guardIntact()) << round;
        for (int n = kBlockTypes; n <= kStreamCount; ++n) ASSERT_LE(rig.consumed(n), rig.sub[n].size()) << round;
    }
}

// ---------------------------------------------------------------------------
// Coefficient field

// The coefficient list of a block by slot: count, then stored positions
// 1..count up to the last non-zero one.
std::vector<uint8_t> listOf(const int32_t slots[64]) {
    uint32_t count = 0;
    for (uint32_t i = 1; i < 64; ++i)
        if (slots[kCoefficientOrder[i]]) count = i;
    std::vector<uint8_t> list;
    auto put16 = [&](uint32_t v) { appendLe16(list, v); };
    put16(count);
    for (uint32_t i = 1; i <= count; ++i) put16(static_cast<uint32_t>(slots[kCoefficientOrder[i]]));
    return list;
}

// Writes the field of one coefficient list; false when the writer refuses it.
bool writeField(Bits& bits, ValueReader& list) {
    BitsOut d(bits.w);
    const bool ok = bink1::coefficientField(d, list) && !d.failed();
    bits.w = d.w;
    return ok;
}

std::vector<uint8_t> fieldOf(const int32_t slots[64]) {
    const std::vector<uint8_t> list = listOf(slots);
    ValueReader r(list.data(), list.size());
    Bits bits;
    EXPECT_TRUE(writeField(bits, r));
    return bits.done();
}

TEST(Bink1Coefficients, SingleMinusOneInSlotOne) {
    int32_t slots[64] = {};
    slots[1] = -1;
    // N = 1; plane 0: three groups not significant, slot 1 significant with
    // its sign, slots 2 and 3 not.
    EXPECT_EQ(fieldOf(slots), Bits().put(1, 4).bits({0, 0, 0, 1, 1, 0, 0}).done());
}

TEST(Bink1Coefficients, PowerOfTwoMagnitudeSendsZerosBelowItsLeadingOne) {
    int32_t slots[64] = {};
    slots[1] = 8;
    Bits b;
    b.put(4, 4).bits({0, 0, 0, 1}).put(0, 3).bits({0, 0, 0});  // plane 3
    for (int k = 0; k < 3; ++k) b.bits({0, 0, 0, 0, 0});         // planes 2..0, slot 1 gone
    EXPECT_EQ(fieldOf(slots), b.done());
}

TEST(Bink1Coefficients, GroupSplitsInsertSinglesAtTheFront) {
    int32_t slots[64] = {};
    slots[5] = 3;  // first group (4, mode 0) turns significant in plane 1
    Bits b;
    b.put(2, 4);
    // Plane 1: (4,0) yes -> (8,1); slots 4..7: 4 no, 5 yes (low bit 1, +), 6 no, 7 no;
    // then (8,1) no, (24,0) no, (44,0) no, (1,3) (2,3) (3,3) no.
    b.bits({1, 1, 0}).put(1, 1).bits({0, 1, 1, 0, 0, 0, 0, 0, 0});
    // Plane 0: front singles 7, 6, 4 no; (8,1) (24,0) (44,0) no; 1, 2, 3 no.
    b.bits({0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(fieldOf(slots), b.done());
}

TEST(Bink1Coefficients, EmptyListsAndOverlongCounts) {
    {
        const uint8_t list[] = {0, 0, 0xAA};
        ValueReader r(list, sizeof list);
        Bits bits;
        ASSERT_TRUE(writeField(bits, r));
        EXPECT_EQ(bits.done(), Bits().put(0, 4).done());
        EXPECT_EQ(r.remaining(), 1u);
    }
    {
        const uint8_t list[] = {2, 0, 0, 0, 0, 0, 0xAA};  // two zero values
        ValueReader r(list, sizeof list);
        Bits bits;
        ASSERT_TRUE(writeField(bits, r));
        EXPECT_EQ(bits.done(), Bits().put(0, 4).done());
        EXPECT_EQ(r.remaining(), 1u);
    }
    {
        const uint8_t list[] = {64, 0, 1, 0};  // count 64: the field is left out
        ValueReader r(list, sizeof list);
        Bits bits;
        ASSERT_TRUE(writeField(bits, r));
        EXPECT_EQ(bits.w.fill, 0u);
        EXPECT_EQ(r.remaining(), 2u);
    }
    int32_t slots[64] = {};
    slots[63] = -32768;  // 16 bits: more than the plane count can say
    const std::vector<uint8_t> list = listOf(slots);
    ValueReader r(list.data(), list.size());
    Bits bits;
    EXPECT_FALSE(writeField(bits, r));
}

// Random blocks written and read back by the two directions of the syntax
// (the reading one is held to real files by the packer's tests).
TEST(Bink1Coefficients, RandomBlocksReadBackExactly) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 3000; ++round) {
        int32_t slots[64] = {};
        const int density = 1 + round % 63;
        const uint32_t top = round % 7 == 0 ? 32767 : (1u << (1 + round % 10)) - 1;
        for (int s = 1; s < 64; ++s) {
            if (static_cast<int>(rng() % 64) >= density) continue;
            int32_t v = static_cast<int32_t>(rng() % (top + 1));
            if (rng() % 4 == 0) v = static_cast<int32_t>(1u << (rng() % bitLength(top)));
            slots[s] = rng() & 1 ? -v : v;
        }
        const std::vector<uint8_t> field = fieldOf(slots);
        BitsIn d(BitReader(field.data(), field.size()));
        std::vector<uint8_t> back;
        ASSERT_TRUE(bink1::coefficientField(d, back));
        ASSERT_FALSE(d.failed()) << "round " << round;
        ASSERT_EQ(back, listOf(slots)) << "round " << round;
        // The field is exactly as long as the reader reads (up to the flush).
        ASSERT_EQ((d.r.position() + 31) / 32 * 4, field.size()) << "round " << round;
    }
}

// ---------------------------------------------------------------------------
// Residue field

std::vector<uint8_t> residueOf(std::initializer_list<int> elements, uint32_t budget, size_t& used, bool& ok) {
    std::vector<uint8_t> e(elements.begin(), elements.end());
    ValueReader r(e.data(), e.size());
    Bits bits;
    BitsOut d(bits.w);
    bink1::residueField(d, r, budget);
    ok = !d.failed();
    bits.w = d.w;
    used = e.size() - r.remaining();
    return bits.done();
}

TEST(Bink1Residue, ZeroBudgetEndsAtTheFirstCoefficientAfterItsSign) {
    size_t used;
    bool ok;
    // One pass: three groups not set, group (0,2) set, slot 0 non-zero with sign 1.
    const auto field = residueOf({0, 0, 0, 0, 1, 0, 1, 1, 1, 1}, 0, used, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(used, 7u);
    EXPECT_EQ(field, Bits().put(0, 3).bits({0, 0, 0, 1, 0, 1}).done());
}

TEST(Bink1Residue, LaterPassesRefineThenWalkFrontInsertionsFirst) {
    size_t used;
    bool ok;
    const auto field = residueOf(
        {1,                              // two passes
         0, 0, 0, 1, 0, 1, 1, 1, 0, 0,   // pass 0: slots 0 and 3 found, 1 and 2 wait at the front
         1, 0,                           // pass 1: refinement of slots 0 and 3
         1, 0, 0,                        // single 2 found (sign 0), single 1 not
         0, 0, 1, 1, 1, 1, 1, 0,         // (4,0) (24,0) no; (44,0) splits, 44..47 wait; (48,1) no
         1, 1},                          // not part of the field
        5, used, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(used, 24u);
    Bits b;
    b.put(1, 3).bits({0, 0, 0, 1, 0, 1, 1, 1, 0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 1, 1, 1, 1, 0});
    EXPECT_EQ(field, b.done());
}

TEST(Bink1Residue, BudgetRunsOutDuringRefinement) {
    size_t used;
    bool ok;
    // Pass 0 finds slot 0 (budget 1 -> 0); pass 1 refines it with a 1 (-> -1).
    residueOf({1, 0, 0, 0, 1, 0, 0, 1, 1, 1, 1, 1, 1}, 1, used, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(used, 11u);
}

TEST(Bink1Residue, ElementsWiderThanTheirFieldsFail) {
    size_t used;
    bool ok;
    residueOf({8}, 10, used, ok);
    EXPECT_FALSE(ok);
    residueOf({0, 2, 0, 0, 0}, 10, used, ok);
    EXPECT_FALSE(ok);
}

}  // namespace
}  // namespace dev
