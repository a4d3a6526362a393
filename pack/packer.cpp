#include "pack/packer.h"

namespace dev {

PackResult packBink(std::span<const uint8_t>) {
    PackResult r;
    r.error = "packer not built yet";
    return r;
}

}  // namespace dev
