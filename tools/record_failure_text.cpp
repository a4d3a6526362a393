#include "tools/record_failure_text.h"

namespace dev {

std::string describeRecordFailure(const RecordStreamFailure& f, int32_t result) {
    if (result == kResultNotRecordStream) return "not a record stream";
    const std::string where = "record " + std::to_string(f.record) + ": ";
    if (f.run.point != FailurePoint::None) return where + describeRunFailure(f.run, result);
    return where + "the stream ends early";
}

}  // namespace dev
