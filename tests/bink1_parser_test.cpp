// The Bink 1 packet parser: hand-made packets whose values are known, the
// choices between the two forms of a chunk, the constraints of the stages,
// damaged packets, and every packet of the real files (parse, rewrite with
// our writers, compare).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/little_endian.h"
#include "tests/corpus.h"
#include "pack/bink1_parser.h"
#include "pack/bink_file.h"
#include "testkit/bink_generator.h"
#include "pack/frame_view.h"
#include "pack/stage_encoder.h"
#include "writers/bink1/streams.h"

namespace dev {
namespace {

// Least-significant-bit-first writer for hand-made packets.
struct Bits {
    std::vector<uint8_t> bytes;
    size_t count = 0;
    Bits& put(uint32_t v, int n) {
        for (int i = 0; i < n; ++i, ++count) {
            if (count % 8 == 0) bytes.push_back(0);
            if ((v >> i) & 1) bytes.back() |= uint8_t(1 << (count % 8));
        }
        return *this;
    }
    // Pads the plane to its 32-bit end.
    Bits& align() {
        while (count % 32) put(0, 1);
        return *this;
    }
    // 23 trees, each the identity (code shape 0: every value is its 4 bits).
    Bits& identityTrees() {
        for (int i = 0; i < 23; ++i) put(0, 4);
        return *this;
    }
};

BinkContext grayContext(uint32_t w, uint32_t h) {
    BinkContext c;
    c.width = w;
    c.height = h;
    c.grayscale = 1;
    c.planeCount = 1;
    c.version = 'i';
    return c;
}

std::vector<uint8_t> packet(const Bits& plane, uint32_t word = 0x04030201) {
    std::vector<uint8_t> p(4 + plane.bytes.size());
    storeLe32(p.data(), word);
    std::copy(plane.bytes.begin(), plane.bytes.end(), p.begin() + 4);
    return p;
}

std::vector<uint8_t> i16(std::initializer_list<int> v) {
    std::vector<uint8_t> out;
    for (int x : v) appendLe16(out, static_cast<uint32_t>(x));
    return out;
}

// Parses and rewrites; the reason when the packet would be stored.
std::string code(const BinkContext& c, const std::vector<uint8_t>& bytes, PackFrame& f) {
    f = PackFrame();
    f.video = bytes;
    return bink1PacketValues(c, f).reason();
}

// 16x8 grey frame, two motion blocks whose x offsets are 3, 3 and y offsets
// -1, -1, each chunk in the form asked for.  All count fields are 10 bits.
std::vector<uint8_t> motionPacket(bool xAllEqualForm, bool yAllEqualForm) {
    Bits b;
    b.identityTrees();
    b.put(2, 10).put(0, 1).put(2, 4).put(2, 4);  // block types 2, 2 (value, then one repeat)
    b.put(0, 10).put(0, 10).put(0, 10);          // sub-block types, colours, patterns end
    if (xAllEqualForm) b.put(2, 10).put(1, 1).put(3, 4).put(0, 1);
    else b.put(2, 10).put(0, 1).put(3, 4).put(0, 1).put(3, 4).put(0, 1);
    if (yAllEqualForm) b.put(2, 10).put(1, 1).put(1, 4).put(1, 1);
    else b.put(2, 10).put(0, 1).put(1, 4).put(1, 1).put(1, 4).put(1, 1);
    b.put(0, 10).put(0, 10).put(0, 10);  // intra DC, inter DC, runs end
    return packet(b.align());
}

TEST(Bink1Parser, OffsetChunkFormsGiveTheirChoiceFlags) {
    const BinkContext c = grayContext(16, 8);
    for (int form = 0; form < 4; ++form) {
        const bool xa = form & 1, ya = form & 2;
        const auto bytes = motionPacket(xa, ya);
        PackFrame f;
        ASSERT_EQ(parseBink1Packet(c, (f.video = bytes, f)).reason(), "");
        EXPECT_EQ(f.streams[bink1::kBlockTypes], (std::vector<uint8_t>{2, 2}));
        EXPECT_EQ(f.streams[bink1::kXOffsets], (std::vector<uint8_t>{3, 3}));
        EXPECT_EQ(f.streams[bink1::kYOffsets], (std::vector<uint8_t>{0xFF, 0xFF}));
        EXPECT_EQ(f.streams[bink1::kChunkCounts], i16({2, 0, 0, 0, 2, 2, 0, 0, 0}));
        EXPECT_EQ(f.streams[bink1::kFormChoices], (std::vector<uint8_t>{uint8_t(xa), uint8_t(ya)}));
        EXPECT_EQ(f.streams[bink1::kPacketRecords], (std::vector<uint8_t>{1, 2, 3, 4, 0}));
        EXPECT_EQ(f.streams[bink1::kTrees], std::vector<uint8_t>(23, 0));
        EXPECT_EQ(f.dctBlocks[0], std::vector<uint32_t>{0});
        EXPECT_EQ(f.dctBlocks[1], std::vector<uint32_t>{0});
        EXPECT_EQ(code(c, bytes, f), "") << "form " << form;
        EXPECT_FALSE(f.stored);
    }
}

// 64x8 grey frame: five skip blocks, then three motion blocks.  The encoder
// opens the block-type chunk with a run code: a decoder's last value starts
// at 0, so the five zeros are 4 repeats (code 12) and one more 0.
TEST(Bink1Parser, BlockTypeChunkOpeningWithRepeatsOfZero) {
    Bits b;
    b.identityTrees();
    b.put(8, 10).put(0, 1).put(12, 4).put(0, 4).put(2, 4).put(2, 4).put(2, 4);
    b.put(0, 10).put(0, 10).put(0, 10);
    b.put(3, 10).put(1, 1).put(1, 4).put(0, 1);  // x offsets 1, 1, 1
    b.put(3, 10).put(1, 1).put(0, 4);            // y offsets 0, 0, 0 (no sign bit)
    b.put(0, 10).put(0, 10).put(0, 10);
    const auto bytes = packet(b.align());
    const BinkContext c = grayContext(64, 8);
    PackFrame f;
    f.video = bytes;
    ASSERT_EQ(parseBink1Packet(c, f).reason(), "");
    EXPECT_EQ(f.streams[bink1::kBlockTypes], (std::vector<uint8_t>{0, 0, 0, 0, 0, 2, 2, 2}));
    EXPECT_EQ(f.streams[bink1::kXOffsets], (std::vector<uint8_t>{1, 1, 1}));
    EXPECT_EQ(f.streams[bink1::kYOffsets], (std::vector<uint8_t>{0, 0, 0}));
    EXPECT_EQ(f.streams[bink1::kFormChoices], (std::vector<uint8_t>{1, 1}));
    EXPECT_EQ(code(c, bytes, f), "");
}

// 8x8 grey frame with one run block: four runs of 16 pixels (run value 15),
// each filled by one colour.  Sub-block type counts are 9 bits, the rest 10.
std::vector<uint8_t> runPacket(bool runsAllEqualForm) {
    Bits b;
    b.identityTrees();
    b.put(1, 10).put(0, 1).put(3, 4);  // one run block
    b.put(0, 9);                       // sub-block types end
    b.put(4, 10).put(0, 1);            // four different colours, value by value
    for (uint32_t colour : {0x12u, 0x34u, 0x56u, 0x78u}) b.put(colour >> 4, 4).put(colour & 15, 4);
    for (int i = 0; i < 5; ++i) b.put(0, 10);  // patterns, offsets, DCs end
    if (runsAllEqualForm) b.put(4, 10).put(1, 1).put(15, 4);
    else b.put(4, 10).put(0, 1).put(15, 4).put(15, 4).put(15, 4).put(15, 4);
    b.put(5, 4);                                // scan pattern
    b.put(1, 1).put(1, 1).put(1, 1).put(1, 1);  // fill flags
    return packet(b.align());
}

TEST(Bink1Parser, RunChunkFormsAndTheRunField) {
    const BinkContext c = grayContext(8, 8);
    for (bool allEqual : {false, true}) {
        PackFrame f;
        EXPECT_EQ(code(c, runPacket(allEqual), f), "");
        f = PackFrame();
        const auto bytes = runPacket(allEqual);
        f.video = bytes;
        ASSERT_EQ(parseBink1Packet(c, f).reason(), "");
        EXPECT_EQ(f.streams[bink1::kBlockTypes], std::vector<uint8_t>{3});
        EXPECT_EQ(f.streams[bink1::kRunFields], (std::vector<uint8_t>{5, 1, 1, 1, 1}));
        EXPECT_EQ(f.streams[bink1::kRuns], (std::vector<uint8_t>{15, 15, 15, 15}));
        EXPECT_EQ(f.streams[bink1::kColours], (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
        EXPECT_EQ(f.streams[bink1::kFormChoices], std::vector<uint8_t>{uint8_t(allEqual)});
    }
}

// 8x8 grey frame with one intra block: DC 100, a single coefficient -1 in
// list slot 1, quantiser 7.
TEST(Bink1Parser, IntraBlockGivesDcCoefficientListAndQuantiser) {
    Bits b;
    b.identityTrees();
    b.put(1, 10).put(0, 1).put(5, 4);  // one intra block
    b.put(0, 9);
    for (int i = 0; i < 4; ++i) b.put(0, 10);  // colours, patterns, x, y end
    b.put(1, 10).put(100, 11);                 // intra DC
    b.put(0, 10).put(0, 10);                   // inter DC, runs end
    b.put(1, 4);                               // one bit plane
    b.put(0, 1).put(0, 1).put(0, 1);           // the three groups: nothing
    b.put(1, 1).put(1, 1);                     // slot 1: significant, negative
    b.put(0, 1).put(0, 1);                     // slots 2 and 3: nothing
    b.put(7, 4);                               // quantiser
    const auto bytes = packet(b.align());
    const BinkContext c = grayContext(8, 8);
    PackFrame f;
    f.video = bytes;
    ASSERT_EQ(parseBink1Packet(c, f).reason(), "");
    EXPECT_EQ(f.streams[bink1::kIntraDc], i16({100}));
    EXPECT_EQ(f.streams[bink1::kIntraCoefficients], i16({1, -1}));
    EXPECT_EQ(f.streams[bink1::kIntraQuantisers], std::vector<uint8_t>{7});
    EXPECT_EQ(f.dctBlocks[0], std::vector<uint32_t>{1});
    EXPECT_EQ(f.dctBlocks[1], std::vector<uint32_t>{0});
    EXPECT_EQ(code(c, bytes, f), "");
}

// Values valid in Bink that the DCT stage cannot code: an intra DC above
// 2047 (reached through a delta) and a coefficient of magnitude 1024.  The
// packet parses and rewrites; the stage's encoder refuses it.
TEST(Bink1Parser, DctValuesBeyondTheStageAreRefusedByItsEncoder) {
    Bits dc;  // 16x8: two intra blocks with DCs 2000 and 2100
    dc.identityTrees();
    dc.put(2, 10).put(0, 1).put(5, 4).put(5, 4);
    for (int i = 0; i < 5; ++i) dc.put(0, 10);
    dc.put(2, 10).put(2000, 11).put(7, 4).put(100, 7).put(0, 1);
    dc.put(0, 10).put(0, 10);
    dc.put(0, 4).put(0, 4);  // block 1: no coefficients, quantiser 0
    dc.put(0, 4).put(0, 4);  // block 2
    PackFrame f;
    const BinkContext wide = grayContext(16, 8);
    const auto dcPacket = packet(dc.align());
    EXPECT_EQ(code(wide, dcPacket, f), "");
    EXPECT_FALSE(makeDctBlockEncoder(wide, false)->accepts(f));

    Bits big;  // 8x8: one intra block, slot 1 = 1024
    big.identityTrees();
    big.put(1, 10).put(0, 1).put(5, 4);
    big.put(0, 9);
    for (int i = 0; i < 4; ++i) big.put(0, 10);
    big.put(1, 10).put(0, 11);
    big.put(0, 10).put(0, 10);
    big.put(11, 4);                                  // eleven bit planes
    big.put(0, 3).put(1, 1).put(0, 10).put(0, 1);    // plane 10: slot 1 turns significant
    big.put(0, 2);
    for (int k = 9; k >= 0; --k) big.put(0, 5);      // nothing more
    big.put(0, 4);
    const BinkContext small = grayContext(8, 8);
    const auto bigPacket = packet(big.align());
    EXPECT_EQ(code(small, bigPacket, f), "");
    EXPECT_FALSE(makeDctBlockEncoder(small, false)->accepts(f));
}

// 16x16 grey frame of two block rows (all count fields 10 bits).  Row 0 holds
// a scaled fill block (variants 0 and 1) or two fill blocks (variant 2); row 1
// holds the lower-half marker (0 and 2) or two skip blocks (1).
std::vector<uint8_t> scaledPacket(int variant) {
    Bits b;
    b.identityTrees();
    if (variant != 2) {
        b.put(1, 10).put(0, 1).put(1, 4);            // block types: 1
        b.put(1, 10).put(0, 1).put(6, 4);            // sub-block types: fill
        b.put(1, 10).put(1, 1).put(0, 4).put(9, 4);  // colours: 0x09
    } else {
        b.put(2, 10).put(0, 1).put(6, 4).put(6, 4);  // block types: 6, 6
        b.put(0, 10);
        b.put(2, 10).put(1, 1).put(0, 4).put(9, 4);  // colours: 0x09, 0x09
    }
    for (int i = 0; i < 6; ++i) b.put(0, 10);  // patterns .. runs end
    if (variant == 1) b.put(2, 10).put(1, 1).put(0, 4);  // block types 0, 0
    else b.put(1, 10).put(0, 1).put(1, 4);               // block type 1
    if (variant != 2) b.put(0, 10);                      // sub-block types end
    b.put(0, 10);                                        // colours end
    return packet(b.align());
}

TEST(Bink1Parser, OddRowsFollowTheScaledBlocksAbove) {
    const BinkContext c = grayContext(16, 16);
    PackFrame f;
    const auto good = scaledPacket(0);
    f.video = good;
    ASSERT_EQ(parseBink1Packet(c, f).reason(), "");
    EXPECT_EQ(f.streams[bink1::kBlockTypes], (std::vector<uint8_t>{1, 1}));
    EXPECT_EQ(f.streams[bink1::kSubBlockTypes], std::vector<uint8_t>{6});
    EXPECT_EQ(f.streams[bink1::kColours], std::vector<uint8_t>{9});
    EXPECT_EQ(code(c, good, f), "");

    EXPECT_TRUE(makeVideoFrameEncoder(c)->accepts(f));

    // Skip blocks under the scaled block, or a lower half with no scaled
    // block above: valid Bink, but not what the stage's block loop produces,
    // so its encoder refuses the values.
    for (int variant : {1, 2}) {
        const auto bytes = scaledPacket(variant);
        EXPECT_EQ(code(c, bytes, f), "");
        EXPECT_FALSE(makeVideoFrameEncoder(c)->accepts(f)) << variant;
    }
}

TEST(Bink1Parser, ChoicesOurWritersDoNotMakeAreStored) {
    const BinkContext c = grayContext(16, 8);
    // Block types 2, 2 in the all-equal form: our writer keeps it for zeros.
    Bits b;
    b.identityTrees();
    b.put(2, 10).put(1, 1).put(2, 4);
    b.put(0, 10).put(0, 10).put(0, 10);
    b.put(2, 10).put(1, 1).put(3, 4).put(0, 1);
    b.put(2, 10).put(1, 1).put(1, 4).put(1, 1);
    b.put(0, 10).put(0, 10).put(0, 10);
    PackFrame f;
    EXPECT_EQ(code(c, packet(b.align()), f), "block-type chunk: all-equal form with a non-zero value");
    // Extra bytes after the last plane.
    auto bytes = motionPacket(true, true);
    bytes.insert(bytes.end(), {0, 0, 0, 0});
    EXPECT_EQ(code(c, bytes, f), "bytes follow the last plane");
    // Only the frame word: the trees are missing.
    bytes.resize(4);
    EXPECT_EQ(code(c, bytes, f), "packet ends inside the trees");
    EXPECT_TRUE(bink1FrameValues(c, f));
    EXPECT_TRUE(f.stored);
    // A version without the leading frame word.
    BinkContext h = c;
    h.version = 'h';
    EXPECT_NE(code(h, motionPacket(true, true), f), "");
}

// 8x8 colour frame with alpha: four planes of one skip block each (chroma
// planes of an 8x8 frame have the luma plane's count widths), and the word
// between the alpha and luma planes.
TEST(Bink1Parser, AlphaAndChromaPlanesInFrameOrder) {
    Bits plane;
    plane.identityTrees();
    plane.put(1, 10).put(1, 1).put(0, 4);  // one skip block, all-zero form
    plane.put(0, 9);
    for (int i = 0; i < 7; ++i) plane.put(0, 10);
    plane.align();
    std::vector<uint8_t> bytes = packet(plane, 0x0A0B0C0D);
    for (uint8_t x : {0xE1, 0xE2, 0xE3, 0xE4}) bytes.push_back(x);  // the word after alpha
    for (int i = 0; i < 3; ++i) bytes.insert(bytes.end(), plane.bytes.begin(), plane.bytes.end());
    BinkContext c = grayContext(8, 8);
    c.grayscale = 0;
    c.hasAlpha = 1;
    c.planeCount = 4;
    PackFrame f;
    f.video = bytes;
    ASSERT_EQ(parseBink1Packet(c, f).reason(), "");
    EXPECT_EQ(f.streams[bink1::kPacketRecords], (std::vector<uint8_t>{0x0D, 0x0C, 0x0B, 0x0A, 0, 0xE1, 0xE2, 0xE3, 0xE4}));
    EXPECT_EQ(f.streams[bink1::kBlockTypes], std::vector<uint8_t>(4, 0));
    EXPECT_EQ(f.streams[bink1::kTrees].size(), 4u * 23);
    EXPECT_EQ(f.dctBlocks[0], std::vector<uint32_t>(4, 0));
    EXPECT_EQ(code(c, bytes, f), "");
    // Cut inside the word after the alpha plane.
    bytes.resize(4 + plane.bytes.size() + 2);
    EXPECT_EQ(code(c, bytes, f), "packet ends before the word after the alpha plane");
}

// A plane without block columns reads its chunk counts once, however many
// rows the header claims.
TEST(Bink1Parser, ZeroWidthPlaneReadsOneRowOfCounts) {
    Bits b;
    b.identityTrees();
    for (int w : {10, 9, 9, 9, 10, 10, 10, 10, 9}) b.put(0, w);
    const auto bytes = packet(b.align());
    PackFrame f;
    EXPECT_EQ(code(grayContext(0, 1u << 30), bytes, f), "");
    EXPECT_EQ(f.streams[bink1::kChunkCounts], i16({0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Bink1Parser, StoredRecordKeepsTheAudio) {
    const std::vector<uint8_t> bytes = {9, 8, 7, 6, 5, 4};
    PackFrame f;
    f.video = bytes;
    f.streams[bink1::kAudio] = {1, 2, 3};
    f.streams[bink1::kColours] = {42};
    ASSERT_TRUE(storeBink1Packet(f));
    EXPECT_TRUE(f.stored);
    EXPECT_EQ(f.streams[bink1::kAudio], (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_TRUE(f.streams[bink1::kColours].empty());
    EXPECT_EQ(f.streams[bink1::kPacketRecords], (std::vector<uint8_t>{9, 8, 7, 6, 1, 2, 0, 0, 0, 5, 4}));
    const std::vector<uint8_t> tiny = {1, 2, 3};
    f.video = tiny;
    EXPECT_FALSE(storeBink1Packet(f));
    EXPECT_FALSE(bink1FrameValues(grayContext(8, 8), f));
}

// Synthetic files (our generator writes random valid values with our own
// frame assembly): alpha and grey-only layouts, odd sizes, chunks spanning
// rows, scaled blocks in odd columns.  Every packet must code, except those
// the generator padded with bytes no writer produces.
TEST(Bink1Parser, GeneratedFilesCodeEveryPacket) {
    struct Case {
        uint32_t w, h;
        bool alpha, gray, oddScaled;
    };
    const Case cases[] = {{64, 48, false, false, false}, {72, 40, true, false, false}, {40, 24, false, true, false},
                          {56, 72, true, true, true},   {7, 9, false, false, false}};
    for (const Case& k : cases) {
        GeneratorOptions o;
        o.width = k.w;
        o.height = k.h;
        o.alpha = k.alpha;
        o.grayscale = k.gray;
        o.scaledOnOddColumns = k.oddScaled;
        o.frames = 6;
        o.storedPercent = k.gray ? 0 : 30;
        o.seed = k.w * 131 + k.h;
        const GeneratedBink g = generateBink1File(o);
        ASSERT_TRUE(g.ok) << g.error;
        BinkFile file;
        ASSERT_EQ(readBinkFile(g.bytes, file).reason(), "");
        BinkContext c;
        c.width = file.width;
        c.height = file.height;
        c.hasAlpha = k.alpha;
        c.grayscale = k.gray;
        c.planeCount = k.alpha + (k.gray ? 1 : 3);
        c.version = file.version;
        uint32_t stored = 0;
        for (uint32_t j = 0; j < file.frameCount; ++j) {
            PackFrame f;
            f.video = file.video[j];
            const std::string why = bink1PacketValues(c, f).reason();
            if (!why.empty()) {
                EXPECT_EQ(why, "bytes follow the last plane") << k.w << "x" << k.h << " frame " << j;
                ++stored;
                continue;
            }
            EXPECT_EQ(f.dctBlocks[0].size(), c.planeCount);
        }
        EXPECT_EQ(stored, g.storedFrames) << k.w << "x" << k.h;
    }
}

// ---------------------------------------------------------------- real files

// Every packet of every real file reads to its exact end within what the
// stages can represent, with one DCT block count per plane.
TEST(Bink1ParserCorpus, EveryPacketParses) {
    if (corpusBink1Files().empty()) GTEST_SKIP() << "no corpus";
    for (const CorpusFile& file : corpusBink1Files()) {
        for (uint32_t j = 0; j < file.bink.frameCount; ++j) {
            PackFrame f;
            f.video = file.bink.video[j];
            ASSERT_EQ(parseBink1Packet(file.context, f).reason(), "") << file.name << " frame " << j;
            ASSERT_EQ(f.dctBlocks[0].size(), file.context.planeCount);
            ASSERT_EQ(f.dctBlocks[1].size(), file.context.planeCount);
        }
    }
}

// Every packet of every real file: parsed, rewritten and compared.  Prints
// per file how many packets are coded and why the others are stored.
TEST(Bink1ParserCorpus, EveryPacketRewritesExactly) {
    if (corpusBink1Files().empty()) GTEST_SKIP() << "no corpus";
    uint32_t total = 0, coded = 0;
    for (const CorpusFile& file : corpusBink1Files()) {
        std::map<std::string, uint32_t> reasons;
        uint32_t n = 0;
        for (uint32_t j = 0; j < file.bink.frameCount; ++j) {
            PackFrame f;
            f.index = j;
            f.video = file.bink.video[j];
            const std::string why = bink1PacketValues(file.context, f).reason();
            if (why.empty()) {
                ++n;
                continue;
            }
            ++reasons[why];
        }
        std::printf("%-36s %4u frames: %4u coded, %4u stored\n", file.name.c_str(), file.bink.frameCount, n,
                    file.bink.frameCount - n);
        for (const auto& [why, count] : reasons) std::printf("    %5u x %s\n", count, why.c_str());
        total += file.bink.frameCount;
        coded += n;
        EXPECT_EQ(n, file.bink.frameCount) << file.name;
    }
    std::printf("corpus: %u of %u packets coded\n", coded, total);
}

// Cut and scrambled real packets: never a crash, never a false success (a
// packet reported coded has been rebuilt exactly by the writers).
TEST(Bink1ParserCorpus, DamagedPacketsAreStoredOrExact) {
    if (corpusBink1Files().empty()) GTEST_SKIP() << "no corpus";
    std::mt19937 rng(1234);
    for (const CorpusFile& file : corpusBink1Files()) {
        const uint32_t frames = std::min<uint32_t>(file.bink.frameCount, 6);
        for (uint32_t j = 0; j < frames; ++j) {
            const auto video = file.bink.video[j];
            std::vector<std::vector<uint8_t>> variants;
            for (size_t cut : {size_t(0), size_t(3), size_t(4), size_t(5), video.size() / 2, video.size() - 1})
                if (cut <= video.size()) variants.emplace_back(video.begin(), video.begin() + cut);
            for (int k = 0; k < 4; ++k) {
                std::vector<uint8_t> v(video.begin(), video.end());
                for (int flips = 0; flips < 3 && !v.empty(); ++flips) v[rng() % v.size()] ^= uint8_t(1 + rng() % 255);
                variants.push_back(std::move(v));
            }
            std::vector<uint8_t> noise(video.size());
            for (auto& x : noise) x = uint8_t(rng());
            variants.push_back(std::move(noise));
            for (const auto& v : variants) {
                PackFrame f;
                f.video = v;
                const bool ok = bink1FrameValues(file.context, f);
                EXPECT_EQ(ok, v.size() >= 4);
                if (ok && !f.stored) {
                    FrameView view(file.context);
                    view.bind(f, v.size());
                    ASSERT_EQ(view.writeVideo(), 0);
                    EXPECT_TRUE(std::equal(view.written().begin(), view.written().end(), v.begin(), v.end()));
                }
            }
        }
    }
}

}  // namespace
}  // namespace dev
