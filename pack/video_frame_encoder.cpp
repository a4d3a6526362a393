#include "pack/stage_encoder.h"

namespace dev {

namespace {
class PendingEncoder : public StageEncoder {
public:
    bool encode(const PackFrame&, std::vector<uint8_t>&, std::string& error) override {
        error = "Bink 1 video frame coding is not built yet";
        return false;
    }
};
}  // namespace

std::unique_ptr<StageEncoder> makeVideoFrameEncoder(const BinkContext&) { return std::make_unique<PendingEncoder>(); }

}  // namespace dev
