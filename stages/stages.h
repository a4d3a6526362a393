// Stage routines of the two stage tables.  Each is a thread entry that takes
// its Stage record and follows the stage side of the pipeline protocol; all
// but copyStage are runDecoderStage over their decoder (stages/stage_decoder.h),
// the routine the table's rows run.
#pragma once

#include <cstdint>

#include "core/stage_protocol.h"

namespace dev {

uint32_t AudioStage(Stage* stage);         // the audio packets, both generations
uint32_t VideoFrameStage(Stage* stage);    // Bink 1: block types to residue fields (vframe::kOutputs)
uint32_t BundleLengthStage(Stage* stage);  // Bink 1: chunk counts
uint32_t DctIntraStage(Stage* stage);      // Bink 1: quantisers, DC values and coefficients of intra blocks
uint32_t DctInterStage(Stage* stage);      // Bink 1: the same of inter blocks
uint32_t VideoStage(Stage* stage);         // Bink 2: macroblock types to residue coefficients
uint32_t copyStage(Stage* stage);          // a chunk copied to its sub-stream as it stands

}  // namespace dev
