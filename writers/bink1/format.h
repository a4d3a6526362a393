// The facts of the Bink 1 video bitstream, each written once: the code rows,
// the coefficient order, block types and the block-type symbols of the video
// frame stage, the bundles and the sub-streams their values travel in, plane
// geometry and the widest plane the stages carry.  The syntax built on them
// is writers/bink1/plane_syntax.h.
#pragma once

#include <array>
#include <cstdint>

#include "core/bits.h"
#include "writers/bink1/streams.h"

namespace dev::bink1 {

// ---- Code rows --------------------------------------------------------------

// The sixteen code shapes a plane can pick for a tree.  Code index k of row
// t is kCodeRows[t].length[k] bits of kCodeRows[t].code[k], least significant
// bit first; each row is prefix-free read in that direction.  Which value
// takes which index is sent in the plane's tree descriptions.
struct CodeRow {
    uint8_t code[16];
    uint8_t length[16];
};

inline constexpr CodeRow kCodeRows[16] = {
    {{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F},
     {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4}},
    {{0x00, 0x01, 0x03, 0x05, 0x07, 0x09, 0x0B, 0x0D, 0x0F, 0x13, 0x15, 0x17, 0x19, 0x1B, 0x1D, 0x1F},
     {1, 4, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5}},
    {{0x00, 0x02, 0x01, 0x09, 0x05, 0x15, 0x0D, 0x1D, 0x03, 0x13, 0x0B, 0x1B, 0x07, 0x17, 0x0F, 0x1F},
     {2, 2, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5}},
    {{0x00, 0x02, 0x06, 0x01, 0x09, 0x05, 0x0D, 0x1D, 0x03, 0x13, 0x0B, 0x1B, 0x07, 0x17, 0x0F, 0x1F},
     {2, 3, 3, 4, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5}},
    {{0x00, 0x04, 0x02, 0x06, 0x01, 0x09, 0x05, 0x0D, 0x03, 0x13, 0x0B, 0x1B, 0x07, 0x17, 0x0F, 0x1F},
     {3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5}},
    {{0x00, 0x04, 0x02, 0x0A, 0x06, 0x0E, 0x01, 0x09, 0x05, 0x0D, 0x03, 0x0B, 0x07, 0x17, 0x0F, 0x1F},
     {3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5}},
    {{0x00, 0x02, 0x0A, 0x06, 0x0E, 0x01, 0x09, 0x05, 0x0D, 0x03, 0x0B, 0x1B, 0x07, 0x17, 0x0F, 0x1F},
     {2, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5}},
    {{0x00, 0x01, 0x05, 0x03, 0x13, 0x0B, 0x1B, 0x3B, 0x07, 0x27, 0x17, 0x37, 0x0F, 0x2F, 0x1F, 0x3F},
     {1, 3, 3, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6}},
    {{0x00, 0x01, 0x03, 0x13, 0x0B, 0x2B, 0x1B, 0x3B, 0x07, 0x27, 0x17, 0x37, 0x0F, 0x2F, 0x1F, 0x3F},
     {1, 2, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6}},
    {{0x00, 0x01, 0x05, 0x0D, 0x03, 0x13, 0x0B, 0x1B, 0x07, 0x27, 0x17, 0x37, 0x0F, 0x2F, 0x1F, 0x3F},
     {1, 3, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6}},
    {{0x00, 0x02, 0x01, 0x05, 0x0D, 0x03, 0x13, 0x0B, 0x1B, 0x07, 0x17, 0x37, 0x0F, 0x2F, 0x1F, 0x3F},
     {2, 2, 3, 4, 4, 5, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6}},
    {{0x00, 0x01, 0x09, 0x05, 0x0D, 0x03, 0x13, 0x0B, 0x1B, 0x07, 0x17, 0x37, 0x0F, 0x2F, 0x1F, 0x3F},
     {1, 4, 4, 4, 4, 5, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6}},
    {{0x00, 0x02, 0x01, 0x03, 0x13, 0x0B, 0x1B, 0x3B, 0x07, 0x27, 0x17, 0x37, 0x0F, 0x2F, 0x1F, 0x3F},
     {2, 2, 2, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6}},
    {{0x00, 0x01, 0x05, 0x03, 0x07, 0x27, 0x17, 0x37, 0x0F, 0x4F, 0x2F, 0x6F, 0x1F, 0x5F, 0x3F, 0x7F},
     {1, 3, 3, 3, 6, 6, 6, 6, 7, 7, 7, 7, 7, 7, 7, 7}},
    {{0x00, 0x01, 0x05, 0x03, 0x07, 0x17, 0x37, 0x77, 0x0F, 0x4F, 0x2F, 0x6F, 0x1F, 0x5F, 0x3F, 0x7F},
     {1, 3, 3, 3, 5, 6, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7}},
    {{0x00, 0x02, 0x01, 0x05, 0x03, 0x07, 0x27, 0x17, 0x37, 0x0F, 0x2F, 0x6F, 0x1F, 0x5F, 0x3F, 0x7F},
     {2, 2, 3, 3, 3, 6, 6, 6, 6, 6, 7, 7, 7, 7, 7, 7}},
};

constexpr uint32_t kLongestCode = 7;

// For reading: the code index and length behind every kLongestCode-bit
// window of the stream, per row (entry = index | length << 4).
inline constexpr auto kCodeLookup = [] {
    std::array<std::array<uint8_t, 1u << kLongestCode>, 16> table{};
    for (uint32_t t = 0; t < 16; ++t)
        for (uint32_t w = 0; w < (1u << kLongestCode); ++w)
            for (uint32_t k = 0; k < 16; ++k) {
                const uint32_t length = kCodeRows[t].length[k];
                if ((w & ((1u << length) - 1)) == kCodeRows[t].code[k]) {
                    table[t][w] = static_cast<uint8_t>(k | length << 4);
                    break;
                }
            }
    return table;
}();

// Tree descriptions of a plane, in this order: block types, sub-block types,
// the sixteen colour-high trees, colours, patterns, x offsets, y offsets, runs.
constexpr uint32_t kTreesPerPlane = 23;

// ---- Coefficients -----------------------------------------------------------

// Stored position i of a coefficient list holds the coefficient of slot
// kCoefficientOrder[i].  Position 0, the DC, travels in a bundle instead.
inline constexpr uint8_t kCoefficientOrder[64] = {
    0,  1,  2,  24, 3,  4,  5,  6,  25, 26, 28, 27, 44, 7,  8,  9,
    10, 45, 46, 29, 30, 36, 31, 32, 47, 16, 11, 12, 13, 14, 17, 18,
    33, 34, 37, 38, 39, 40, 35, 48, 19, 20, 15, 21, 22, 49, 50, 41,
    42, 43, 56, 51, 52, 23, 53, 54, 57, 58, 59, 60, 55, 61, 62, 63,
};
constexpr uint32_t kMaxCoefficientCount = 63;

// ---- Block types and the video frame stage's symbols ------------------------

enum BlockType : uint32_t {
    kSkipBlock = 0,
    kScaledBlock = 1,  // 16x16: this position and the next, on this row and the one below
    kMotionBlock = 2,
    kRunBlock = 3,
    kResidueBlock = 4,
    kIntraBlock = 5,
    kFillBlock = 6,
    kInterBlock = 7,
    kPatternBlock = 8,
    kRawBlock = 9,
    kBlockTypeCount = 10,
};

// Content types a scaled block may have (the values of bundle 1).
constexpr bool isScaledContent(uint32_t type) {
    return type == kRunBlock || type == kIntraBlock || type == kFillBlock || type == kPatternBlock || type == kRawBlock;
}

// The video frame stage codes each block position's type as a symbol: 0..8
// are single blocks, 9..13 scaled blocks; kSymbolContent gives the block type
// (the content type, for a scaled symbol).
constexpr uint32_t kSymbolCount = 14;
constexpr uint32_t kFirstScaledSymbol = 9;
constexpr uint32_t kNoSymbol = 0xFF;
inline constexpr uint8_t kSymbolContent[kSymbolCount] = {
    kSkipBlock,  kMotionBlock, kRunBlock, kResidueBlock, kIntraBlock, kFillBlock,    kInterBlock,
    kPatternBlock, kRawBlock,  kIntraBlock, kFillBlock,  kRunBlock,   kPatternBlock, kRawBlock,
};

constexpr bool isScaledSymbol(uint32_t symbol) { return symbol >= kFirstScaledSymbol; }

// The symbol of a single block of a type, or of a scaled block of a content
// type; kNoSymbol when the stage has none for it.
constexpr uint32_t singleSymbol(uint32_t type) {
    for (uint32_t f = 0; f < kFirstScaledSymbol; ++f)
        if (kSymbolContent[f] == type) return f;
    return kNoSymbol;
}
constexpr uint32_t scaledSymbol(uint32_t type) {
    for (uint32_t f = kFirstScaledSymbol; f < kSymbolCount; ++f)
        if (kSymbolContent[f] == type) return f;
    return kNoSymbol;
}
static_assert(singleSymbol(kScaledBlock) == kNoSymbol && scaledSymbol(kMotionBlock) == kNoSymbol);

// ---- Bundles ----------------------------------------------------------------

// The nine bundles of a plane, in the order their chunks appear in a row.
enum BundleId : int {
    kBundleBlockTypes = 0,
    kBundleSubBlockTypes = 1,
    kBundleColours = 2,
    kBundlePatterns = 3,
    kBundleXOffsets = 4,
    kBundleYOffsets = 5,
    kBundleIntraDc = 6,
    kBundleInterDc = 7,
    kBundleRuns = 8,
    kBundleCount = 9,
};

// The sub-stream each bundle's chunk values travel in.
inline constexpr int kBundleSource[kBundleCount] = {kBlockTypes, kSubBlockTypes, kColours, kPatterns, kXOffsets,
                                                    kYOffsets,   kIntraDc,       kInterDc, kRuns};

// Bytes per value: the DC bundles hold signed 16-bit values, the others bytes.
constexpr uint32_t bundleElementBytes(int bundle) {
    return bundle == kBundleIntraDc || bundle == kBundleInterDc ? 2 : 1;
}

// Chunks of these bundles whose values are all equal have two forms, and a
// flag in kFormChoices says which one the file uses.
constexpr bool hasFormChoice(int bundle) {
    return bundle == kBundleXOffsets || bundle == kBundleYOffsets || bundle == kBundleRuns;
}

// Block-type chunks: tree values 12..15 stand for 4, 8, 12 and 32 more of
// the last value, which starts at 0 in every chunk.
constexpr uint32_t kFirstRunCode = 12;
inline constexpr uint8_t kRunCodeRepeats[4] = {4, 8, 12, 32};

// DC chunks: the first value in full (intra: 11 bits; inter: 10 bits and a
// sign), the others as deltas in groups sharing one width.
constexpr uint32_t kIntraDcBits = 11;
constexpr uint32_t kInterDcBits = 10;
constexpr uint32_t kDcGroup = 8;

// ---- Runs -------------------------------------------------------------------

// The pixels the runs of a run block cover: runs follow until at least 63 of
// the 64 pixels are covered, and none may pass pixel 64.  A filled run takes
// one colour, another one colour per pixel; when the runs stop one pixel
// short, the last pixel takes a colour of its own.
struct RunCover {
    uint32_t covered = 0;

    bool open() const { return covered < 63; }
    bool add(uint32_t run) {
        covered += run + 1;
        return covered <= 64;
    }
    static constexpr uint32_t colours(uint32_t run, uint32_t filled) { return filled ? 1 : run + 1; }
    uint32_t closingColours() const { return covered == 63 ? 1 : 0; }
};

// ---- Geometry ---------------------------------------------------------------

// The widest plane: the video frame stage keeps one byte per block column of
// the row above, 1024 bytes in all, 16 of them spare.
constexpr uint32_t kMaxBlockColumns = 1008;

// Block columns (of a width) or rows (of a height) of a plane: 8x8 blocks of
// luma and alpha, 8x8 blocks of half-size chroma, so 16 pixels each.
constexpr uint32_t planeBlocks(uint32_t pixels, bool chroma) {
    return static_cast<uint32_t>((uint64_t(pixels) + (chroma ? 15 : 7)) >> (chroma ? 4 : 3));
}

struct PlaneGeometry {
    uint32_t columns = 0;
    uint32_t rows = 0;
    uint32_t countWidth[kBundleCount] = {};  // bits of each bundle's chunk counts
};

// false when the plane has more than kMaxBlockColumns columns.
constexpr bool planeGeometry(uint32_t width, uint32_t height, bool chroma, PlaneGeometry& g) {
    g.columns = planeBlocks(width, chroma);
    g.rows = planeBlocks(height, chroma);
    if (g.columns > kMaxBlockColumns) return false;
    const uint32_t planeWidth = chroma ? width >> 1 : width;  // at most 8064 here
    const uint32_t a = planeWidth < 8 ? 15 : planeWidth + 7;
    const uint32_t perBlock = bitLength((a >> 3) + 511);
    const uint32_t widths[kBundleCount] = {perBlock,
                                           bitLength((a >> 4) + 511),
                                           bitLength(g.columns * 64 + 511),
                                           bitLength(g.columns * 8 + 511),
                                           perBlock,
                                           perBlock,
                                           perBlock,
                                           perBlock,
                                           bitLength(g.columns * 48 + 511)};
    for (int b = 0; b < kBundleCount; ++b) g.countWidth[b] = widths[b];
    return true;
}

// Bytes of each of the nine bundle areas of a frame: 64 per 8x8 block, as
// many as the largest plane can fill in any bundle.
constexpr uint64_t bundleAreaBytes(uint32_t width, uint32_t height) {
    return uint64_t(planeBlocks(width, false)) * 64 * planeBlocks(height, false);
}

}  // namespace dev::bink1
