// Whole-run decode rate: unpacks a DEV stream in memory several times with the
// product's stage table and reports MB of Bink output per second of wall
// time, and how long each stage spent decoding its chunks.
//
//   unpack_bench FILE [runs]
//
// FILE is a DEV stream, or a Bink file that is packed first.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/timed_restore.h"
#include "driver/unpacker.h"
#include "pack/packer.h"
#include "stages/stage_table.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: unpack_bench FILE [runs]\n");
        return 1;
    }
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 4) {
        std::fprintf(stderr, "unpack_bench: cannot read %s\n", argv[1]);
        return 1;
    }
    std::vector<uint8_t> devStream;
    if (std::memcmp(bytes.data(), "DEV\x01", 4) == 0) {
        devStream = std::move(bytes);
    } else {
        dev::PackResult packed = dev::packBink(bytes);
        if (!packed.status.ok()) {
            std::fprintf(stderr, "unpack_bench: %s\n", packed.status.reason().c_str());
            return 1;
        }
        devStream = std::move(packed.dev);
    }

    dev::bench::TimedRestore fastest;
    int32_t result = 0;
    if (!dev::bench::fastestRestore(devStream, runs, fastest, result)) {
        std::fprintf(stderr, "unpack_bench: run ended with %d\n", result);
        return 1;
    }
    const double bestSeconds = fastest.seconds;
    const size_t outBytes = fastest.outBytes;
    const dev::RunTimings& best = fastest.timings;
    std::printf("%s: DEV %zu bytes, Bink %zu bytes, best of %d runs %.3f s, %.1f MB/s of Bink output\n", argv[1],
                devStream.size(), outBytes, runs, bestSeconds, outBytes / bestSeconds / 1e6);

    // Where the best run's time went.  The driver's own work and its waits
    // add up to the run; a stage's decoding and its idle time add up to the
    // run less its setup.  The stage the driver waits for most is the one
    // that sets the pace; stages idle most of the run wait for the driver.
    const double total = best.total / 1e9;
    auto line = [&](const char* what, uint64_t nanos) {
        std::printf("  %-34s %8.3f s  %5.1f%%\n", what, nanos / 1e9, 100.0 * nanos / 1e9 / total);
    };
    const bool bink2 = dev::bench::restoredBink2(best);
    // The stages the driver created, as the table counts and names them.
    const int count = dev::kStageTable.stageCount(bink2);
    auto nameOf = [&](int s) { return dev::stageKindName(dev::kStageTable.stageRow(bink2, s).kind); };
    std::printf("  timed run %.3f s\n", total);
    uint64_t waited = 0;
    for (int s = 0; s < count; ++s) waited += best.driverWait[s];
    const uint64_t driverWork =
        best.driverRead + best.driverRelease + best.audioWriter + best.videoWriter + best.output;
    line("driver: video writer", best.videoWriter);
    line("driver: audio writer", best.audioWriter);
    line("driver: output writes", best.output);
    line("driver: reading chunks", best.driverRead);
    line("driver: setting the stages going", best.driverRelease);
    line("driver: other (setup, header, end)", best.total > waited + driverWork ? best.total - waited - driverWork : 0);
    line("driver: waiting for the stages", waited);
    for (int s = 0; s < count; ++s) {
        char what[64];
        std::snprintf(what, sizeof what, "  for stage %d %s", s, nameOf(s));
        line(what, best.driverWait[s]);
    }
    for (int s = 0; s < count; ++s) {
        char what[64];
        std::snprintf(what, sizeof what, "stage %d %s: decoding", s, nameOf(s));
        line(what, best.stageBusy[s]);
        std::snprintf(what, sizeof what, "stage %d %s: waiting for driver", s, nameOf(s));
        line(what, best.stageIdle[s]);
    }
    // Processor time per thread: the threads share the processors, so the
    // decoding times above include turns other threads took.  The largest
    // thread is a floor under the run's wall time whatever the processor
    // count; the sum over the processor count is another.
    std::printf("  processor time per thread (share of the run's wall time):\n");
    uint64_t sum = best.driverProcessor;
    line("driver", best.driverProcessor);
    for (int s = 0; s < count; ++s) {
        char what[64];
        std::snprintf(what, sizeof what, "stage %d %s", s, nameOf(s));
        line(what, best.stageProcessor[s]);
        sum += best.stageProcessor[s];
    }
    line("all threads", sum);
    return 0;
}
