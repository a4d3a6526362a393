// Encoder of the Bink 2 video chunks: the packer's side of VideoStage, on the
// same grammar (stages/bink2_video_grammar.h).
#include "core/models.h"
#include "pack/encode_coder.h"
#include "pack/stage_encoder.h"
#include "stages/bink2_video_grammar.h"

namespace dev {

namespace {

class Bink2VideoEncoder : public StageEncoder {
public:
    explicit Bink2VideoEncoder(const BinkContext& context) : geometry_(b2video::readGeometry(context)) {}

    bool accepts(const PackFrame& frame) override { return ready() && check(frame); }

    Status encode(const PackFrame& frame, std::vector<uint8_t>& chunk) override {
        chunk.clear();
        if (!ready()) return "no memory for the Bink 2 video models";
        // Proved first, so that a frame the stage cannot carry moves no model.
        if (!check(frame)) {
            return geometry_.valid ? "Bink 2 video values do not fit the video stage"
                                   : "the frame size or slice layout is beyond what the video stage decodes";
        }
        bool key = false;
        b2video::keyframeOf(geometry_, frame.index, key);
        StreamArray<ValueReader> readers;
        openReaders(frame, readers);
        EncodeCoder coder(chunk);
        b2video::FrameGrammar<EncodeCoder> grammar(coder, models_.data(), state_, geometry_, readers);
        const bool ok = grammar.frame(key);
        coder.finish();
        if (!ok || !allTaken(readers)) {  // cannot happen after check()
            return "Bink 2 video coding failed after its values were checked";
        }
        return {};
    }

private:
    bool ready() {
        if (!models_) models_.allocate(b2video::kModelCount);
        return static_cast<bool>(models_);
    }

    static void openReaders(const PackFrame& frame, StreamArray<ValueReader>& readers) {
        for (int n : bink2::kVideoStreams) readers[n] = ValueReader(frame.streams[n].data(), frame.streams[n].size());
    }
    // Every value used and none missing: the stage then rewrites exactly the
    // frame's sub-streams.
    static bool allTaken(const StreamArray<ValueReader>& readers) {
        for (int n : bink2::kVideoStreams)
            if (readers[n].underflow || !readers[n].atEnd()) return false;
        return true;
    }

    // Walks the grammar over the frame's values on a copy of the running
    // state, without touching a model.
    bool check(const PackFrame& frame) {
        bool key = false;
        if (!b2video::keyframeOf(geometry_, frame.index, key)) return false;
        StreamArray<ValueReader> readers;
        openReaders(frame, readers);
        probe_ = state_;
        CheckCoder coder;
        b2video::FrameGrammar<CheckCoder> grammar(coder, models_.data(), probe_, geometry_, readers);
        return grammar.frame(key) && allTaken(readers);
    }

    b2video::Geometry geometry_;
    ModelSet models_;  // allocated on first use
    b2video::VideoState state_;
    b2video::VideoState probe_;
};

}  // namespace

std::unique_ptr<StageEncoder> makeBink2VideoEncoder(const BinkContext& context) {
    return std::make_unique<Bink2VideoEncoder>(context);
}

}  // namespace dev
