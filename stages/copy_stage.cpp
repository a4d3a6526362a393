// The generic stage: copies its chunk to its one sub-stream as it stands.
#include <cstring>

#include "stages/stages.h"

namespace dev {

uint32_t copyStage(Stage* stage) {
    return runStageLoop(
        stage, [] { return true; },
        [](Stage* s) {
            StreamBuffer* out = s->outputs[0];
            if (!out) return s->length == 0;
            if (s->length > out->capacity) return false;
            if (s->length) std::memcpy(out->buffers[s->slot], s->input, s->length);
            out->filled[s->slot] = s->length;
            return true;
        },
        [] {});
}

}  // namespace dev
