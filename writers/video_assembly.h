// The video part of frame assembly, chosen by the file's generation: the Bink 1
// video writer with its bundle areas, or the Bink 2 frame writer with its row
// buffer.  The buffers are sized once by the driver, from the header, and
// reused for every frame of the run.
#pragma once

#include <cstdint>

#include "core/bink_context.h"
#include "writers/bink1/bundle_areas.h"
#include "writers/bink2/frame_assembly.h"
#include "writers/frame_output.h"

namespace dev {

class VideoAssembly {
public:
    // The run buffers of the file's generation; false when memory cannot be
    // had.  A file without frames writes no video, whatever size its header
    // claims, and gets none.  The Bink 1 bundle areas are bounded by the
    // capacities of the sub-streams (bink1::bundleAreaLimit()).
    bool setup(const BinkContext& file, const StreamArray<uint32_t>& streamCapacities);
    void release();

    // Writes the video of frame out.frameNumber at out.out.  0 on success, -1
    // when the writer fails, a sub-stream holds fewer values than the frame
    // needs, or the frame would outgrow the buffer.
    int32_t write(const BinkContext& file, FrameOutput& out) const;

private:
    bink1::BundleAreas bink1_;
    Bink2RowBuffer bink2_;
};

}  // namespace dev
