// Bits of the Bink 2 frame flags word (the first word of every video packet)
// that the video stage and the frame writer act on.
#pragma once

#include <cstdint>

namespace dev::bink2 {

constexpr uint32_t kFlagListsPresent = 0x10000;  // row and/or column flag lists follow
constexpr uint32_t kNoRowFlags = 0x8000;         // with kFlagListsPresent: no row flag list
constexpr uint32_t kNoColumnFlags = 0x4000;      // with kFlagListsPresent: no column flag list
constexpr uint32_t kEmptyPlaneSymbol = 0x40000;  // a luma/alpha plane without coded blocks has no extra bit

}  // namespace dev::bink2
