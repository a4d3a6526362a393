#include <cstring>

#include "pack/stage_encoder.h"

namespace dev {

namespace {
class PendingEncoder : public StageEncoder {
public:
    bool encode(const PackFrame&, std::vector<uint8_t>&, std::string& error) override {
        error = "Bink 1 video coding is not built yet";
        return false;
    }
};

// Chunk = the sub-stream's bytes, unchanged (the copy stage's inverse).
class CopyEncoder : public StageEncoder {
public:
    explicit CopyEncoder(int subStream) : subStream_(subStream) {}
    bool encode(const PackFrame& frame, std::vector<uint8_t>& chunk, std::string&) override {
        chunk = frame.streams[subStream_];
        return true;
    }

private:
    int subStream_;
};
}  // namespace

std::unique_ptr<StageEncoder> makeVideoFrameEncoder(const BinkContext&) { return std::make_unique<PendingEncoder>(); }
std::unique_ptr<StageEncoder> makeBundleLengthEncoder(const BinkContext&) { return std::make_unique<PendingEncoder>(); }
std::unique_ptr<StageEncoder> makeDctBlockEncoder(const BinkContext&, bool) { return std::make_unique<PendingEncoder>(); }
std::unique_ptr<StageEncoder> makeCopyEncoder(int subStream) { return std::make_unique<CopyEncoder>(subStream); }

}  // namespace dev
