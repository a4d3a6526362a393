// Bundle length stage: decodes the list of bundle chunk counts of each Bink 1
// frame into the chunk count sub-stream.  The models carry over from frame to
// frame.
#include "core/stage_protocol.h"
#include "stages/bundle_length_grammar.h"
#include "stages/stages.h"

namespace dev {

uint32_t BundleLengthStage(Stage* stage) {
    BundleLengthDecoder decoder;
    return runStageLoop(
        stage, [&] { return decoder.setup(); },
        [&](Stage* s) {
            if (!s->input && s->length) return false;
            StreamBuffer* out = s->outputs[0];
            ValueWriter w = out ? out->backWriter() : ValueWriter();
            const bool ok = decoder.decodeChunk(s->input, s->length, w);
            if (out) out->commitBack(w);
            return ok;
        },
        [&] { decoder.models.release(); });
}

}  // namespace dev
