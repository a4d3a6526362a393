// Bink 2 video stage: decodes every element of a Bink 2 frame's video packet
// into its sub-streams (bink2::kVideoStreams; layout in stages/bink2_video_layout.h).
#include "stages/bink2_video_stage.h"

#include <iterator>

#include "core/coder.h"
#include "stages/bink2_video_grammar.h"
#include "stages/stage_decoder.h"
#include "stages/stages.h"

namespace dev {

bool Bink2VideoDecoder::setup(const BinkContext& context) {
    geometry = b2video::readGeometry(context);
    state = b2video::VideoState();
    const std::span<const platform::PageSpan> dense = b2video::denseSpans(geometry.hasAlpha);
    if (!models.allocate(b2video::kModelCount, dense.data(), dense.size())) return false;
    // The first frame reaches most of the large pages.
    models.fillDenseInBackground();
    return true;
}

bool Bink2VideoDecoder::decodeChunk(const uint8_t* chunk, size_t length, StreamArray<ValueWriter>& out) {
    bool key = false;
    if (!b2video::keyframeOf(geometry, state.frame++, key)) return false;
    DecodeCoder coder;
    coder.rd.init(chunk, length);
    b2video::FrameGrammar<DecodeCoder> grammar(coder, models.data(), state, geometry, out);
    return grammar.frame(key);
}

uint32_t VideoStage(Stage* stage) { return runDecoderStage<Bink2VideoDecoder>(stage); }

}  // namespace dev
