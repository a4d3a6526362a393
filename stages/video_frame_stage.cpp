#include "stages/video_frame_stage.h"

#include "core/coder.h"
#include "stages/stages.h"
#include "stages/video_frame_grammar.h"

namespace dev {

bool VideoFrameDecoder::setup(const BinkContext& context) {
    release();
    above = static_cast<uint8_t*>(platform::heapAlloc(vframe::kAboveBytes));
    if (!above || !models.allocate(vframe::kModelCount)) {
        release();
        return false;
    }
    vframe::initState(state, context, above);
    return true;
}

void VideoFrameDecoder::release() {
    models.release();
    if (above) platform::heapFree(above);
    above = nullptr;
    state.above = nullptr;
}

bool decodeVideoFrameChunk(VideoFrameDecoder& decoder, const uint8_t* chunk, size_t length,
                           StreamArray<ValueWriter>& writers) {
    DecodeCoder coder;
    coder.rd.init(chunk, length);
    vframe::FrameGrammar<DecodeCoder> grammar(coder, decoder.models.data(), decoder.state, writers);
    bool ok = grammar.packet();
    for (int n : vframe::kOutputs)
        if (writers[n].overflow) ok = false;
    return ok;
}

uint32_t VideoFrameStage(Stage* stage) {
    VideoFrameDecoder decoder;
    return runStageLoop(
        stage, [&] { return stage->context && decoder.setup(*stage->context); },
        [&](Stage* s) {
            // The stage's outputs are its table row's sub-streams, in order.
            StreamArray<ValueWriter> writers;
            for (int i = 0; i < vframe::kOutputCount; ++i)
                if (s->outputs[i]) writers[vframe::kOutputs[i]] = s->outputs[i]->backWriter();
            const bool ok = decodeVideoFrameChunk(decoder, s->input, s->length, writers);
            for (int i = 0; i < vframe::kOutputCount; ++i)
                if (s->outputs[i]) s->outputs[i]->commitBack(writers[vframe::kOutputs[i]]);
            return ok;
        },
        [&] { decoder.release(); });
}

}  // namespace dev
