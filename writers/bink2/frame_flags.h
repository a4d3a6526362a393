// Bits of the Bink 2 frame flags word (the first word of every video packet)
// that the video stage and the frame writer act on.
#pragma once

#include <cstdint>

namespace dev::bink2 {

constexpr uint32_t kFlagListsPresent = 0x10000;  // row and/or column flag lists follow
constexpr uint32_t kNoRowFlags = 0x8000;         // with kFlagListsPresent: no row flag list
constexpr uint32_t kNoColumnFlags = 0x4000;      // with kFlagListsPresent: no column flag list
constexpr uint32_t kEmptyPlaneSymbol = 0x40000;  // a luma/alpha plane without coded blocks has no extra bit
// In a file whose header sets BinkVideoFlag::kBink2Extended: this frame codes
// no alpha plane (its intra and residue macroblocks end after the chroma).
constexpr uint32_t kNoAlphaPlane = 0x80000;

// Whether a frame codes an alpha plane: the file has one, and the frame of
// an extended file does not leave it out.  Without the extension the bit
// means nothing, as it always has.
constexpr bool frameCodesAlpha(bool fileAlpha, bool extended, uint32_t frameFlags) {
    return fileAlpha && !(extended && (frameFlags & kNoAlphaPlane));
}

}  // namespace dev::bink2
