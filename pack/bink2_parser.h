// Reads a Bink 2 video packet the way a Bink 2 decoder does (frame flags
// word, slice offsets, flag lists, then per slice the macroblock rows) into
// the values of sub-streams 2 to 10 that the Bink 2 video stage produces for
// it, and proves that the frame writer rebuilds the packet from them.
//
// Bink 2 has no stored form for a video packet: a packet whose bits are not
// the ones our writer makes from its values cannot be carried, and the file
// cannot be packed.
#pragma once

#include <memory>

#include "core/bink_context.h"
#include "pack/pack_frame.h"
#include "pack/status.h"

namespace dev {

// The largest Bink 2 frame the parser reads (pixels per side); larger
// headers are refused before anything is sized from them.
constexpr uint32_t kBink2MaxSide = 16384;

class FrameView;

// Fills frame.streams[2..10] from frame.video.  Succeeds when the writer
// rebuilds the packet bit for bit from the values, else says why not,
// naming the first bit (counted from the packet's first byte, lowest bit
// first) where the rewrite departs from the packet.  The proof works in a
// frame view made for the call, or kept in *kept between calls, as for
// Bink 1 (pack/bink1_parser.h).
Status bink2PacketValues(const BinkContext& context, PackFrame& frame, std::unique_ptr<FrameView>* kept = nullptr);

}  // namespace dev
