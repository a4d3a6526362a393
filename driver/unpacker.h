// The driver: turns one DEV stream into one Bink file.
#pragma once

#include <cstdint>

#include "core/byte_io.h"
#include "stages/stage_table.h"

namespace dev {

// Result codes of a run.
constexpr int32_t kResultOk = 0;
constexpr int32_t kResultFailed = -1;        // short read, memory, writer or stage failure
constexpr int32_t kResultNotDev = -2;        // no DEV magic
constexpr int32_t kResultFlags = -4;         // Bink video flags not supported
constexpr int32_t kResultStopped = -10;      // the progress callback asked to stop

// Per-mille progress (0..1000); a negative answer stops the run.
using ProgressCallback = int32_t (*)(void* user, uint32_t perMille);

// Sees each frame's stage output (the front buffers) before the frame is
// assembled; used by the inspection tool to dump the sub-streams.  Returning
// false skips the assembly and the write of that frame.
class StreamObserver {
public:
    virtual ~StreamObserver() = default;
    virtual bool onFrame(const BinkContext& file, const StreamArray<StreamBuffer>& streams, uint32_t frame) = 0;
};

// How the run reports a failed stage: the console line, the message box, or
// not at all (the packer's own check run, which reports through its result).
// A stage that cannot have the memory for its models is not reported here:
// the run ends with -1 and FailurePoint::Resources.
enum class FailureReport { Console, MessageBox, None };

// Where a failed run stopped, for tools that name the first failure.  The
// exit code stays the only report of the product's own programs.
enum class FailurePoint : uint8_t {
    None,
    Input,        // the input ends early or cannot be read
    NotDev,       // no DEV magic
    Framing,      // a corrupt capacity or size block, or a chunk length out of range
    Header,       // the header chunk is corrupt, or its video flags are rejected
    Resources,    // memory or a thread cannot be had (a stage's models included)
    Stage,        // a stage could not decode its chunk of the frame
    EarlyEnd,     // the chunks end before the header's last frame
    Assembly,     // the frame cannot be rebuilt from the stages' values
    FrameIndex,   // a frame does not start where the frame index says, or the file does not end where the header says
    Output,       // a write to the output failed
    Stopped,      // the progress callback asked to stop
};

struct RunFailure {
    FailurePoint point = FailurePoint::None;
    int32_t frame = -1;  // the frame concerned; -1 before the first frame
    int32_t stage = -1;  // the stage slot concerned (Input, Framing, Stage); -1 otherwise
};

// Where a run's time went, in nanoseconds, for the benchmarks: filled at the
// end of a run that was given one; a run without it reads no clock.
struct RunTimings {
    uint64_t total = 0;
    uint64_t stageBusy[kStageSlots] = {};   // each stage decoding its chunks
    uint64_t stageIdle[kStageSlots] = {};   // each stage ready, waiting for the driver's next chunk
    uint64_t driverWait[kStageSlots] = {};  // the driver waiting for each stage's chunk of a frame
    uint64_t driverRead = 0;                // the driver reading chunks from the input
    uint64_t driverRelease = 0;             // the driver setting the stages going
    uint64_t audioWriter = 0;               // the driver assembling the audio packets
    uint64_t videoWriter = 0;               // the driver writing the video packets
    uint64_t output = 0;                    // the driver writing frames to the output
    // Processor time of each thread (the others run on other processors or
    // in turns, so these show what each thread costs, and the largest is a
    // floor under the run's wall time).
    uint64_t stageProcessor[kStageSlots] = {};
    uint64_t driverProcessor = 0;
};

struct RunOptions {
    ProgressCallback progress = nullptr;
    void* progressUser = nullptr;
    StreamObserver* observer = nullptr;
    FailureReport failureReport = FailureReport::Console;
    // When set, receives where the run's time went.
    RunTimings* timings = nullptr;
    // When set, receives where a failed run stopped (the first failure).
    RunFailure* failure = nullptr;
};

struct Unpacker {
    static int32_t run(const StageTable& table, ByteSink& output, ByteSource& input, const RunOptions& options);
};

}  // namespace dev
