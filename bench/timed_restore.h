// In-process restores for the benchmarks: the fastest of several runs of a
// DEV stream through the product's stage table, with the driver's timings.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "driver/unpacker.h"
#include "stages/stage_table.h"

namespace dev::bench {

struct TimedRestore {
    double seconds = 1e30;  // wall time of the fastest run
    size_t outBytes = 0;    // Bink bytes it wrote
    RunTimings timings;     // where that run's time went
};

// Restores dev runs times into nothing; false, with the run's result in
// result, when one fails.
inline bool fastestRestore(const std::vector<uint8_t>& dev, int runs, TimedRestore& best, int32_t& result) {
    for (int r = 0; r < runs; ++r) {
        DiscardingSink sink;
        MemorySource source(dev.data(), dev.size());
        RunTimings timings;
        RunOptions options;
        options.timings = &timings;
        options.failureReport = FailureReport::None;
        const auto t0 = std::chrono::steady_clock::now();
        result = Unpacker::run(kStageTable, sink, source, options);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (result != 0) return false;
        if (seconds < best.seconds) best = TimedRestore{seconds, sink.written, timings};
    }
    return true;
}

// Whether the run restored a Bink 2 file: it leaves idle the stages only
// Bink 1 files have.
inline bool restoredBink2(const RunTimings& t) {
    for (int s = kStageTable.stageCount(true); s < kStageTable.stageCount(false); ++s)
        if (t.stageBusy[s] != 0) return false;
    return true;
}

}  // namespace dev::bench
