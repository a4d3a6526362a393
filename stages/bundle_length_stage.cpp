// Bundle length stage: decodes the list of bundle chunk counts of each Bink 1
// frame into the chunk count sub-stream.  The models carry over from frame to
// frame.
#include "stages/bundle_length_grammar.h"
#include "stages/stage_decoder.h"
#include "stages/stages.h"

namespace dev {

uint32_t BundleLengthStage(Stage* stage) { return runDecoderStage<BundleLengthDecoder>(stage); }

}  // namespace dev
