// Audio stage encoder with its options (makeAudioEncoder in
// pack/stage_encoder.h uses the defaults).
#pragma once

#include <memory>

#include "pack/stage_encoder.h"

namespace dev {

struct AudioEncoderOptions {
    // Let the encoder code a channel against the previous block of some
    // channel where that looks cheaper; false codes every channel on its own.
    bool references = true;
};

std::unique_ptr<StageEncoder> makeAudioEncoder(const BinkContext& context, const AudioEncoderOptions& options);

}  // namespace dev
