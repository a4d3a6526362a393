#include "core/pipeline.h"

#include <cstring>

namespace dev {

uint32_t copyStage(Stage* stage) {
    return runStageLoop(
        stage, [] { return true; },
        [](Stage* s) {
            StreamBuffer* out = s->outputs[0];
            if (!out) return s->length == 0;
            if (s->length > out->capacity) return false;
            if (s->length) std::memcpy(out->back(), s->input, s->length);
            out->filled[out->toggle ^ 1] = s->length;
            return true;
        },
        [] {});
}

}  // namespace dev
