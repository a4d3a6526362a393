#include "stages/video_frame_stage.h"

#include <iterator>

#include "core/coder.h"
#include "stages/stage_decoder.h"
#include "stages/stages.h"
#include "stages/video_frame_grammar.h"

namespace dev {

bool VideoFrameDecoder::setup(const BinkContext& context) {
    release();
    above = static_cast<uint8_t*>(platform::heapAlloc(vframe::kAboveBytes));
    if (!above || !models.allocate(vframe::kModelCount, vframe::kDenseSpans, std::size(vframe::kDenseSpans))) {
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

bool VideoFrameDecoder::decodeChunk(const uint8_t* chunk, size_t length, StreamArray<ValueWriter>& out) {
    DecodeCoder coder;
    coder.rd.init(chunk, length);
    vframe::FrameGrammar<DecodeCoder> grammar(coder, models.data(), state, out);
    bool ok = grammar.packet();
    for (int n : kStreams)
        if (out[n].overflow) ok = false;
    return ok;
}

uint32_t VideoFrameStage(Stage* stage) { return runDecoderStage<VideoFrameDecoder>(stage); }

}  // namespace dev
