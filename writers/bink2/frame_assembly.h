// The Bink 2 part of frame assembly: the packet's lead words (frame flags
// and slice offsets, writers/bink2/geometry.h), copied from the frame header
// sub-stream, then the frame's bitstream.
#pragma once

#include <cstdint>

#include "core/bink_context.h"
#include "writers/frame_output.h"

namespace dev {

// The buffer the Bink 2 writer keeps for a run: two rows of quantiser
// predictors, file.rowBufferEntries entries, sized once from the header.
class Bink2RowBuffer {
public:
    Bink2RowBuffer() = default;
    Bink2RowBuffer(const Bink2RowBuffer&) = delete;
    Bink2RowBuffer& operator=(const Bink2RowBuffer&) = delete;
    ~Bink2RowBuffer() { release(); }

    // false when the memory cannot be had.
    bool allocate(const BinkContext& file);
    void release();
    uint16_t* data() const { return rows_; }

private:
    uint16_t* rows_ = nullptr;
};

// Writes the video of frame out.frameNumber at out.out, which must not pass
// out.outEnd.  0 on success, -1 when the writer fails, the frame header
// sub-stream runs out or the frame would outgrow the buffer.
int32_t assembleBink2Video(const BinkContext& file, FrameOutput& out, uint16_t* rowBuffer);

}  // namespace dev
