// Fuzz target: the whole driver over an arbitrary byte string with a table of
// two copy stages (which lets inputs reach frame assembly without valid stage
// chunks) and, for one input in four (chosen by a hash of the input, so every
// input replays the same way), with the product's stage table as well: its
// six stage threads per run would otherwise slow the search down.  Whatever
// the input, a run must end with one of the driver's results, every thread
// joined, nothing read or written out of bounds, and a failure point named
// exactly when the run fails.
#include <cstddef>
#include <cstdint>

#include "driver/unpacker.h"
#include "fuzz_support.h"
#include "stages/stage_table.h"
#include "stages/stages.h"

namespace {

dev::StageTable copyTable() {
    dev::StageTable t{};
    t.rows[0] = {{1}, dev::copyStage};
    t.rows[1] = {{11}, dev::copyStage};
    return t;
}

const dev::StageTable kCopyTable = copyTable();

bool alsoRealStages(const uint8_t* data, size_t size) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
    return (h & 3) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int tables = alsoRealStages(data, size) ? 2 : 1;
    const dev::StageTable* const table[2] = {&kCopyTable, &dev::kStageTable};
    for (int t = 0; t < tables; ++t) {
        dev::MemorySource source(data, size);
        dev::DiscardingSink sink;
        dev::RunOptions options;
        options.failureReport = dev::FailureReport::None;
        dev::RunFailure failure;
        options.failure = &failure;
        const int32_t r = dev::Unpacker::run(*table[t], sink, source, options);
        DEV_FUZZ_CHECK(r == 0 || r == -1 || r == -2 || r == -4);
        DEV_FUZZ_CHECK((r == 0) == (failure.point == dev::FailurePoint::None));
    }
    return 0;
}
