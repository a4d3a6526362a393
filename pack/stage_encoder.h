// Encoders of the stage chunks.  One per stage slot and file; models persist
// from frame to frame exactly as in the stage that decodes the chunks.
#pragma once

#include <memory>
#include <vector>

#include "core/bink_context.h"
#include "pack/pack_frame.h"
#include "pack/status.h"

namespace dev {

class StageEncoder {
public:
    virtual ~StageEncoder() = default;
    // Codes the frame's data for this stage into chunk (cleared first); fails
    // when the frame cannot be coded.
    virtual Status encode(const PackFrame& frame, std::vector<uint8_t>& chunk) = 0;
    // false when the frame's values lie outside what this stage can code (the
    // packer then carries the Bink 1 video packet stored).  Changes no state.
    virtual bool accepts(const PackFrame& /*frame*/) { return true; }
};

// The context holds the file-level fields the stages read (as filled by the
// header decoder); it must outlive the encoder.
std::unique_ptr<StageEncoder> makeAudioEncoder(const BinkContext& context);
std::unique_ptr<StageEncoder> makeVideoFrameEncoder(const BinkContext& context);
std::unique_ptr<StageEncoder> makeBundleLengthEncoder(const BinkContext& context);
std::unique_ptr<StageEncoder> makeDctBlockEncoder(const BinkContext& context, bool inter);
std::unique_ptr<StageEncoder> makeCopyEncoder(int subStream);
std::unique_ptr<StageEncoder> makeBink2VideoEncoder(const BinkContext& context);

}  // namespace dev
