// The one interface of the stage decoders, and the stage routine built on it.
//
// A stage decoder D holds the models and running state of one stage and
// decodes one chunk at a time, with no thread of its own (the stage routine,
// the tests, the fuzz targets and the benchmarks call it the same way):
//
//   static constexpr std::span<const int> kStreams;  // its sub-streams, in its table row's order
//   bool setup(const BinkContext& context);          // false when memory cannot be had
//   bool decodeChunk(const uint8_t* chunk, size_t length, StreamArray<ValueWriter>& out);
//   void release();
//
// decodeChunk writes each value into out[n], n its sub-stream number, from
// where that writer stands; it returns false when the chunk cannot be
// finished (corrupt data, an output over its capacity), the writers then
// holding a partial frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/stage_protocol.h"
#include "core/sub_streams.h"
#include "core/value_stream.h"

namespace dev {

// Stage routine of decoder D: the stage's outputs are the sub-streams of
// D::kStreams, in order (its table row holds the same list).
template <class D>
uint32_t runDecoderStage(Stage* stage) {
    D decoder;
    return runStageLoop(
        stage, [&] { return stage->context && decoder.setup(*stage->context); },
        [&](Stage* s) {
            if (!s->input && s->length) return false;
            StreamArray<ValueWriter> writers;
            for (size_t i = 0; i < D::kStreams.size(); ++i)
                if (s->outputs[i]) writers[D::kStreams[i]] = s->outputs[i]->writerAt(s->slot);
            const bool ok = decoder.decodeChunk(s->input, s->length, writers);
            for (size_t i = 0; i < D::kStreams.size(); ++i)
                if (s->outputs[i]) s->outputs[i]->commitAt(s->slot, writers[D::kStreams[i]]);
            return ok;
        },
        [&] { decoder.release(); });
}

}  // namespace dev
