#include "core/header_decoder.h"

namespace dev {

// Not built yet.
int32_t decodeHeader(BinkContext&, const uint8_t*, size_t, ByteSink&) { return -1; }
void releaseHeaderBuffers(BinkContext&) {}

}  // namespace dev
