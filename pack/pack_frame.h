// One frame of a Bink file as the packer sees it: the raw audio packets and
// video packet, and the values of every sub-stream exactly as the stages write
// them when they decode the frame.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/sub_streams.h"

namespace dev {

struct PackFrame {
    uint32_t index = 0;
    // Per audio track, the packet bytes after the 32-bit size; empty = no packet.
    std::vector<std::span<const uint8_t>> audio;
    // The video packet: everything of the frame after the audio packets.
    std::span<const uint8_t> video;
    // The values the stages write for this frame, by sub-stream, in the order
    // the writers consume them.
    StreamArray<std::vector<uint8_t>> streams;
    // Bink 1: number of intra and inter DCT blocks in each plane, in plane
    // order (the DCT stages code one end flag per plane).
    std::vector<uint32_t> dctBlocks[2];
    // Bink 1: the video packet is carried stored (not coded).
    bool stored = false;
    // Every video stage's accepts() has passed on these values, and the
    // encoders have not moved since: encode() skips that check.
    bool accepted = false;
};

}  // namespace dev
