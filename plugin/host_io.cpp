#include "plugin/host_io.h"

#include <limits>

namespace dev {

namespace {
constexpr size_t kLargestCall = static_cast<size_t>(std::numeric_limits<int32_t>::max());
}

bool HostSource::readExact(void* buffer, size_t size) {
    if (size == 0) return true;
    if (size > kLargestCall) return false;
    return host_.read(buffer, static_cast<int32_t>(size)) == static_cast<int32_t>(size);
}

bool HostSink::write(const void* buffer, size_t size) {
    if (size == 0) return true;
    // A write larger than one call can carry goes in pieces.
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    bool ok = true;
    while (size) {
        const size_t n = size < kLargestCall ? size : kLargestCall;
        if (host_.write(p, static_cast<int32_t>(n)) < 0) ok = false;
        p += n;
        size -= n;
    }
    return ok;
}

}  // namespace dev
