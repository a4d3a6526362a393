// One Bink 1 plane alone, written at out.out with the plane syntax in its
// writing direction: the frame writer's work plane by plane, for the tests
// that check the planes one at a time.  The programs write whole packets
// (writers/bink1/video_writer.h) and never need it.
#pragma once

#include <cstdint>

#include "core/bink_context.h"
#include "writers/bink1/bundle_areas.h"
#include "writers/frame_output.h"

namespace dev::bink1 {

// 0 on success; -1 when the values cannot form the plane, a sub-stream runs
// out, or the plane would outgrow the frame buffer.  The sub-stream cursors
// and out.out move on past what the plane took and wrote.
int32_t writePlane(const BinkContext& file, FrameOutput& out, const BundleAreas& areas, bool chroma);

}  // namespace dev::bink1
