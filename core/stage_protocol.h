// The stage protocol: the stage record every stage routine receives and the
// stage side of the hand-over with the driver (driver/pipeline_driver.h).
//
// The driver hands each stage its chunks in order, one per cycle, into a ring
// of kPipelineDepth input buffers, and counts them in `released`; the stage
// decodes them in order into the same ring position of its output streams
// and counts them in `finished`.  The driver assembles frame f from ring
// position f % kPipelineDepth once every stage has finished chunk f, and it
// never hands out chunk f + kPipelineDepth before that frame is assembled,
// so a stage may run up to kPipelineDepth - 1 chunks ahead of the frame
// being written: a stage whose chunk is late in one frame catches up in the
// next instead of holding every other thread at each frame.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "core/bink_context.h"
#include "core/sub_streams.h"
#include "platform/platform.h"

namespace dev {

constexpr int kMaxStageOutputs = 12;

struct Stage;
using StageRoutine = uint32_t (*)(Stage* stage);

struct Stage {
    // The input ring: chunk n of the stage is inputs[n % kPipelineDepth],
    // lengths[n % kPipelineDepth] bytes long.  No buffers for a stage without
    // input capacity (it only ever has empty chunks).
    uint8_t* inputs[kPipelineDepth] = {};
    uint32_t inputCapacity = 0;
    uint32_t lengths[kPipelineDepth] = {};
    StreamBuffer* outputs[kMaxStageOutputs] = {};
    // The chunk being decoded, set by the stage loop before each decode: its
    // bytes, and the ring position its outputs go to.
    const uint8_t* input = nullptr;
    uint32_t length = 0;
    uint32_t slot = 0;
    // Chunks handed over by the driver, and chunks the stage is done with
    // (decoded, failed or skipped after a failure).  Each is written by one
    // side only; released before go, finished before done.
    std::atomic<uint32_t> released{0};
    std::atomic<uint32_t> finished{0};
    // No chunks after the released ones: the stage leaves its loop once it
    // has finished them.
    std::atomic<uint8_t> stop{0};
    // Set when a chunk could not be decoded (failedChunk is its number) or
    // setup could not have its memory (setupFailed; failedChunk 0): the run
    // ends, for the chunk or for want of memory.  Written before the finished
    // count that covers the chunk.
    std::atomic<uint8_t> failed{0};
    uint8_t setupFailed = 0;
    uint32_t failedChunk = 0;
    uint32_t number = 0;
    const BinkContext* context = nullptr;  // the file's facts, read-only
    platform::Event* done = nullptr;
    platform::Event* go = nullptr;
    platform::Thread* thread = nullptr;
    StageRoutine routine = nullptr;
    // Filled only when the run is asked for its timings (timed set before
    // the thread starts): time spent decoding chunks, and time spent waiting
    // for the driver's next chunk after the stage was ready.
    bool timed = false;
    uint64_t busyNanos = 0;
    uint64_t idleNanos = 0;
    uint64_t processorNanos = 0;  // the thread's processor time, all of it
};

// Nanoseconds on a steady clock, for the run's optional timings.
inline uint64_t clockNanos() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// Stage side of the protocol, shared by every stage routine.
//
// setup() builds the stage's models and state and returns false when memory
// cannot be had (only then: what the file itself rules out fails at the
// first chunk instead); decode(stage) handles one chunk and returns false when the
// chunk cannot be finished (corrupt data, output over capacity); teardown()
// releases what setup built.  A stage that fails sets failed and goes on
// counting the chunks it is given as finished, undecoded, until the stop
// order, so the driver never waits for a chunk that will not come.
template <class Setup, class Decode, class Teardown>
uint32_t runStageLoop(Stage* stage, Setup&& setup, Decode&& decode, Teardown&& teardown) {
    const bool ready = setup();
    if (!ready) {
        stage->setupFailed = 1;
        stage->failedChunk = 0;
        stage->failed.store(1, std::memory_order_release);
    }
    const bool timed = stage->timed;
    uint64_t idleSince = timed ? clockNanos() : 0;
    for (uint32_t n = stage->finished.load(std::memory_order_relaxed);;) {
        if (stage->released.load(std::memory_order_acquire) == n) {
            // Stop is ordered after the last release: seen, the count above
            // is final once read again.
            if (stage->stop.load(std::memory_order_acquire) &&
                stage->released.load(std::memory_order_acquire) == n)
                break;
            platform::waitEvent(stage->go);
            continue;
        }
        const uint64_t start = timed ? clockNanos() : 0;
        if (timed) stage->idleNanos += start - idleSince;
        const uint32_t slot = n % kPipelineDepth;
        stage->slot = slot;
        stage->input = stage->inputs[slot];
        stage->length = stage->lengths[slot];
        // A stage that writes nothing into an output leaves it empty.
        for (StreamBuffer* b : stage->outputs)
            if (b) b->filled[slot] = 0;
        if (ready && !stage->failed.load(std::memory_order_relaxed) && !decode(stage)) {
            stage->failedChunk = n;
            stage->failed.store(1, std::memory_order_release);
        }
        if (timed) {
            idleSince = clockNanos();
            stage->busyNanos += idleSince - start;
        }
        stage->finished.store(++n, std::memory_order_release);
        platform::setEvent(stage->done);
    }
    teardown();
    if (timed) stage->processorNanos = platform::threadProcessorNanos();
    platform::setEvent(stage->done);
    return 0;
}

}  // namespace dev
