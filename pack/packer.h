// Bink file to DEV stream, with the round trip proved before success.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "driver/unpacker.h"
#include "pack/status.h"

namespace dev {

struct PackResult {
    Status status;              // why packing failed, if it did
    std::vector<uint8_t> dev;   // the DEV stream (when status.ok())
    uint32_t frames = 0;
    uint32_t coded = 0;         // video packets coded
    uint32_t stored = 0;        // video packets stored raw
};

struct PackOptions {
    // Packs Bink 2 files with video flag BinkVideoFlag::kBink2Extended, into
    // streams that unpackers before that extension refuse; without it such
    // files are refused.  Nothing else changes: a file without that flag
    // packs to the same stream either way.
    bool extended = false;
};

// Packs one Bink file held in memory.  Fails, with a message, on a damaged
// Bink file, on video flags the format rejects (or that only the extension
// carries, when not asked for), on content that needs a stage that is not
// built, or when the unpacked stream does not equal the input.  progress,
// when given, hears per-mille steps: the coding of the frames up to 500,
// then the proving run; its answer is ignored.
PackResult packBink(std::span<const uint8_t> bink, ProgressCallback progress = nullptr, void* progressUser = nullptr,
                    const PackOptions& options = {});

}  // namespace dev
