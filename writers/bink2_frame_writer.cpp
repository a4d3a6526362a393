#include "writers/bink2_frame_writer.h"

namespace dev {

// Bink 2 video is not restored yet: every frame fails.
int32_t Bink2FrameWriter::writeFrame(BinkContext&, uint32_t, uint32_t) { return -1; }

}  // namespace dev
