// Model table layout, persistent state and the helpers of the Bink 1 video
// frame grammar (stages/video_frame_grammar.h and
// stages/block_content_grammar.h).
#pragma once

#include <cstdint>
#include <cstring>

#include "core/bink_context.h"
#include "core/bits.h"
#include "core/coder.h"
#include "core/grammar_codes.h"
#include "core/models.h"
#include "core/range_decoder.h"
#include "core/sub_streams.h"
#include "core/value_stream.h"
#include "writers/bink1/format.h"

namespace dev::vframe {

// ---- Model table: one flat array, a base per table and the index function
// that is the plain sum of context terms the format defines.  Below them, a
// static_assert per table checks that its largest index (at the largest
// arguments a valid stream can produce) stays below the next base; where the
// format lets contexts share models, the overlap is asserted as such. ----

constexpr uint32_t kPlaneKinds = 4;     // luma, two chroma planes, alpha
constexpr uint32_t kTreeSlots = bink1::kTreesPerPlane;
constexpr uint32_t kHistory5Start = 32;  // the first block of a row; a row never returns to it
constexpr uint32_t kLastSymbol = bink1::kSymbolCount - 1;
// Context of the previous block: 17f for a single block of symbol f, 16f + A1
// after a scaled one, 17A beside the lower half of a scaled block: at most
// 17 x 13 = 221 either way.
constexpr uint32_t kMaxPrevious = 17 * kLastSymbol;
constexpr uint32_t kMaxJ = kMaxPrevious + 256 * kLastSymbol;
// Path 1 of the block-type code is unary; a valid symbol (9..13) uses at most
// its first five models.  A damaged stream is cut off there, not read on.
constexpr uint32_t kUnaryModels = bink1::kSymbolCount - bink1::kFirstScaledSymbol;

constexpr uint32_t kPacketSize = 0;  // IntegerModels block
constexpr uint32_t kStoredFlag = 1518;
constexpr uint32_t kAlphaValue = 1519;  // IntegerModels block
constexpr uint32_t kTreeSelector = 3037;
constexpr uint32_t kTreeKind = 26589;
constexpr uint32_t kTreeLength = 26957;
constexpr uint32_t kTreeSymbol = 29901;
constexpr uint32_t kTreeMergeCount = 124109;
constexpr uint32_t kTreeMerge = 125581;
constexpr uint32_t kBlockPath = 137869;
constexpr uint32_t kBlockTree = 2300557;
constexpr uint32_t kBlockUnary = 3160717;
constexpr uint32_t kRunScan = 3185293;
constexpr uint32_t kRunFill = 3185357;
constexpr uint32_t kRunValue = 3185613;
constexpr uint32_t kColourHigh = 3189709;
constexpr uint32_t kColourLow = 3222477;
constexpr uint32_t kResidueCount = 11611085;
constexpr uint32_t kResidueExponent = 11613133;
constexpr int32_t kResidueRefine = 11615197;
constexpr int32_t kResidueEntry = 11624397;
constexpr int32_t kResidueCoefficient = 12148685;
constexpr int32_t kResidueSign = 12666829;
constexpr uint32_t kResidueLateSign = 12681165;
constexpr uint32_t kRawMantissa = 12689357;
constexpr uint32_t kRawZero = 12689421;
constexpr uint32_t kRawSign = 12697613;
constexpr uint32_t kRawLength = 12698125;
constexpr uint32_t kMotionYSign = 12698189;
constexpr uint32_t kMotionY = 12698197;
constexpr uint32_t kMotionXSign = 12730965;
constexpr uint32_t kMotionX = 12731221;
constexpr uint32_t kPattern = 12763989;
constexpr uint32_t kStoredByte = 13419349;
constexpr uint32_t kModelCount = 13419605;

// Plane trees: e the previous tree's selector, k the plane kind, t the tree,
// v the selector, s the last two explicit symbols, i the merge pass, h the
// selector's merge history.
constexpr uint32_t treeSelectorBase(uint32_t e, uint32_t k, uint32_t t) { return kTreeSelector + 16 * (e + 256 * k + 16 * t); }
constexpr uint32_t treeKindModel(uint32_t t, uint32_t v) { return kTreeKind + 16 * t + v; }
constexpr uint32_t treeLengthBase(uint32_t t, uint32_t v) { return kTreeLength + 8 * (16 * t + v); }
constexpr uint32_t treeSymbolBase(uint32_t s, uint32_t t) { return kTreeSymbol + 16 * s + 4096 * t; }
constexpr uint32_t treeMergeCountBase(uint32_t t, uint32_t v) { return kTreeMergeCount + 4 * (16 * t + v); }
constexpr uint32_t treeMergeModel(uint32_t i, uint32_t t, uint32_t h) { return kTreeMerge + 256 * i + 2048 * (t >> 2) + h; }

// Block-type symbols: J = previous + 256 A, A and A1 the symbols above and
// above-right.
constexpr uint32_t blockPathModel(uint32_t history5, uint32_t a1, uint32_t j) { return kBlockPath + 65536 * history5 + 4096 * a1 + j; }
constexpr uint32_t kBlockTreeStride = 12;
constexpr uint32_t blockTreeBase(uint32_t a1, uint32_t j) { return kBlockTree + kBlockTreeStride * (4096 * a1 + j); }
constexpr uint32_t blockUnaryBase(uint32_t j) { return kBlockUnary + 6 * j; }

// Block contents: k the plane kind, h the quadrant (0, 16, 32 or 48).
constexpr uint32_t runScanBase(uint32_t k) { return kRunScan + 16 * k; }
constexpr uint32_t runFillModel(uint32_t k, uint32_t ctx) { return kRunFill + 64 * k + ctx; }
constexpr uint32_t runValueBase(uint32_t pos, uint32_t longRun, uint32_t fill) { return kRunValue + 16 * (pos + longRun + 128 * fill); }
// Colours: d the colour's role (0 run, 1 fill, 2 and 3 the pattern colours,
// 4 the first raw pixel), q the context colour, hi the high nibble.
constexpr uint32_t colourHighBase(uint32_t d, uint32_t k, uint32_t h, uint32_t q) {
    return kColourHigh + 4096 * d + 16 * (64 * k + h + (q >> 4));
}
constexpr uint32_t colourLowBase(uint32_t d, uint32_t q, uint32_t h, uint32_t hi) {
    return kColourLow + 262144 * d + 16 * (64 * q + h + hi);
}
constexpr uint32_t residueCountBase(uint32_t k, uint32_t residueClass) { return kResidueCount + 512 * k + 128 * residueClass; }
constexpr uint32_t residueExponentBase(uint32_t k, uint32_t count, uint32_t lastExp) {
    return kResidueExponent + 512 * k + 8 * bitLength(count) + 64 * lastExp;
}
// The residue contexts depend on the start exponent b and the pass e (from 1);
// 9b - e and b - e reach -1 on the single pass of b = 0, so these are signed.
constexpr uint32_t residueRefineModel(int32_t b, int32_t e, uint32_t hr) {
    return static_cast<uint32_t>(kResidueRefine + 144 * b - 16 * e) + hr;
}
constexpr uint32_t residueEntryModel(int32_t b, int32_t e, uint32_t h4, uint32_t h9) {
    return static_cast<uint32_t>(kResidueEntry + 8192 * (9 * b - e)) + 512 * h4 + h9;
}
constexpr uint32_t residueCoefficientModel(int32_t b, int32_t e, uint32_t h4, uint32_t h9) {
    return static_cast<uint32_t>(kResidueCoefficient + 8192 * (9 * b - e)) + 512 * h4 + h9;
}
constexpr uint32_t residueSignModel(int32_t b, int32_t e, uint32_t h4, uint32_t h7) {
    return static_cast<uint32_t>(kResidueSign + 2048 * (b - e)) + 128 * h4 + h7;
}
constexpr uint32_t residueLateSignModel(uint32_t h7, uint32_t h6) { return kResidueLateSign + 64 * h7 + h6; }
// Raw pixels: B the residual's length, z3 the zero history, m the magnitude
// class, zr the zero run, s6 the sign history.
constexpr uint32_t rawMantissaBase(uint32_t length) { return kRawMantissa + 8 * length; }
constexpr uint32_t rawZeroModel(uint32_t z3, uint32_t mc, uint32_t zr) { return kRawZero + z3 + 8 * mc + 128 * zr; }
constexpr uint32_t rawSignModel(uint32_t s6, uint32_t z3) { return kRawSign + 8 * s6 + z3; }
constexpr uint32_t rawLengthBase(uint32_t mc) { return kRawLength + 8 * (mc >> 1); }
// Motion: ys and xs the sign histories, g bits 1..4 of the last y difference,
// y the y magnitude.
constexpr uint32_t motionYSignModel(uint32_t ys) { return kMotionYSign + ys; }
constexpr uint32_t motionYBase(uint32_t ys, uint32_t lastY, uint32_t g) { return kMotionY + 16 * (ys + 8 * lastY + 128 * g); }
constexpr uint32_t motionXSignModel(uint32_t ys, uint32_t y, uint32_t xs) { return kMotionXSign + 8 * (ys & 3) + 64 * (y >> 2) + xs; }
constexpr uint32_t motionXBase(uint32_t xs, uint32_t ys, uint32_t lastX, uint32_t y) {
    return kMotionX + 16 * (xs + 8 * (ys & 3) + 32 * lastX + 512 * (y >> 2));
}
// Patterns: p the bit-change context (4 for the first byte, then at most 8),
// o the previous byte.
constexpr uint32_t patternBase(uint32_t p, uint32_t o) { return kPattern + 256 * (256 * p + o); }

// Reach of each table: tree nodes of n bits run to 2^n - 1.
static_assert(kPacketSize + IntegerModels::kSize <= kStoredFlag);
static_assert(kStoredFlag < kAlphaValue && kAlphaValue + IntegerModels::kSize <= kTreeSelector);
static_assert(treeSelectorBase(15, kPlaneKinds - 1, kTreeSlots - 1) + 15 < kTreeKind);
static_assert(treeKindModel(kTreeSlots - 1, 15) < kTreeLength);
static_assert(treeLengthBase(kTreeSlots - 1, 15) + 7 < kTreeSymbol);
static_assert(treeSymbolBase(255, kTreeSlots - 1) + 15 < kTreeMergeCount);
static_assert(treeMergeCountBase(kTreeSlots - 1, 15) + 3 < kTreeMerge);
static_assert(treeMergeModel(3, kTreeSlots - 1, 255) < kBlockPath);
static_assert(blockPathModel(kHistory5Start, kLastSymbol, kMaxJ) < kBlockTree);
// Intended overlap: a 4-bit tree has nodes 1..15, but its contexts lie 12
// models apart, so nodes 13..15 of one context are nodes 1..3 of the next.
static_assert(kBlockTreeStride < 16 && blockTreeBase(0, 1) - blockTreeBase(0, 0) == kBlockTreeStride);
static_assert(blockTreeBase(kLastSymbol, kMaxJ) + 15 < kBlockUnary);
static_assert(blockUnaryBase(kMaxJ) + kUnaryModels - 1 < kRunScan);
static_assert(runScanBase(kPlaneKinds - 1) + 15 < kRunFill);
static_assert(runFillModel(kPlaneKinds - 1, 3 + 4 * 15) < kRunValue);
static_assert(runValueBase(62, 64, 1) + 15 < kColourHigh);
static_assert(colourHighBase(4, kPlaneKinds - 1, 48, 255) + 15 < kColourLow);
static_assert(colourLowBase(4, 255, 48, 15) + 15 < kResidueCount);
static_assert(residueCountBase(kPlaneKinds - 1, 3) + 127 < kResidueExponent);
static_assert(residueExponentBase(kPlaneKinds - 1, 127, 7) + 7 < uint32_t(kResidueRefine));
// Refinement starts at the second pass (e = 2 <= b + 1); the other residue
// tables reach below their base on the pass of b = 0 (9b - e = b - e = -1),
// and must stay above the table before them there.
static_assert(residueRefineModel(1, 2, 0) >= uint32_t(kResidueRefine) && residueRefineModel(7, 2, 15) < residueEntryModel(0, 1, 0, 0));
static_assert(residueEntryModel(7, 1, 15, 511) < residueCoefficientModel(0, 1, 0, 0));
static_assert(residueCoefficientModel(7, 1, 15, 511) < residueSignModel(0, 1, 0, 0));
static_assert(residueSignModel(7, 1, 15, 127) < kResidueLateSign);
static_assert(residueLateSignModel(127, 63) < kRawMantissa);
static_assert(rawMantissaBase(7) + 6 < kRawZero);
static_assert(rawZeroModel(7, 8, 63) < kRawSign);
static_assert(rawSignModel(63, 7) < kRawLength);
static_assert(rawLengthBase(8) + 7 < kMotionYSign);
static_assert(motionYSignModel(7) < kMotionY);
static_assert(motionYBase(7, 15, 15) + 15 < kMotionXSign);
static_assert(motionXSignModel(3, 15, 7) < kMotionX);
static_assert(motionXBase(7, 3, 15, 15) + 15 < kPattern);
static_assert(patternBase(8, 255) + 255 < kStoredByte);
static_assert(kStoredByte + 255 == kModelCount - 1);

// The large pages nearly all decisions fall in, backed densely: from the
// plane trees to the end of what the colour tables reach (a file touches some
// 60 and 110 small pages of the block paths and the low colours, whose faults
// fell on this stage's thread), and the residue signs, motion and pattern
// models at the end (bench/model_footprint).
constexpr platform::PageSpan kDenseSpans[] = {denseModels(kPacketSize, colourLowBase(4, 255, 48, 15) + 16),
                                              denseModels(kResidueLateSign, kModelCount)};

// The above-row array bounds a plane: one byte per block column plus room for
// the look-ahead at column + 1 and the clearing of columns + 16 bytes.
constexpr uint32_t kAboveBytes = bink1::kMaxBlockColumns + 16;

// Plane kinds (they select model ranges).
enum PlaneKind : uint32_t { kLuma = 0, kChromaU = 1, kChromaV = 2, kAlpha = 3 };

// Everything that runs on from block to block, plane to plane and frame to
// frame, besides the models.  Zeroed when the stage (or encoder) starts.
struct VideoFrameState {
    // Geometry, from the Bink header.
    uint32_t lumaColumns = 0;
    uint32_t lumaRows = 0;
    uint32_t chromaColumns = 0;
    uint32_t chromaRows = 0;
    bool hasAlpha = false;
    bool grayscale = false;

    uint8_t* above = nullptr;  // kAboveBytes, owned by whoever set up the state

    // Frame layer.
    uint32_t history5 = 0;
    uint32_t previousSize = 0;
    uint32_t previousAlpha = 0;
    uint8_t sizeSigns = 0;
    uint8_t alphaSigns = 0;

    // Block contents.
    uint32_t lastColour = 0;
    uint32_t residueClass = 0;
    uint32_t lastResidueExponent = 0;
    uint32_t ySigns = 0;
    uint32_t xSigns = 0;
    uint32_t lastY = 0;
    uint32_t previousY = 0;
    uint32_t lastX = 0;
};

// Fills the geometry from the header fields; the rest of the state starts at 0.
inline void initState(VideoFrameState& st, const BinkContext& context, uint8_t* above) {
    st = VideoFrameState();
    st.lumaColumns = bink1::planeBlocks(context.width, false);
    st.lumaRows = bink1::planeBlocks(context.height, false);
    st.chromaColumns = bink1::planeBlocks(context.width, true);
    st.chromaRows = bink1::planeBlocks(context.height, true);
    st.hasAlpha = context.hasAlpha != 0;
    st.grayscale = context.grayscale != 0;
    st.above = above;
}

// The sub-streams of the stage, in the order of its table row.
inline constexpr int kOutputs[] = {bink1::kBlockTypes, bink1::kSubBlockTypes, bink1::kResidueBudgets,
                                   bink1::kColours,    bink1::kRuns,          bink1::kRunFields,
                                   bink1::kYOffsets,   bink1::kXOffsets,      bink1::kPatterns,
                                   bink1::kPacketRecords, bink1::kTrees,      bink1::kResidues};
constexpr int kOutputCount = sizeof kOutputs / sizeof kOutputs[0];

// ---- Helpers shared by the grammar classes. ----
template <class C>
struct GrammarBase {
    using Stream = typename C::Stream;

    C& c;
    BitModel* m;
    VideoFrameState& st;
    StreamArray<Stream>& s;  // by sub-stream number; the stage's twelve are used
    // Set when a value taken by the encoder lies outside what its code can
    // carry, or (both directions) when the data cannot form a frame.
    bool bad = false;

    GrammarBase(C& coder, BitModel* models, VideoFrameState& state, StreamArray<Stream>& streams)
        : c(coder), m(models), st(state), s(streams) {}

    // Next byte value of a sub-stream for the encoder, which must not exceed
    // limit; 0 for the decoder.
    DEV_INLINE uint32_t take(int n, uint32_t limit) {
        if constexpr (C::kEncoding) {
            uint32_t v = C::take8(s[n]);
            if (v > limit) {
                bad = true;
                v = 0;
            }
            return v;
        } else {
            (void)n;
            (void)limit;
            return 0;
        }
    }
    DEV_INLINE void emit(int n, uint32_t v) { C::emit8(s[n], v); }

    // A tree-coded field of `bits` bits: taken, coded, emitted.
    DEV_INLINE uint32_t field(int n, uint32_t base, int bits) {
        uint32_t v = take(n, (1u << bits) - 1);
        v = c.tree(m + base, bits, v);
        emit(n, v);
        return v;
    }
    // The same for values spread evenly enough to decode without branches.
    DEV_INLINE uint32_t evenField(int n, uint32_t base, int bits) {
        uint32_t v = take(n, (1u << bits) - 1);
        v = codeEvenTree(c, m + base, bits, v);
        emit(n, v);
        return v;
    }
    // A one-decision field: taken, coded, emitted.
    DEV_INLINE uint32_t flag(int n, uint32_t model) {
        uint32_t v = take(n, 1);
        v = c.bit(m[model], v);
        emit(n, v);
        return v;
    }

    // True when a sub-stream can give (encoder) or take (decoder) `bytes` more.
    bool hasRoom(int n, uint32_t bytes) const {
        if constexpr (C::kEncoding) return s[n].remaining() >= bytes;
        else return s[n].room(bytes);
    }
    // True once a sub-stream has run dry (encoder) or full (decoder).
    bool exhausted(int n) const {
        if constexpr (C::kEncoding) return s[n].underflow;
        else return s[n].overflow;
    }
};

}  // namespace dev::vframe
