// What a DEV stream or a plug-in record stream holds, read from its framing
// alone: no chunk is decoded, so listing a file costs a fraction of restoring
// it.  Shared by dev_inspect and `dev_pack -l`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/bink_context.h"
#include "driver/dev_format.h"
#include "pack/status.h"
#include "plugin/record_stream.h"

namespace dev {

// The Bink file a DEV stream restores, as its header chunk tells it.
struct BinkSummary {
    bool isBink2 = false;
    char signature[5] = {};  // "BIKi", "KB2j", ...
    uint32_t headerLength = 0, frameCount = 0, largestFrameSize = 0, width = 0, height = 0, videoFlags = 0;
    uint32_t hasAlpha = 0, grayscale = 0, planeCount = 0, sliceCount = 0;
    bool extended = false;  // the stream uses the extension (videoFlagsExtended)
    uint32_t sliceEnds[kMaxSlices] = {};
    std::vector<AudioTrackInfo> tracks;
    uint32_t keyframes = 0;
    uint32_t tableBytes = 0;  // header, track table and frame index
    uint64_t fileBytes = 0;   // the whole Bink file (where the frame index ends)
};

struct DevLayout {
    size_t capacityBlockBytes = 0;
    size_t sizeBlockBytes = 0;
    bool haveCapacities = false;
    Capacities capacities;
    int32_t headerChunkBytes = -1;
    bool haveHeader = false;
    BinkSummary bink;
    int stageCount = 0;
    // Chunk lengths as the driver reads them, cycle by cycle and stage by
    // stage; a cycle ends early at the end mark or at a damaged length.
    std::vector<std::vector<int32_t>> cycles;
    bool endSeen = false;
    uint64_t chunkBytes = 0;   // all stage chunks
    uint64_t streamBytes = 0;  // where the driver stops reading (when sound)
    // Something the driver passes over but a packer never writes (the end
    // mark after its place), or empty.
    std::string warning;
};

// Walks the framing of the DEV stream at the start of bytes: success when the
// framing is sound, else why it is damaged (the driver fails on it).  Bytes
// after streamBytes belong to whatever follows the stream.
Status readDevLayout(std::span<const uint8_t> bytes, DevLayout& out);

struct RecordEntry {
    uint64_t offset = 0;  // of the tag byte
    RecordKind kind = kRecordEnd;
    uint64_t storedBytes = 0;  // full and short blocks
    DevLayout dev;             // coded records
};

struct RecordLayout {
    std::vector<RecordEntry> records;  // up to and including the end record
    uint64_t streamBytes = 0;          // where the end record ends
    uint64_t outputBytes = 0;          // stored bytes and restored Bink files
};

// Walks a record stream as the plug-in reads it.  Sound: every record
// complete, every coded record's framing sound, an end record last; otherwise
// the reason names the record that is damaged.
Status readRecordLayout(std::span<const uint8_t> bytes, RecordLayout& out);

}  // namespace dev
