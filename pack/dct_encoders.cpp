#include "pack/stage_encoder.h"

namespace dev {

namespace {
class PendingEncoder : public StageEncoder {
public:
    bool encode(const PackFrame&, std::vector<uint8_t>&, std::string& error) override {
        error = "Bink 1 DCT and bundle length coding is not built yet";
        return false;
    }
};
}  // namespace

std::unique_ptr<StageEncoder> makeBundleLengthEncoder(const BinkContext&) { return std::make_unique<PendingEncoder>(); }
std::unique_ptr<StageEncoder> makeDctBlockEncoder(const BinkContext&, bool) { return std::make_unique<PendingEncoder>(); }

}  // namespace dev
