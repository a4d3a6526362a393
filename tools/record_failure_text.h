// Plain-language reasons for a failed record stream, for the tools' messages.
#pragma once

#include <cstdint>
#include <string>

#include "driver/failure_text.h"
#include "plugin/record_stream.h"

namespace dev {

// As describeRunFailure, led by the record concerned.
std::string describeRecordFailure(const RecordStreamFailure& failure, int32_t result);

}  // namespace dev
