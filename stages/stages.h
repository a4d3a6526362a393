// Stage routines of the two stage tables.  Each is a thread entry that takes
// its Stage record and follows the stage side of the pipeline protocol.
#pragma once

#include <cstdint>

#include "core/pipeline.h"

namespace dev {

uint32_t AudioStage(Stage* stage);         // sub-stream 1, both generations
uint32_t VideoFrameStage(Stage* stage);    // Bink 1: sub-streams 2..13
uint32_t BundleLengthStage(Stage* stage);  // Bink 1: sub-stream 14
uint32_t DctBlockStage(Stage* stage);      // Bink 1: 15..17 (intra) or 18..20 (inter)
uint32_t VideoStage(Stage* stage);         // Bink 2: sub-streams 2..10

}  // namespace dev
