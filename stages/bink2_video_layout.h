// Model table, value bounds, geometry and running state of the Bink 2 video
// stage (grammar in stages/bink2_video_grammar.h and
// stages/bink2_block_grammar.h).
//
// Values written per frame, sub-stream by sub-stream (names of
// writers/bink2/streams.h; integers little-endian, int16 two's complement).
// This is the contract with the Bink 2 frame writer and the packer's parser:
//
//   kMacroblockTypes (2)   inter frames only: one byte per macroblock in scan
//                          order (slice, row, column): 0 intra, 1 skip,
//                          2 motion, 3 residue.  Key frames: nothing.
//   kMotionVectors (3)     per motion or residue macroblock: a byte, 1 for one
//                          vector, 0 for four; then int16 x, int16 y (one
//                          vector) or int16 x0..x3, int16 y0..y3 (four).
//                          |component| <= 32767.
//   kFrameHeader (4)       uint32 frame flags; uint32 offset of every slice
//                          1..count-1; if the row flag list is present
//                          (kFlagListsPresent set, kNoRowFlags clear) a mode
//                          byte (0 raw, 1 run) and ceil(rowFlagCount / 8)
//                          flag bytes, flag i in bit i % 8 of byte i / 8,
//                          unused high bits of the last byte 0; then the
//                          column flag list the same way (kNoColumnFlags).
//   kIntraQuantisers (5)   one byte (0..63) per intra macroblock.
//   kIntraBlockData (6)    per intra macroblock, per block group in the order
//                          luma (16 blocks), U (4), V (4), alpha (16, files
//                          with alpha, unless bink2::frameCodesAlpha leaves
//                          it out of the frame): the group's symbol bytes, then one
//                          int16 DC value per block (|DC| <= 32767).
//                          Symbol bytes of luma and alpha: the extra bit
//                          (0/1), absent when the frame has
//                          kEmptyPlaneSymbol and all counts of the group are
//                          0.  Of U and V: the pattern choice (1 predicted,
//                          0 explicit) and, after a 0, the extra bit (0/1).
//   kIntraCoefficients (7) per block, groups and blocks in the same order: a
//                          count byte n (0..63), then n int16 coefficients
//                          (positions 1..n), |value| <= kMaxCoefficient
//                          (2051).
//   kResidueQuantisers (8) per residue macroblock: the quantiser byte (0..63),
//                          then the chroma flag byte (0/1).
//   kResidueBlockData (9)  as kIntraBlockData for residue macroblocks; the U
//                          and V groups only when the chroma flag is 1.
//   kResidueCoefficients (10) as kIntraCoefficients for residue macroblocks.
//
// The stage writes every sub-stream from its first byte each frame and records
// no lengths: each consumer parses its sub-streams in this order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>

#include "core/bink_context.h"
#include "core/bits.h"
#include "core/range_decoder.h"
#include "core/models.h"
#include "writers/bink2/geometry.h"
#include "writers/bink2/streams.h"
#include "writers/bink2/tables.h"
#include "writers/bink_container.h"

namespace dev::b2video {

// ---- Model table: one flat array of kModelCount models.  Every index is a
// plain sum of a table base and the context terms named beside it, used
// exactly as written.  Where a sum can reach past its table the model reached
// is shared with the next table; the asserts below mark which reaches are
// bounded by valid values and which overlaps belong to the format.
//
// Placement: the bases below are where the tables are stored, not the
// format's own numbers, which placed() maps.  The store is the format's index
// space with a gap before each block group's tables and before the vector
// tables, so that each starts on a large page.  A gap only moves whole runs
// of tables, so every model keeps its neighbours, every overlap stays and no
// two models meet; nothing is ever stored in a gap.  Inside a group's span
// the eleven tables reach no neighbour at valid values, so each is stored as
// a whole where it suits, and the three coefficient tables (the bulk of a
// file's decisions) store their terms in another order and leave out what no
// valid stream reaches, as described with their index functions.  What a
// file uses of a group then lies on the group's first two large pages, the
// DC signs and the long coefficient lengths, which few decisions use, on the
// second.  Every model a valid stream reaches keeps a place of its own. ----

constexpr uint32_t kLargePageModels = static_cast<uint32_t>(platform::kLargePage / sizeof(BitModel));
// Format indices where a gap goes in: the block groups' first tables (count
// zero flags) in ascending order, then the vector count flags.
constexpr uint32_t kPieceStarts[] = {240688, 7450928, 14661168, 21936944, 29147184, 36357424, 43501616};
constexpr uint32_t alignedUp(uint32_t i) { return (i + kLargePageModels - 1) / kLargePageModels * kLargePageModels; }
// Where the gaps put the model the format numbers index.
constexpr uint32_t gapped(uint32_t index) {
    uint32_t shift = 0;
    for (uint32_t s : kPieceStarts)
        if (index >= s) shift = alignedUp(s + shift) - s;
    return index + shift;
}

// Frame header and macroblock layer.
constexpr uint32_t kMacroblockType = 0;     // 4c (first bit); 4c + 2 + first (second bit)
constexpr uint32_t kFrameFlags = 4096;      // + 2i + previous bit
constexpr uint32_t kSliceOffset = 4160;     // one IntegerModels block
constexpr uint32_t kRowFlagMode = 5678;
constexpr uint32_t kRowFlagBits = 5679;     // + 256 previous-frame bit + 8-bit history
constexpr uint32_t kColumnFlagMode = 6191;
constexpr uint32_t kColumnFlagBits = 6192;  // as the row flag bits
constexpr uint32_t kVectorCount = gapped(43501616);      // + 16384 flag above + 1024 history + c
constexpr uint32_t kVectorHorizontal = gapped(43534384); // vector component tables (below)
constexpr uint32_t kVectorVertical = gapped(43862192);
constexpr uint32_t kModelCount = gapped(44190000);

// The four tables of one quantiser (intra or inter).
struct QuantiserTables {
    uint32_t zero;    // + 128p + 8(c >> 6) + zero history
    uint32_t sign;    // + 32p + sign history
    uint32_t length;  // + 4096(sign history & 3) + 64p + 8 previous length + node
    uint32_t bits;    // + 1024p + 128 length + 64 sign + node
};
constexpr QuantiserTables kIntraQuantiser = {6704, 14896, 16944, 25136};
constexpr QuantiserTables kInterQuantiser = {90672, 98864, 100912, 109104};

// Vector component tables, relative to kVectorHorizontal or kVectorVertical.
constexpr uint32_t kVectorZero = 0;          // + 8192b + 512 index + 32 length + 16 flag + zero history
constexpr uint32_t kVectorSign = 131072;     // + 8 index + sign history
constexpr uint32_t kVectorLength = 131200;   // + 8192b + 4096 flag + 256 index + 16 length + node
constexpr uint32_t kVectorBits = 262272;     // + 4096b + 256L + 16 index + bit number
constexpr uint32_t kVectorTableSize = 327808;

// The eleven tables of one block group kind (U and V share theirs): where
// each is stored.  In the format they follow each other in this order from
// the count zero flags on, with the sizes below; the terms beside them are
// the format's numbering, which the coefficient tables store in another
// order (see their index functions).
struct GroupTables {
    uint32_t countZero;          // + 8192B + 512R + 128S + T + p
    uint32_t countClass;         // + 4096B + 256R + 64S + 8p + node
    uint32_t countBits;          // + 256S + 32e + node
    uint32_t dcZero;             // + 16384p + 2048d + h
    uint32_t dcSign;             // + 32768p + 2048b + 256d + g
    uint32_t dcLength;           // + 4096p + 512d + 8Q8 + i
    uint32_t dcBits;             // + 8Q8 + 512L + 4096p + k
    uint32_t coefficientZero;    // + 65536S + 16n + 1024k + Z
    uint32_t coefficientSign;    // + 524288z + 1024p + 8192k + f
    uint32_t lengthHot;          // coefficient lengths, one table in the format:
    uint32_t lengthCold;         //   + 524288m + 8192Q8 + 16p + 128k + i
    uint32_t coefficientEscape;  // + 2048x + 256p + node
};
constexpr uint32_t kCountZeroSize = 65536;
constexpr uint32_t kCountClassSize = 32768;
constexpr uint32_t kCountBitsSize = 768;
constexpr uint32_t kDcZeroSize = 131072;
constexpr uint32_t kDcSignSize = 262144;
constexpr uint32_t kDcLengthSize = 32768;
constexpr uint32_t kDcBitsSize = 32768;
constexpr uint32_t kCoefficientZeroSize = 262144;
constexpr uint32_t kCoefficientSignSize = 2097152;
constexpr uint32_t kCoefficientLengthSize = 4194304;
// What an escape of valid length can reach; the next table starts here.
constexpr uint32_t kCoefficientEscapeReach = 32768;
// Format offsets from the count zero flags: where the DC signs, the DC
// lengths, the three coefficient tables and the escapes start, and the end of
// the group's span.
constexpr uint32_t kDcSignAt = kCountZeroSize + kCountClassSize + kCountBitsSize + kDcZeroSize;
constexpr uint32_t kDcLengthAt = kDcSignAt + kDcSignSize;
constexpr uint32_t kCoefficientZeroAt = kDcLengthAt + kDcLengthSize + kDcBitsSize;
constexpr uint32_t kCoefficientSignAt = kCoefficientZeroAt + kCoefficientZeroSize;
constexpr uint32_t kCoefficientLengthAt = kCoefficientSignAt + kCoefficientSignSize;
constexpr uint32_t kCoefficientEscapeAt = kCoefficientLengthAt + kCoefficientLengthSize;
constexpr uint32_t kGroupSpan = kCoefficientEscapeAt + kCoefficientEscapeReach;

// Stored sizes of the coefficient tables (see their index functions).
constexpr uint32_t kCoefficientZeroStep = 16;  // contexts Z per position
constexpr uint32_t kZeroSlots = bink2::kMaxCoefficients * (bink2::kMaxCoefficients + 1) / 2;  // k < n <= 63
constexpr uint32_t kStoredZeroSize = 3 * kZeroSlots * kCoefficientZeroStep;                  // S 0..2
// Coefficient positions a count class reaches: k < n < 2^(p+1), n <= 63.
constexpr uint32_t positionsOfClass(uint32_t p) {
    return std::min((2u << p) - 1, uint32_t(bink2::kMaxCoefficients));
}
constexpr uint32_t signPosition(uint32_t k) { return k < 10 ? 1u << k : 1024 * (k - 9); }
// A count class's slab of signs, in whole cache lines.
constexpr uint32_t signSlabSize(uint32_t p) {
    const uint32_t last = positionsOfClass(p) - 1;
    return (signPosition(last) + (1u << std::min(last, 10u)) + 31) / 32 * 32;
}
constexpr uint32_t signSlabStart(uint32_t p) { return p == 0 ? 0 : signSlabStart(p - 1) + signSlabSize(p - 1); }
constexpr uint32_t kSignSlabs = signSlabStart(6);  // the slabs of one DC sign class z, classes 0..5
constexpr uint32_t kStoredSignSize = 3 * kSignSlabs;
constexpr uint32_t kLengthHotNodes = 4, kLengthColdNodes = 12;
constexpr uint32_t kLengthHotStep = 8 * kLengthHotNodes, kLengthColdStep = 8 * kLengthColdNodes;  // per position
constexpr uint32_t kLowestQ8 = 8, kHighestQ8 = 63;  // quantisers below 8 code as 8
constexpr uint32_t positionStart(uint32_t p) { return p == 0 ? 0 : positionStart(p - 1) + positionsOfClass(p - 1); }
constexpr uint32_t kPositionsPerQ8 = positionStart(6);
constexpr uint32_t kLengthSlots = (kHighestQ8 + 1 - kLowestQ8) * kPositionsPerQ8;
constexpr uint32_t kLengthHotSize = kLengthSlots * kLengthHotStep;
constexpr uint32_t kLengthColdSize = kLengthSlots * kLengthColdStep;

// A group's first large page holds its tables in their format order but for
// the DC signs and the long lengths, which follow on the second.
constexpr GroupTables groupTablesAt(uint32_t countZero) {
    GroupTables t{};
    t.countZero = countZero;
    t.countClass = t.countZero + kCountZeroSize;
    t.countBits = t.countClass + kCountClassSize;
    t.dcZero = t.countBits + kCountBitsSize;
    t.dcLength = t.dcZero + kDcZeroSize;
    t.dcBits = t.dcLength + kDcLengthSize;
    t.coefficientZero = t.dcBits + kDcBitsSize;
    t.coefficientSign = t.coefficientZero + kStoredZeroSize;
    t.lengthHot = t.coefficientSign + kStoredSignSize;
    t.coefficientEscape = t.lengthHot + kLengthHotSize;
    t.dcSign = t.countZero + kLargePageModels;
    t.lengthCold = t.dcSign + kDcSignSize;
    return t;
}

// Block group kinds: they select the per-row recent counts, symbol histories
// and tables.
enum GroupKind : uint32_t {
    kIntraLuma = 0,
    kIntraU,
    kIntraV,
    kIntraAlpha,
    kResidueLuma,
    kResidueU,
    kResidueV,
    kResidueAlpha,
    kGroupKinds
};
constexpr GroupKind lumaOf(GroupKind k) { return k >= kResidueLuma ? kResidueLuma : kIntraLuma; }

constexpr GroupTables kGroupTables[kGroupKinds] = {
    groupTablesAt(gapped(7450928)),  groupTablesAt(gapped(14661168)), groupTablesAt(gapped(14661168)),
    groupTablesAt(gapped(240688)),   groupTablesAt(gapped(29147184)), groupTablesAt(gapped(36357424)),
    groupTablesAt(gapped(36357424)), groupTablesAt(gapped(21936944)),
};

// Each group's tables lie on the first two large pages of its span, all but
// the DC signs and the long lengths on the first.
constexpr bool groupOnItsPages(const GroupTables& t) {
    return t.countZero % kLargePageModels == 0 &&
           t.coefficientEscape + kCoefficientEscapeReach <= t.countZero + kLargePageModels &&
           t.lengthCold + kLengthColdSize <= t.countZero + 2 * kLargePageModels && 2 * kLargePageModels <= kGroupSpan;
}
static_assert(groupOnItsPages(kGroupTables[kIntraLuma]) && groupOnItsPages(kGroupTables[kIntraU]) &&
              groupOnItsPages(kGroupTables[kIntraAlpha]) && groupOnItsPages(kGroupTables[kResidueLuma]) &&
              groupOnItsPages(kGroupTables[kResidueU]) && groupOnItsPages(kGroupTables[kResidueAlpha]));
static_assert(kVectorCount % kLargePageModels == 0 && kModelCount - kVectorCount <= kLargePageModels);

// The large pages worth backing densely: the head of the table (macroblock
// layer, quantisers, flag lists), both pages of every block group and the
// vector tables.  Even the second page of a group, a hundredth of its
// decisions, is worth it: a real file touches 60 to 170 small pages of it,
// whose faults and page walks cost more than clearing one large page.  A
// file without alpha leaves the alpha groups' pages out (denseSpans()).
constexpr platform::PageSpan largePage(uint32_t first) { return denseModels(first, first + 1); }
constexpr platform::PageSpan groupPage(GroupKind k, uint32_t page) {
    return largePage(kGroupTables[k].countZero + page * kLargePageModels);
}
struct DenseSpanList {
    platform::PageSpan at[14] = {};
    size_t size = 0;
};
// In the order the filler backs them: the head, both pages of each group,
// the intra groups first (a key frame needs them first), the vector tables.
constexpr DenseSpanList denseSpanList(bool alpha) {
    DenseSpanList l;
    l.at[l.size++] = largePage(0);
    for (GroupKind k : {kIntraAlpha, kIntraLuma, kIntraU, kResidueAlpha, kResidueLuma, kResidueU}) {
        if (!alpha && (k == kIntraAlpha || k == kResidueAlpha)) continue;
        l.at[l.size++] = groupPage(k, 0);
        l.at[l.size++] = groupPage(k, 1);
    }
    l.at[l.size++] = largePage(kVectorCount);
    return l;
}
inline constexpr DenseSpanList kDenseSpans[2] = {denseSpanList(false), denseSpanList(true)};
static_assert(kDenseSpans[1].size == std::size(kDenseSpans[1].at));
constexpr std::span<const platform::PageSpan> denseSpans(bool alpha) {
    return {kDenseSpans[alpha].at, kDenseSpans[alpha].size};
}

// Symbol tables.  Luma and alpha: first bit + 16R + history, second bit
// + 16R + history.  U and V: first bit + 4096 R(luma) + 256 R(plane) + 4Q8 +
// history, second bit one model.
struct SymbolTables {
    uint32_t first;
    uint32_t second;
};
constexpr SymbolTables kSymbolTables[kGroupKinds] = {
    {gapped(7385136), gapped(7384880)},   {gapped(14595632), gapped(14595120)},
    {gapped(14595632), gapped(14595120)}, {gapped(174896), gapped(174640)},
    {gapped(29081392), gapped(29081136)}, {gapped(36291888), gapped(36291376)},
    {gapped(36291888), gapped(36291376)}, {gapped(21871152), gapped(21870896)},
};
constexpr uint32_t kChromaFlag = gapped(21805360);  // + 8(c >> 8) + flag history + 32 R(residue luma)

// ---- Bounds of valid values.  A decoded value past them ends the frame. ----
constexpr uint32_t kMaxQuantiser = 63;
constexpr uint32_t kMaxQuantiserLength = 5;  // deltas up to 63
constexpr uint32_t kMaxTypeContext = 1023;
constexpr uint32_t kMaxVectorLength = 14;    // components up to 32767 (int16)
constexpr uint32_t kMaxVectorComponent = (2u << kMaxVectorLength) - 1;
constexpr uint32_t kFreshVectorLength = 15;  // the length context after intra and skip
constexpr uint32_t kMaxCount = bink2::kMaxCoefficients;
constexpr uint32_t kMaxCountClass = 5;
constexpr uint32_t kMaxRecent = 13;
constexpr uint32_t kMaxDcLength = 14;        // DC values up to 32767 (int16)
constexpr uint32_t kMaxDc = (2u << kMaxDcLength) - 1;
constexpr uint32_t kMaxEscapeLength = 14;    // coefficient length x; escape bits x - 4
constexpr uint32_t kMaxCoefficient = (2u << (kMaxEscapeLength - 4)) - 1 + 4;  // 2051
static_assert(kMaxVectorComponent == 32767 && kMaxDc == 32767 && kMaxCoefficient == 2051);
constexpr uint32_t kZeroClass = 6;           // count class of a block without coefficients

// ---- Index functions, one per table. ----
constexpr uint32_t typeFirstModel(uint32_t c) { return kMacroblockType + 4 * c; }
constexpr uint32_t typeSecondModel(uint32_t c, uint32_t first) { return kMacroblockType + 4 * c + 2 + first; }
constexpr uint32_t frameFlagModel(uint32_t i, uint32_t previous) { return kFrameFlags + 2 * i + previous; }
constexpr uint32_t flagBitModel(uint32_t bits, uint32_t previousFrame, uint32_t history) {
    return bits + 256 * previousFrame + history;
}
constexpr uint32_t quantiserZeroModel(const QuantiserTables& t, uint32_t p, uint32_t c, uint32_t zh) {
    return t.zero + 128 * p + 8 * (c >> 6) + zh;
}
constexpr uint32_t quantiserSignModel(const QuantiserTables& t, uint32_t p, uint32_t sh) { return t.sign + 32 * p + sh; }
constexpr uint32_t quantiserLengthBase(const QuantiserTables& t, uint32_t sh, uint32_t p, uint32_t previousLength) {
    return t.length + 4096 * (sh & 3) + 64 * p + 8 * previousLength;
}
constexpr uint32_t quantiserBitsBase(const QuantiserTables& t, uint32_t p, uint32_t length, uint32_t s) {
    return t.bits + 1024 * p + 128 * length + 64 * s;
}
constexpr uint32_t vectorCountModel(uint32_t above, uint32_t history, uint32_t c) {
    return kVectorCount + 16384 * above + 1024 * history + c;
}
constexpr uint32_t vectorZeroModel(uint32_t table, uint32_t b, uint32_t index, uint32_t length, uint32_t flag,
                                   uint32_t zh) {
    return table + kVectorZero + 8192 * b + 512 * index + 32 * length + 16 * flag + zh;
}
constexpr uint32_t vectorSignModel(uint32_t table, uint32_t index, uint32_t sh) {
    return table + kVectorSign + 8 * index + sh;
}
constexpr uint32_t vectorLengthBase(uint32_t table, uint32_t b, uint32_t flag, uint32_t index, uint32_t length) {
    return table + kVectorLength + 8192 * b + 4096 * flag + 256 * index + 16 * length;
}
constexpr uint32_t vectorBitModel(uint32_t table, uint32_t b, uint32_t L, uint32_t index, uint32_t k) {
    return table + kVectorBits + 4096 * b + 256 * L + 16 * index + k;
}
constexpr uint32_t countZeroModel(const GroupTables& t, uint32_t B, uint32_t R, uint32_t S, uint32_t T, uint32_t p) {
    return t.countZero + 8192 * B + 512 * R + 128 * S + T + p;
}
constexpr uint32_t countClassBase(const GroupTables& t, uint32_t B, uint32_t R, uint32_t S, uint32_t p) {
    return t.countClass + 4096 * B + 256 * R + 64 * S + 8 * p;
}
constexpr uint32_t countBitsBase(const GroupTables& t, uint32_t S, uint32_t e) { return t.countBits + 256 * S + 32 * e; }
constexpr uint32_t dcZeroModel(const GroupTables& t, uint32_t p, uint32_t d, uint32_t h) {
    return t.dcZero + 16384 * p + 2048 * d + h;
}
constexpr uint32_t dcSignModel(const GroupTables& t, uint32_t p, uint32_t b, uint32_t d, uint32_t g) {
    return t.dcSign + 32768 * p + 2048 * b + 256 * d + g;
}
constexpr uint32_t dcLengthModel(const GroupTables& t, uint32_t p, uint32_t d, uint32_t q8, uint32_t i) {
    return t.dcLength + 4096 * p + 512 * d + 8 * q8 + i;
}
constexpr uint32_t dcBitModel(const GroupTables& t, uint32_t q8, uint32_t L, uint32_t p, uint32_t k) {
    return t.dcBits + 8 * q8 + 512 * L + 4096 * p + k;
}
// Coefficient zero flags, stored per S as the positions k < n of every count
// n in turn, 16 contexts Z each: the positions of one block follow each
// other, 16 contexts apart.
constexpr uint32_t coefficientZeroModel(const GroupTables& t, uint32_t S, uint32_t n, uint32_t k, uint32_t Z) {
    return t.coefficientZero + kCoefficientZeroStep * (kZeroSlots * S + n * (n - 1) / 2 + k) + Z;
}
// Coefficient signs, stored per (z, p) in a slab, position k at
// signPosition(k): the sign history f of position k holds k decisions at
// most (f < 2^min(k, 10)), so the first ten positions share 1024 models and
// the histories of one position from some position on share lines.  A slab
// holds the positions its count class reaches.
// The same as a table for the decoding loop (a load instead of a select),
// with room for the hints that look three positions ahead of the last.
struct SignPositions {
    uint32_t at[bink2::kMaxCoefficients + 3];
    constexpr SignPositions() : at() {
        for (uint32_t k = 0; k < std::size(at); ++k) at[k] = signPosition(k);
    }
};
inline constexpr SignPositions kSignPositions;
constexpr uint32_t coefficientSignSlab(const GroupTables& t, uint32_t z, uint32_t p) {
    return t.coefficientSign + kSignSlabs * z + signSlabStart(p);
}
constexpr uint32_t coefficientSignModel(const GroupTables& t, uint32_t z, uint32_t p, uint32_t k, uint32_t f) {
    return coefficientSignSlab(t, z, p) + signPosition(k) + f;
}
// Coefficient lengths, stored per (Q8, p) for the positions the class
// reaches, in two parts: the first four nodes of the eight levels m of one
// position k share a cache line (hot), the other nodes, which only
// magnitudes above 4 reach, are stored apart (cold).
constexpr uint32_t lengthSlot(uint32_t q8, uint32_t p) { return kPositionsPerQ8 * (q8 - kLowestQ8) + positionStart(p); }
constexpr uint32_t coefficientLengthHot(const GroupTables& t, uint32_t q8, uint32_t p) {
    return t.lengthHot + kLengthHotStep * lengthSlot(q8, p);
}
constexpr uint32_t coefficientLengthCold(const GroupTables& t, uint32_t q8, uint32_t p) {
    return t.lengthCold + kLengthColdStep * lengthSlot(q8, p);
}
constexpr uint32_t coefficientLengthModel(const GroupTables& t, uint32_t m, uint32_t q8, uint32_t p, uint32_t k,
                                          uint32_t i) {
    return i < kLengthHotNodes ? coefficientLengthHot(t, q8, p) + kLengthHotStep * k + kLengthHotNodes * m + i
                               : coefficientLengthCold(t, q8, p) + kLengthColdStep * k + kLengthColdNodes * m +
                                     (i - kLengthHotNodes);
}
constexpr uint32_t coefficientEscapeBase(const GroupTables& t, uint32_t x, uint32_t p) {
    return t.coefficientEscape + 2048 * x + 256 * p;
}
constexpr uint32_t lumaSymbolModel(uint32_t table, uint32_t R, uint32_t history) { return table + 16 * R + history; }
constexpr uint32_t chromaSymbolModel(uint32_t table, uint32_t lumaR, uint32_t planeR, uint32_t q8, uint32_t history) {
    return table + 4096 * lumaR + 256 * planeR + 4 * q8 + history;
}
constexpr uint32_t chromaFlagModel(uint32_t c, uint32_t history, uint32_t lumaR) {
    return kChromaFlag + 8 * (c >> 8) + history + 32 * lumaR;
}

// Storage position of a model the format numbers index, of those a valid
// stream reaches: the gaps, then the places of a group's tables and the
// order of the coefficient tables' terms.
constexpr uint32_t placed(uint32_t index) {
    const uint32_t at = gapped(index);
    for (const GroupTables& t : kGroupTables) {
        const uint32_t r = at - t.countZero;
        if (r >= kGroupSpan) continue;
        if (r < kDcSignAt) return at;
        if (r < kDcLengthAt) return t.dcSign + (r - kDcSignAt);
        if (r < kCoefficientZeroAt) return t.dcLength + (r - kDcLengthAt);  // with the DC bits
        if (const uint32_t q = r - kCoefficientZeroAt; r < kCoefficientSignAt)
            return coefficientZeroModel(t, q >> 16, (q >> 4) & 63, (q >> 10) & 63, q & 15);
        if (const uint32_t q = r - kCoefficientSignAt; r < kCoefficientLengthAt)
            return coefficientSignModel(t, q >> 19, (q >> 10) & 7, (q >> 13) & 63, q & 1023);
        if (const uint32_t q = r - kCoefficientLengthAt; r < kCoefficientEscapeAt)
            return coefficientLengthModel(t, q >> 19, (q >> 13) & 63, (q >> 4) & 7, (q >> 7) & 63, q & 15);
        return t.coefficientEscape + (r - kCoefficientEscapeAt);
    }
    return at;
}

// ---- Reach of every table at the largest valid arguments. ----
constexpr uint32_t kLastNode3 = 7;  // last node of a 3-bit tree
constexpr uint32_t kLastNode4 = 15;
constexpr uint32_t kMaxHistory8 = 255;
constexpr uint32_t kChromaFlagStart = 4;  // the residue chroma flag history at row start

static_assert(typeSecondModel(kMaxTypeContext, 1) < kFrameFlags);
static_assert(frameFlagModel(31, 1) < kSliceOffset);
static_assert(kSliceOffset + IntegerModels::kSize <= kRowFlagMode);
static_assert(flagBitModel(kRowFlagBits, 1, kMaxHistory8) < kColumnFlagMode);
static_assert(flagBitModel(kColumnFlagBits, 1, kMaxHistory8) < kIntraQuantiser.zero);

constexpr bool quantiserTablesFit(const QuantiserTables& t, uint32_t next) {
    const uint32_t q = kMaxQuantiser, top = (1u << kMaxQuantiserLength) - 1;
    return quantiserZeroModel(t, q, kMaxTypeContext, 7) < t.sign && quantiserSignModel(t, q, 31) < t.length &&
           quantiserLengthBase(t, 1, q, kMaxQuantiserLength) + kLastNode3 < t.bits &&
           quantiserBitsBase(t, q, kMaxQuantiserLength, 1) + top < next;
}
static_assert(quantiserTablesFit(kIntraQuantiser, kInterQuantiser.zero));
static_assert(quantiserTablesFit(kInterQuantiser, kSymbolTables[kIntraAlpha].second));
// Intended overlap: the length trees under a sign history with bit 1 set
// share their models with the quantiser bits that follow.
static_assert(quantiserLengthBase(kIntraQuantiser, 2, 0, 0) == kIntraQuantiser.bits);
static_assert(quantiserLengthBase(kInterQuantiser, 2, 0, 0) == kInterQuantiser.bits);
static_assert(kInterQuantiser.zero - kIntraQuantiser.zero == kInterQuantiser.bits - kIntraQuantiser.bits);

static_assert(vectorCountModel(1, 15, kMaxTypeContext) < kVectorHorizontal);
constexpr bool vectorTablesFit(uint32_t t) {
    const uint32_t L = kMaxVectorLength, old = kFreshVectorLength, index = kMaxTypeContext >> 6;
    return vectorZeroModel(t, L, index, old, 1, 15) < t + kVectorSign &&
           vectorSignModel(t, index, 7) < t + kVectorLength &&
           vectorLengthBase(t, L, 1, index, old) + kLastNode4 < t + kVectorBits &&
           vectorBitModel(t, L, L, index, L - 1) < t + kVectorTableSize;
}
static_assert(vectorTablesFit(kVectorHorizontal) && kVectorHorizontal + kVectorTableSize == kVectorVertical);
static_assert(vectorTablesFit(kVectorVertical) && kVectorVertical + kVectorTableSize == kModelCount);

// Largest arguments of the block tables: S 0..2, R 0..13, p 0..6 (6: no
// coefficients), d 0..7 or a DC length, T = 8(c >> 6), Q8 8..63, B 4..6.
constexpr uint32_t kMaxS = 2, kMaxT = 8 * (kMaxTypeContext >> 6), kMaxQ8 = kMaxQuantiser, kMaxB = 6;
static_assert(kMaxQ8 == kHighestQ8);
constexpr uint32_t kMaxDcClass = std::max(7u, kMaxDcLength);
// Each table's reach stays inside its own size, stored where it is stored,
// and the stored tables follow each other without meeting (groupTablesAt,
// groupOnItsPages): so every table may be stored apart from its format
// neighbours.
constexpr bool groupTablesFit(const GroupTables& t, uint32_t next) {
    const uint32_t p = kZeroClass, R = kMaxRecent, e = kMaxCountClass, k = kMaxCount - 1;
    return countZeroModel(t, kMaxB, R, kMaxS, kMaxT, p) < t.countZero + kCountZeroSize &&
           countClassBase(t, kMaxB, R, kMaxS, p) + kLastNode3 < t.countClass + kCountClassSize &&
           countBitsBase(t, kMaxS, e) + (1u << e) - 1 < t.countBits + kCountBitsSize &&
           dcZeroModel(t, p, kMaxDcClass, 2047) < t.dcZero + kDcZeroSize &&
           dcSignModel(t, p, 15, kMaxDcClass, 255) < t.dcSign + kDcSignSize &&
           dcLengthModel(t, p, kMaxDcClass, kMaxQ8, kMaxDcLength) < t.dcLength + kDcLengthSize &&
           dcBitModel(t, kMaxQ8, kMaxDcLength, p, kMaxDcLength - 1) < t.dcBits + kDcBitsSize &&
           coefficientZeroModel(t, kMaxS, kMaxCount, k, 15) < t.coefficientZero + kStoredZeroSize &&
           coefficientSignModel(t, 2, e, k, 1023) < t.coefficientSign + kStoredSignSize &&
           coefficientLengthModel(t, 7, kMaxQ8, e, k, kLengthHotNodes - 1) < t.lengthHot + kLengthHotSize &&
           coefficientLengthModel(t, 7, kMaxQ8, e, k, kMaxEscapeLength) < t.lengthCold + kLengthColdSize &&
           coefficientEscapeBase(t, kMaxEscapeLength, p) + (1u << (kMaxEscapeLength - 4)) - 1 <
               t.coefficientEscape + kCoefficientEscapeReach &&
           t.countZero + kGroupSpan <= next;
}
// In the format, each group's escape table is followed by a symbol table (or
// the chroma flag, or the vector count flags), which longer escapes than
// valid streams hold would reach; the decoder ends the frame before any.  A
// group's span stays clear of it.
static_assert(groupTablesFit(kGroupTables[kIntraAlpha], kSymbolTables[kIntraLuma].second));
static_assert(groupTablesFit(kGroupTables[kIntraLuma], kSymbolTables[kIntraU].second));
static_assert(groupTablesFit(kGroupTables[kIntraU], kChromaFlag));
static_assert(groupTablesFit(kGroupTables[kResidueAlpha], kSymbolTables[kResidueLuma].second));
static_assert(groupTablesFit(kGroupTables[kResidueLuma], kSymbolTables[kResidueU].second));
static_assert(groupTablesFit(kGroupTables[kResidueU], kVectorCount));

constexpr bool lumaSymbolsFit(const SymbolTables& s, uint32_t next) {
    return lumaSymbolModel(s.second, kMaxRecent, 15) < s.first && lumaSymbolModel(s.first, kMaxRecent, 15) < next;
}
constexpr bool chromaSymbolsFit(const SymbolTables& s, uint32_t next) {
    return s.second < s.first && chromaSymbolModel(s.first, kMaxRecent, kMaxRecent, kMaxQ8, 3) < next;
}
static_assert(lumaSymbolsFit(kSymbolTables[kIntraAlpha], kGroupTables[kIntraAlpha].countZero));
static_assert(lumaSymbolsFit(kSymbolTables[kIntraLuma], kGroupTables[kIntraLuma].countZero));
static_assert(chromaSymbolsFit(kSymbolTables[kIntraU], kGroupTables[kIntraU].countZero));
static_assert(chromaFlagModel(kMaxTypeContext, kChromaFlagStart, kMaxRecent) < kSymbolTables[kResidueAlpha].second);
static_assert(lumaSymbolsFit(kSymbolTables[kResidueAlpha], kGroupTables[kResidueAlpha].countZero));
static_assert(lumaSymbolsFit(kSymbolTables[kResidueLuma], kGroupTables[kResidueLuma].countZero));
static_assert(chromaSymbolsFit(kSymbolTables[kResidueU], kGroupTables[kResidueU].countZero));

// ---- Geometry: what the stage takes from the file's header, read in one
// place (readGeometry).  Frames wider or taller than kMaxDimension are not
// decoded. ----
constexpr uint32_t kMaxDimension = 65536;
constexpr uint32_t kMaxColumns = kMaxDimension / bink2::kMacroblockSize;
constexpr uint32_t kMaxFlags = kMaxDimension / 8;
constexpr uint32_t kMaxFlagBytes = kMaxFlags / 8;

struct Geometry {
    uint32_t width = 0;    // pixels
    uint32_t columns = 0;  // macroblock columns
    uint32_t sliceCount = 0;
    uint32_t sliceEnds[kMaxSlices] = {};  // pixel rows
    uint32_t rowFlagCount = 0;
    uint32_t columnFlagCount = 0;
    bool hasAlpha = false;
    bool extended = false;  // the header sets BinkVideoFlag::kBink2Extended
    const uint32_t* keyframes = nullptr;  // frameCount + 1 flags
    uint32_t frameCount = 0;
    bool valid = false;  // within the bounds above
};

inline Geometry readGeometry(const BinkContext& context) {
    Geometry g;
    g.width = context.width;
    g.columns = bink2::macroblockColumns(context.width);
    g.sliceCount = context.sliceCount;
    g.rowFlagCount = context.rowFlagCount;
    g.columnFlagCount = context.columnFlagCount;
    g.hasAlpha = context.hasAlpha != 0;
    g.extended = videoFlagsExtended(context.isBink2, context.videoFlags);
    g.keyframes = context.keyframes;
    g.frameCount = context.frameCount;
    g.valid = g.width >= 1 && g.width <= kMaxDimension && g.sliceCount >= 1 && g.sliceCount <= kMaxSlices &&
              g.rowFlagCount >= 1 && g.rowFlagCount <= kMaxFlags && g.columnFlagCount >= 1 &&
              g.columnFlagCount <= kMaxFlags;
    for (uint32_t k = 0; g.valid && k < g.sliceCount; ++k) {
        g.sliceEnds[k] = context.sliceEnds[k];
        if (g.sliceEnds[k] > kMaxDimension + 32) g.valid = false;
    }
    return g;
}

// Key frame flag of frame j; false when the file has no such frame.
inline bool keyframeOf(const Geometry& g, uint32_t j, bool& key) {
    if (!g.keyframes || j > g.frameCount) return false;
    key = (g.keyframes[j] & 1) != 0;
    return true;
}

// ---- Running state. ----

// What carries from frame to frame (besides the models), and the row buffers
// that are refilled every frame.  Zero when the stage starts.
struct VideoState {
    uint32_t frame = 0;  // index of the next frame
    uint32_t previousOffsets[kMaxSlices] = {};
    uint8_t sliceSigns[kMaxSlices] = {};
    uint8_t previousRowFlags[kMaxFlagBytes] = {};
    uint8_t previousColumnFlags[kMaxFlagBytes] = {};
    // Intra and inter quantiser of the macroblock above, per column; the
    // entry past the last column is never written and stays 0.
    uint8_t rowQuantisers[2][kMaxColumns + 1] = {};
    // Type and vector count flag of the macroblock above, per column, with
    // two entries past the last column; cleared every frame.
    uint8_t rowTypes[kMaxColumns + 2] = {};
    uint8_t rowVectorFlags[kMaxColumns + 2] = {};
};

// One vector component's state (horizontal or vertical).
struct VectorState {
    uint32_t zeros = 0;   // 4-bit zero history
    uint32_t signs = 0;   // 3-bit sign history
    uint32_t length = 0;  // 0..15
};

// One quantiser's state (intra or inter).
struct QuantiserState {
    uint32_t prediction = 16;
    uint32_t zeros = 0;   // 3-bit zero history
    uint32_t signs = 0;   // 5-bit sign history
    uint32_t length = 0;  // previous length
};

// Reset at the start of every macroblock row.
struct RowState {
    uint32_t context = 0;  // type context c
    uint32_t vectorHistory = 0;
    VectorState vectors[2];
    QuantiserState quantisers[2];  // intra, inter
    uint32_t recent[kGroupKinds] = {};
    uint32_t symbolHistory[kGroupKinds] = {};
    uint32_t chromaFlagHistory = kChromaFlagStart;
};

// Median of three, as min(max(q, lo), hi) with lo <= hi the two row values.
constexpr uint32_t median3(uint32_t q, uint32_t a, uint32_t b) {
    return std::min(std::max(q, std::min(a, b)), std::max(a, b));
}

}  // namespace dev::b2video
