// Reads a Bink 1 video packet the way a Bink 1 decoder does, with the plane
// syntax of writers/bink1/plane_syntax.h in its reading direction, into the
// values the Bink 1 stages produce for it.
#pragma once

#include <memory>

#include "core/bink_context.h"
#include "pack/pack_frame.h"
#include "pack/status.h"

namespace dev {

class FrameView;

// Each of the following works in a frame view (pack/frame_view.h), made for
// the call, or kept in *kept between calls when given: a caller parsing many
// packets keeps one.  Views are not kept per thread: objects with thread
// storage and a destructor were seen to corrupt the heap at thread exit in
// the Windows build.

// Reads frame.video into frame.streams (every Bink 1 video sub-stream) and
// frame.dctBlocks, or says why the packet cannot be coded (the frame's
// values are then incomplete and must be replaced).  The
// parse stops at the first choice of the packet that our writer would make
// differently; what the stages can carry is checked by their encoders.
Status parseBink1Packet(const BinkContext& context, PackFrame& frame, std::unique_ptr<FrameView>* kept = nullptr);

// The parse, and the proof that the writer rebuilds the packet bit for bit
// from the values: success when the packet is coded (values filled),
// otherwise why it has to be carried stored.
Status bink1PacketValues(const BinkContext& context, PackFrame& frame, std::unique_ptr<FrameView>* kept = nullptr);

// The same, falling back to the stored form: streams[kPacketRecords] then
// holds the stored-packet record and frame.stored is set.  false only when
// the packet cannot be carried at all (shorter than 4 bytes).
bool bink1FrameValues(const BinkContext& context, PackFrame& frame, std::unique_ptr<FrameView>* kept = nullptr);

// Replaces the frame's video values by the stored-packet record of its video
// packet: its first word, 1, the byte count of the rest and those bytes.
// false when the packet is shorter than 4 bytes and cannot be carried.
bool storeBink1Packet(PackFrame& frame);

}  // namespace dev
