// Encoder of the Bink 1 video frame chunks: the packer's side of
// VideoFrameStage, on the same grammar (stages/video_frame_grammar.h).
#include <cstring>

#include "core/models.h"
#include "pack/encode_coder.h"
#include "pack/stage_encoder.h"
#include "stages/video_frame_grammar.h"

namespace dev {

namespace {

class VideoFrameEncoder : public StageEncoder {
public:
    explicit VideoFrameEncoder(const BinkContext& context) {
        vframe::initState(state_, context, above_);
        ready_ = models_.allocate(vframe::kModelCount);
    }

    bool accepts(const PackFrame& frame) override { return ready_ && check(frame); }

    Status encode(const PackFrame& frame, std::vector<uint8_t>& chunk) override {
        chunk.clear();
        if (!ready_) return "video frame models: out of memory";
        // Proved first, so that a frame the stage cannot carry moves no model.
        if (!frame.accepted && !check(frame)) return "video frame values do not fit the video frame stage";
        StreamArray<ValueReader> readers;
        openReaders(frame, readers);
        EncodeCoder coder(chunk);
        vframe::FrameGrammar<EncodeCoder> grammar(coder, models_.data(), state_, readers);
        const bool ok = grammar.packet();
        coder.finish();
        if (!ok || !allTaken(readers)) {  // cannot happen after check()
            return "video frame coding failed after its values were checked";
        }
        return {};
    }

private:
    static void openReaders(const PackFrame& frame, StreamArray<ValueReader>& readers) {
        for (int n : vframe::kOutputs) readers[n] = ValueReader(frame.streams[n].data(), frame.streams[n].size());
    }
    // Every value used and none missing: the stage then rewrites exactly the
    // frame's sub-streams.
    static bool allTaken(const StreamArray<ValueReader>& readers) {
        for (int n : vframe::kOutputs)
            if (readers[n].underflow || !readers[n].atEnd()) return false;
        return true;
    }

    bool check(const PackFrame& frame) {
        StreamArray<ValueReader> readers;
        openReaders(frame, readers);
        vframe::VideoFrameState probe = state_;
        probe.above = probeAbove_;
        CheckCoder coder;
        vframe::FrameGrammar<CheckCoder> grammar(coder, models_.data(), probe, readers);
        return grammar.packet() && allTaken(readers);
    }

    ModelSet models_;
    vframe::VideoFrameState state_;
    uint8_t above_[vframe::kAboveBytes] = {};
    uint8_t probeAbove_[vframe::kAboveBytes] = {};
    bool ready_ = false;
};

}  // namespace

std::unique_ptr<StageEncoder> makeVideoFrameEncoder(const BinkContext& context) {
    return std::make_unique<VideoFrameEncoder>(context);
}

}  // namespace dev
