// Bit lengths: the size of every length field and many model contexts in
// both Bink generations and the DEV stream derive from them.
#pragma once

#include <bit>
#include <cstdint>

namespace dev {

// Number of significant bits of x: 0 for 0, 1 for 1, 2 for 2 and 3, ...
constexpr uint32_t bitLength(uint32_t x) { return static_cast<uint32_t>(std::bit_width(x)); }

// The two's complement word of magnitude under a decoded sign (negative 0 or
// 1), worked out without a branch: signs are close to even, and a branch on
// one is mispredicted about half the time.
constexpr uint32_t withSign(uint32_t magnitude, uint32_t negative) { return (magnitude ^ (0u - negative)) + negative; }

}  // namespace dev
