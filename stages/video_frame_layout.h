// Model table layout, sub-stream slots, persistent state and the helpers of
// the Bink 1 video frame grammar (stages/video_frame_grammar.h and
// stages/block_content_grammar.h).
#pragma once

#include <cstdint>
#include <cstring>

#include "core/bink_context.h"
#include "core/coder.h"
#include "core/range_decoder.h"
#include "core/value_stream.h"

namespace dev::vframe {

// ---- Model table: one flat array; every index is a plain sum of a base and
// the context terms named next to it, used exactly as written.  Some context
// ranges overlap their neighbours by design (the block-type tree contexts are
// 12 models apart although a 4-bit tree has 15 nodes); the overlaps are part
// of the format and must not be "fixed". ----
constexpr uint32_t kPacketSize = 0;            // IntegerModels block
constexpr uint32_t kStoredFlag = 1518;
constexpr uint32_t kAlphaValue = 1519;         // IntegerModels block
constexpr uint32_t kTreeSelector = 3037;       // + 16(e + 256k + 16t) + node
constexpr uint32_t kTreeKind = 26589;          // + u          (u = 16t + selector)
constexpr uint32_t kTreeLength = 26957;        // + 8u + node
constexpr uint32_t kTreeSymbol = 29901;        // + 16s + 4096t + node
constexpr uint32_t kTreeMergeCount = 124109;   // + 4u + node
constexpr uint32_t kTreeMerge = 125581;        // + 256i + 2048(t >> 2) + h
constexpr uint32_t kBlockPath = 137869;        // + 65536 history5 + 4096 A1 + J
constexpr uint32_t kBlockTree = 2300557;       // + 12(4096 A1 + J) + node
constexpr uint32_t kBlockUnary = 3160717;      // + 6J + i
constexpr uint32_t kRunScan = 3185293;         // + 16k + node
constexpr uint32_t kRunFill = 3185357;         // + 64k + ctx
constexpr uint32_t kRunValue = 3185613;        // + 16(pos + long + 128F) + node
constexpr uint32_t kColourHigh = 3189709;      // + 4096d + 16(64k + h + (Q >> 4)) + node
constexpr uint32_t kColourLow = 3222477;       // + 262144d + 16(64Q + h + hi) + node
constexpr uint32_t kResidueCount = 11611085;   // + 512k + 128 class + node
constexpr uint32_t kResidueExponent = 11613133;  // + 512k + 8 bitlen(count) + 64 lastExp + node
constexpr int32_t kResidueRefine = 11615197;   // + 144b - 16e + hr
constexpr int32_t kResidueEntry = 11624397;    // + 8192(9b - e) + 512 h4 + h9
constexpr int32_t kResidueCoefficient = 12148685;  // + 8192(9b - e) + 512 h4 + h9
constexpr int32_t kResidueSign = 12666829;     // + 2048(b - e) + 128 h4 + h7
constexpr uint32_t kResidueLateSign = 12681165;  // + 64 h7 + h6
constexpr uint32_t kRawMantissa = 12689357;    // + 8B + j
constexpr uint32_t kRawZero = 12689421;        // + z3 + 8m + 128 zr
constexpr uint32_t kRawSign = 12697613;        // + 8 s6 + z3
constexpr uint32_t kRawLength = 12698125;      // + 8(m >> 1) + node
constexpr uint32_t kMotionYSign = 12698189;    // + ys
constexpr uint32_t kMotionY = 12698197;        // + 16(ys + 8 lastY + 128g) + node
constexpr uint32_t kMotionXSign = 12730965;    // + 8(ys & 3) + 64(Y >> 2) + xs
constexpr uint32_t kMotionX = 12731221;        // + 16(xs + 8(ys & 3) + 32 lastX + 512(Y >> 2)) + node
constexpr uint32_t kPattern = 12763989;        // + 256(256P + O) + node
constexpr uint32_t kStoredByte = 13419349;     // + node
constexpr uint32_t kModelCount = 13419605;

DEV_INLINE uint32_t treeSelectorBase(uint32_t e, uint32_t k, uint32_t t) { return kTreeSelector + 16 * (e + 256 * k + 16 * t); }
DEV_INLINE uint32_t treeSymbolBase(uint32_t s, uint32_t t) { return kTreeSymbol + 16 * s + 4096 * t; }
DEV_INLINE uint32_t treeMergeModel(uint32_t i, uint32_t t, uint32_t h) { return kTreeMerge + 256 * i + 2048 * (t >> 2) + h; }
DEV_INLINE uint32_t blockPathModel(uint32_t history5, uint32_t a1, uint32_t j) { return kBlockPath + 65536 * history5 + 4096 * a1 + j; }
DEV_INLINE uint32_t blockTreeBase(uint32_t a1, uint32_t j) { return kBlockTree + 12 * (4096 * a1 + j); }
DEV_INLINE uint32_t blockUnaryBase(uint32_t j) { return kBlockUnary + 6 * j; }

// ---- Sub-stream slots of the stage (index = sub-stream number - 2). ----
enum Slot : int {
    kTypes = 0,
    kSubTypes,
    kResidueCounts,
    kColours,
    kRuns,
    kRunFields,
    kYOffsets,
    kXOffsets,
    kPatterns,
    kPackets,
    kTrees,
    kResidues,
    kSlotCount
};

// The above-row array bounds a plane: one byte per block column plus room for
// the look-ahead at column + 1 and the clearing of columns + 16 bytes.
constexpr uint32_t kAboveBytes = 1024;
constexpr uint32_t kMaxColumns = 1008;

// Path 1 of the block-type code is unary; a valid symbol (9..13) uses at most
// its first five models.  A damaged stream is cut off there, not read on.
constexpr uint32_t kUnaryModels = 5;
constexpr uint32_t kSymbolCount = 14;

// Symbol f -> Bink 1 block type; 10 and above are scaled blocks of type m - 10.
constexpr uint8_t kSymbolType[kSymbolCount] = {0, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 13, 18, 19};
constexpr uint32_t kScaled = 10;
constexpr uint32_t kFirstScaledSymbol = 9;
constexpr uint32_t kNoSymbol = 0xFF;

// The inverse maps, for the encoder: Bink type of a single block, and sub-type
// of a scaled block, to the symbol (kNoSymbol when the stage cannot carry it).
constexpr uint8_t kSingleSymbol[16] = {0, kNoSymbol, 1, 2, 3, 4, 5, 6, 7, 8, kNoSymbol, kNoSymbol,
                                       kNoSymbol, kNoSymbol, kNoSymbol, kNoSymbol};
constexpr uint8_t kScaledSymbol[16] = {kNoSymbol, kNoSymbol, kNoSymbol, 11, kNoSymbol, 9, 10, kNoSymbol,
                                       12, 13, kNoSymbol, kNoSymbol, kNoSymbol, kNoSymbol, kNoSymbol, kNoSymbol};

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

// Block grid of a dimension in pixels, without overflow for any 32-bit size.
inline uint32_t blocksOf(uint32_t pixels, uint32_t shift) {
    return static_cast<uint32_t>((uint64_t(pixels) + (1u << shift) - 1) >> shift);
}

// Fills the geometry from the header fields; the rest of the state starts at 0.
inline void initState(VideoFrameState& st, const BinkContext& context, uint8_t* above) {
    st = VideoFrameState();
    st.lumaColumns = blocksOf(context.width, 3);
    st.lumaRows = blocksOf(context.height, 3);
    st.chromaColumns = blocksOf(context.width, 4);
    st.chromaRows = blocksOf(context.height, 4);
    st.hasAlpha = context.hasAlpha != 0;
    st.grayscale = context.grayscale != 0;
    st.above = above;
}

// ---- Helpers shared by the grammar classes. ----
template <class C>
struct GrammarBase {
    using Stream = typename C::Stream;

    C& c;
    BitModel* m;
    VideoFrameState& st;
    Stream* s;
    // Set when a value taken by the encoder lies outside what its code can
    // carry, or (both directions) when the data cannot form a frame.
    bool bad = false;

    GrammarBase(C& coder, BitModel* models, VideoFrameState& state, Stream* streams)
        : c(coder), m(models), st(state), s(streams) {}

    // Next byte value of a slot for the encoder, which must not exceed limit;
    // 0 for the decoder.
    DEV_INLINE uint32_t take(int slot, uint32_t limit) {
        if constexpr (C::kEncoding) {
            uint32_t v = C::take8(s[slot]);
            if (v > limit) {
                bad = true;
                v = 0;
            }
            return v;
        } else {
            (void)slot;
            (void)limit;
            return 0;
        }
    }
    DEV_INLINE void emit(int slot, uint32_t v) { C::emit8(s[slot], v); }

    // A tree-coded field of n bits: taken, coded, emitted.
    DEV_INLINE uint32_t field(int slot, uint32_t base, int n) {
        uint32_t v = take(slot, (1u << n) - 1);
        v = c.tree(m + base, n, v);
        emit(slot, v);
        return v;
    }
    // A one-decision field: taken, coded, emitted.
    DEV_INLINE uint32_t flag(int slot, uint32_t model) {
        uint32_t v = take(slot, 1);
        v = c.bit(m[model], v);
        emit(slot, v);
        return v;
    }

    // True when a slot can give (encoder) or take (decoder) n more bytes.
    bool hasRoom(int slot, uint32_t n) const {
        if constexpr (C::kEncoding) return s[slot].remaining() >= n;
        else return s[slot].room(n);
    }
    // True once a slot has run dry (encoder) or full (decoder).
    bool exhausted(int slot) const {
        if constexpr (C::kEncoding) return s[slot].underflow;
        else return s[slot].overflow;
    }
};

}  // namespace dev::vframe
