#include "writers/bink1_plane_writer.h"

namespace dev {

// Not built yet.
int32_t Bink1PlaneWriter::writePlane(BinkContext&, int) { return -1; }

}  // namespace dev
