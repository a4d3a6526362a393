#include "pack/stage_encoder.h"

namespace dev {

namespace {
class PendingAudioEncoder : public StageEncoder {
public:
    bool encode(const PackFrame&, std::vector<uint8_t>&, std::string& error) override {
        error = "audio coding is not built yet";
        return false;
    }
};
}  // namespace

std::unique_ptr<StageEncoder> makeAudioEncoder(const BinkContext&) { return std::make_unique<PendingAudioEncoder>(); }

}  // namespace dev
