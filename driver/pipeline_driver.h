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
    uint32_t cycles = 0;   // cycles handed out, the one the end mark cut short included
    uint32_t carried = 0;  // frames whose chunks every stage was given
    uint32_t awaited = 0;  // frames awaited so far: the next one awaitFrame() takes
    // Set before createPipeline() to have the stages, releaseCycle() and
    // awaitFrame() time themselves: the driver's time waiting for each
    // stage, reading the chunks and handing them over.
    bool timed = false;
    uint64_t waitNanos[kStageSlots] = {};
    uint64_t readNanos = 0;
    uint64_t releaseNanos = 0;
};

// Creates the 21 streams and the stages of generation file.isBink2 from the
// table rows; every stage reads `file`, which must outlive the pipeline.
// Input rings are sized by slot, stream rings by stream.  false when memory,
// an event or a thread cannot be had; whatever was created is then left for
// shutdownPipeline() to release.
bool createPipeline(Pipeline& pipeline, const BinkContext& file, const StageTable& table, const Capacities& capacities);

// What handing out a cycle or awaiting a frame came to.
enum class CycleResult {
    Ok,
    StageFailed,  // the stage that set its failed flag on a chunk of the awaited frame or before
    NoMemory,     // the stage could not set up (its models need memory that cannot be had)
    BadLength,    // a chunk length that is negative (not the end mark) or above the stage's input capacity
    ShortRead,    // the input ended inside a chunk
    NotCarried,   // the awaited frame's chunks never all came: the end mark came first
};
// failedStage names the stage concerned by any result but Ok and NotCarried.

// Hands out the next cycle without waiting: each stage in turn gets its next
// chunk in its input ring and is sent on (or is given the stop order once
// the end mark has been seen).  Sets pipeline.endSeen when the end mark is
// decoded.  The ring position it fills is the one of frame cycles -
// kPipelineDepth, so that frame must have been awaited and assembled: the
// driver keeps at most kPipelineDepth - 1 cycles handed out beyond the frames
// it has awaited.  On any result but Ok call shutdownPipeline() next.
CycleResult releaseCycle(Pipeline& pipeline, SizeDecoder& sizes, ByteSource& input, int& failedStage);

// Waits until every stage has finished its chunk of the next frame (frame
// number pipeline.awaited), then shows that frame's buffers as the fronts of
// every stream.  A stage's failure is reported with the first frame it
// concerns, never earlier.
CycleResult awaitFrame(Pipeline& pipeline, int& failedStage);

// Stops and joins every stage thread, whatever state the run left it in, and
// releases events, input buffers and stream buffers.  Safe to call more than
// once and after a partial createPipeline().
void shutdownPipeline(Pipeline& pipeline);

}  // namespace dev
