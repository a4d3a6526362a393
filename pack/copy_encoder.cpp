#include "pack/stage_encoder.h"

namespace dev {

namespace {
// The chunk is the sub-stream's bytes, unchanged: the inverse of copyStage.
class CopyEncoder : public StageEncoder {
public:
    explicit CopyEncoder(int subStream) : subStream_(subStream) {}
    Status encode(const PackFrame& frame, std::vector<uint8_t>& chunk) override {
        chunk = frame.streams[subStream_];
        return {};
    }

private:
    int subStream_;
};
}  // namespace

std::unique_ptr<StageEncoder> makeCopyEncoder(int subStream) { return std::make_unique<CopyEncoder>(subStream); }

}  // namespace dev
