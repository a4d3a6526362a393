// Bink 2 video stage: decodes every element of a Bink 2 frame's video packet
// into sub-streams 2..10 (layout in stages/bink2_video_layout.h).
#include "stages/bink2_video_stage.h"

#include "core/coder.h"
#include "stages/bink2_video_grammar.h"
#include "stages/stages.h"

namespace dev {

bool Bink2VideoDecoder::setup(const BinkContext& context) {
    geometry = b2video::readGeometry(context);
    state = b2video::VideoState();
    return models.allocate(b2video::kModelCount);
}

bool decodeBink2VideoChunk(Bink2VideoDecoder& decoder, const uint8_t* chunk, size_t length, ValueWriter* writers) {
    bool key = false;
    if (!b2video::keyframeOf(decoder.geometry, decoder.state.frame++, key)) return false;
    DecodeCoder coder;
    coder.rd.init(chunk, length);
    b2video::FrameGrammar<DecodeCoder> grammar(coder, decoder.models.data(), decoder.state, decoder.geometry, writers);
    return grammar.frame(key);
}

uint32_t VideoStage(Stage* stage) {
    Bink2VideoDecoder decoder;  // about 10 KB of row buffers besides the models
    return runStageLoop(
        stage, [&] { return stage->context && decoder.setup(*stage->context); },
        [&](Stage* s) {
            if (!s->input && s->length) return false;
            ValueWriter writers[b2video::kSlotCount];
            for (int i = 0; i < b2video::kSlotCount; ++i)
                if (s->outputs[i]) writers[i] = s->outputs[i]->backWriter();
            const bool ok = decodeBink2VideoChunk(decoder, s->input, s->length, writers);
            for (int i = 0; i < b2video::kSlotCount; ++i)
                if (s->outputs[i]) s->outputs[i]->commitBack(writers[i]);
            return ok;
        },
        [&] { decoder.release(); });
}

}  // namespace dev
