// A Bink file held in memory, split into the parts the DEV stream codes: the
// header, the audio track table, the frame index and, per frame, the audio
// packets and the video packet.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pack/status.h"

namespace dev {

struct BinkTrack {
    uint32_t word;        // first word of the track's table entry
    uint16_t sampleRate;
    uint16_t flags;
    uint32_t id;
};

struct BinkFile {
    std::vector<uint8_t> header;  // 44 or 48 bytes, as in the file
    bool isBink2 = false;
    uint8_t version = 0;
    uint32_t frameCount = 0, largestFrameSize = 0, width = 0, height = 0, videoFlags = 0;
    std::vector<BinkTrack> tracks;
    std::vector<uint32_t> frameIndex;                          // frameCount + 1 words as stored
    std::vector<std::vector<std::span<const uint8_t>>> audio;  // [frame][track] packet bytes after the 32-bit size; empty = no packet
    std::vector<std::span<const uint8_t>> video;               // [frame] the rest of each frame
};

// Splits a Bink file.  Every size is checked against the file.  Only files the
// DEV stream can reproduce are accepted: header, track table and frame index
// followed directly by the frames, contiguous and in order, up to the end of
// the file.  The spans point into bytes, which must outlive out.  The reason
// otherwise.
Status readBinkFile(std::span<const uint8_t> bytes, BinkFile& out);

}  // namespace dev
