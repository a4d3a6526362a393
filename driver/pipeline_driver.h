// Driver side of the stage pipeline: creating the streams and stage threads
// of a run, handing out one cycle of chunks, and shutting everything down.
#pragma once

#include <cstdint>

#include "core/bink_context.h"
#include "core/byte_io.h"
#include "driver/dev_format.h"
#include "stages/stage_table.h"

namespace dev {

// The streams and stages of one run.  Lives in the driver for the length of
// the run.
struct Pipeline {
    StreamArray<StreamBuffer> streams;
    Stage stages[kStageSlots];
    int stageCount = 0;  // stages are created from slot 0 without gaps
    bool endSeen = false;  // the end mark of the chunk lengths has been decoded
    // busy[s]: stage s has been given go (or was just created, its done event
    // signalled) and its done event has not been taken yet.  Shutdown uses it
    // to know which stages may still be working, so that no path ever waits
    // for an event that will not come.
    bool busy[kStageSlots] = {};
    // released[s]: stage s has been given go at least once.  Until then its
    // done event is the one it was created with, not an answer: the stage may
    // still be setting up (and writing its failed flag), so the flag is read
    // only after a done the stage set itself.
    bool released[kStageSlots] = {};
    // Set before createPipeline() to have the stages and runCycle() time
    // themselves: the driver's time waiting for each stage's done event and
    // reading the chunks.
    bool timed = false;
    uint64_t waitNanos[kStageSlots] = {};
    uint64_t readNanos = 0;
    uint64_t releaseNanos = 0;
};

// Creates the 21 streams and the stages of generation file.isBink2 from the
// table rows; every stage reads `file`, which must outlive the pipeline.
// Input buffers are sized by slot, stream buffers by stream.  false when
// memory, an event or a thread cannot be had; whatever was created is then
// left for shutdownPipeline() to release.
bool createPipeline(Pipeline& pipeline, const BinkContext& file, const StageTable& table, const Capacities& capacities);

// What one cycle came to.
enum class CycleResult {
    Ok,
    StageFailed,  // the stage that set its failed flag
    NoMemory,     // the stage could not set up (its models need memory that cannot be had)
    BadLength,    // a chunk length that is negative (not the end mark) or above the stage's input capacity
    ShortRead,    // the input ended inside a chunk
};
// failedStage names the stage concerned by any result but Ok.

// One cycle: waits for each stage in turn, hands it its next chunk (or the
// stop order once the end mark has been seen), swaps its sub-streams and
// releases it before waiting for the next; then swaps the sub-streams no
// stage writes.  Sets pipeline.endSeen when the end mark is decoded.  On any
// result but Ok the stages already released stay as they are; call
// shutdownPipeline() next.
CycleResult runCycle(Pipeline& pipeline, SizeDecoder& sizes, ByteSource& input, int& failedStage);

// Stops and joins every stage thread, whatever state the run left it in, and
// releases events, input buffers and stream buffers.  Safe to call more than
// once and after a partial createPipeline().
void shutdownPipeline(Pipeline& pipeline);

}  // namespace dev
