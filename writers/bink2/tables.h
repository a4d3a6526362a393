// Fixed facts of the Bink 2 frame bitstream (the frame flag bits are in
// frame_flags.h, the frame's shape in geometry.h): macroblock types, the coefficient skip codes and the
// chroma pattern prediction.
#pragma once

#include <cstdint>

#include "writers/bink2/frame_flags.h"

namespace dev::bink2 {

enum MacroblockType : uint32_t { kIntra = 0, kSkip = 1, kMotion = 2, kMotionResidue = 3 };

// Order of the type recency list at every row start.
constexpr uint8_t kTypeRecency[4] = {kMotion, kMotionResidue, kSkip, kIntra};

constexpr uint32_t kFirstQuantiser = 16;  // predictor at the start of a slice

// The previous coded-block patterns the coder keeps, one per plane and kind.
enum PatternSlot : int {
    kIntraLuma, kIntraU, kIntraV, kIntraAlpha,
    kResidueLuma, kResidueU, kResidueV, kResidueAlpha,
    kPatternSlots
};

// A prefix code; entry e is written as put(code[e], length[e]), its lowest
// bit first.
template <int N>
struct PrefixCode {
    uint16_t code[N];
    uint8_t length[N];
};

// Skip codes of the coefficient lists.  Entry 0: seven non-zero coefficients
// follow with no skip code among them; 1 to 11: z = entry - 1 zeros before the
// next coefficient; 12: a 6-bit zero count follows; 13: end of block.
constexpr int kSkipEntries = 14;
constexpr uint32_t kSkipSeven = 0;
constexpr uint32_t kSkipEscape = 12;
constexpr uint32_t kSkipEnd = 13;
constexpr uint32_t kSkipLongestRun = 10;  // zeros coded without the escape
using SkipCode = PrefixCode<kSkipEntries>;

// Table A serves blocks whose pattern has the extra bit set, table B the rest.
constexpr SkipCode kSkipA = {
    {0x1A, 0x01, 0x04, 0x00, 0x08, 0x02, 0x32, 0x0A, 0x12, 0x3A, 0x7A, 0xFA, 0x72, 0x06},
    {6, 1, 3, 4, 4, 5, 7, 5, 6, 7, 8, 8, 7, 3}};
constexpr SkipCode kSkipB = {
    {0x1C, 0x01, 0x00, 0x04, 0x2C, 0x6C, 0x0C, 0x4C, 0xAC, 0xEC, 0x12C, 0x16C, 0x1AC, 0x02},
    {5, 1, 3, 4, 9, 9, 7, 7, 9, 8, 9, 9, 9, 2}};

// Predicted chroma pattern by the low four bits of the previous one: all four
// blocks when at least two of them were coded.
constexpr uint8_t kChromaPrediction[16] = {0, 0, 0, 15, 0, 15, 15, 15, 0, 15, 15, 15, 15, 15, 15, 15};

constexpr uint32_t kMaxCoefficients = 63;  // positions 1..63 of an 8x8 block
constexpr uint32_t kMaxQuantiserDelta = 36;
constexpr uint32_t kMaxQuantiser = 36;  // what a Bink 2 decoder accepts (the stages carry up to 63)

}  // namespace dev::bink2
