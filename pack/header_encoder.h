// Codes the header chunk of a DEV stream: the Bink header, the audio track
// table and the frame index of one file.
#pragma once

#include <cstdint>
#include <vector>

#include "pack/bink_file.h"

namespace dev {

// The bytes of the header chunk (the prelude is one symbol 0).
std::vector<uint8_t> encodeHeaderChunk(const BinkFile& file);

// The bytes the header decoder writes for the file: header, track table and
// frame index, as they stand at the start of the file.
std::vector<uint8_t> headerBytes(const BinkFile& file);

}  // namespace dev
