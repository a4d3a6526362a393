#include "core/unpacker.h"

namespace dev {

// Not built yet.
int32_t Unpacker::run(const StageTable&, ByteSink&, ByteSource&, const RunOptions&) { return kResultFailed; }

}  // namespace dev
