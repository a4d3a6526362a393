// Plain-language reasons for a failed run, naming the first failure by frame
// and stage, for the programs' messages.
#pragma once

#include <cstdint>
#include <string>

#include "driver/unpacker.h"

namespace dev {

// "frame 12, stage 3: the stage cannot decode its chunk", from what the
// driver noted and its result code.
std::string describeRunFailure(const RunFailure& failure, int32_t result);

}  // namespace dev
