// The Bink 1 part of frame assembly: a frame's video packet rebuilt, bit for
// bit, from its packet record and the values of its planes, with
// the plane syntax in its writing direction.
#pragma once

#include <cstdint>

#include "core/bink_context.h"
#include "writers/bink1/bundle_areas.h"
#include "writers/frame_output.h"

namespace dev::bink1 {

// Writes the video packet of the frame at out.out, advancing it.  The record
// (kPacketRecords) is the packet's first word and a byte: 0, then (alpha
// files) the word that follows the alpha plane, for a coded packet; 1, a
// 32-bit count and that many bytes of the packet after its first word, for a
// stored one.  0 on success; -1 when the values cannot form the packet, a
// sub-stream runs out, or the packet would outgrow the frame buffer.
int32_t writeVideo(const BinkContext& file, FrameOutput& out, const BundleAreas& areas);

}  // namespace dev::bink1
