// Reads a Bink 1 video packet the way a Bink 1 decoder does, into the values
// of sub-streams 2 to 21 that the Bink 1 stages produce for it.
#pragma once

#include "core/bink_context.h"
#include "pack/pack_frame.h"

namespace dev {

// Fills frame.streams[2..21] and frame.dctBlocks from frame.video, having
// checked that the writers rebuild the packet bit for bit.  A packet that
// cannot be parsed or does not rewrite exactly is carried stored instead:
// streams[11] then holds the stored-packet record and frame.stored is set.
// false only when the packet cannot be carried at all (shorter than 4 bytes).
bool bink1FrameValues(const BinkContext& context, PackFrame& frame);

// The same reading and proof without the fallback: nullptr when the packet is
// coded (values filled), otherwise why it has to be carried stored (the
// frame's values are then incomplete).
const char* bink1PacketValues(const BinkContext& context, PackFrame& frame);

}  // namespace dev

namespace dev {

// Replaces the frame's values by the stored-packet record of its video packet
// (sub-stream 11: first word, 1, byte count, bytes).  false when the packet
// is shorter than 4 bytes and cannot be carried.
bool storeBink1Packet(PackFrame& frame);

}  // namespace dev
