// Values appended to a sub-stream the way its readers take them: a byte, or
// a little-endian 16-bit or 32-bit word (a negative value as its two's
// complement).  For building values by hand in the generators and tests.
#pragma once

#include <cstdint>
#include <vector>

#include "core/little_endian.h"

namespace dev {

inline void put8(std::vector<uint8_t>& v, uint32_t x) { v.push_back(static_cast<uint8_t>(x)); }
inline void put16(std::vector<uint8_t>& v, uint32_t x) { appendLe16(v, x); }
inline void put32(std::vector<uint8_t>& v, uint32_t x) { appendLe32(v, x); }

}  // namespace dev
