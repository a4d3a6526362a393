// The stage protocol: the stage record every stage routine receives and the
// stage side of the hand-over with the driver (driver/pipeline_driver.h).
//
// In every cycle the driver waits for each stage's done event, hands it its
// next chunk (or the stop order), swaps that stage's sub-streams and sets its
// go event.  A stage writes its results into the back buffers of its outputs
// while the driver reads the front buffers of the previous cycle.
#pragma once

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
    uint8_t* input = nullptr;
    uint32_t inputCapacity = 0;
    StreamBuffer* outputs[kMaxStageOutputs] = {};
    volatile uint8_t stop = 0;
    volatile uint8_t failed = 0;
    // Set with failed when setup could not have its memory: the run ends for
    // want of memory, not for a chunk the stage could not decode.
    volatile uint8_t setupFailed = 0;
    uint32_t number = 0;
    uint32_t length = 0;
    const BinkContext* context = nullptr;  // the file's facts, read-only
    platform::Event* done = nullptr;
    platform::Event* go = nullptr;
    platform::Thread* thread = nullptr;
    StageRoutine routine = nullptr;
    // Filled only when the run is asked for its timings (timed set before
    // the thread starts): time spent decoding chunks, and time spent waiting
    // for the driver's go after the stage was ready.
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
// releases what setup built.  A stage that fails sets failed and keeps
// answering go with done until it receives the stop order, so the driver
// never waits for a thread that has left its loop.
template <class Setup, class Decode, class Teardown>
uint32_t runStageLoop(Stage* stage, Setup&& setup, Decode&& decode, Teardown&& teardown) {
    const bool ready = setup();
    if (!ready) {
        stage->setupFailed = 1;
        stage->failed = 1;
    }
    const bool timed = stage->timed;
    uint64_t idleSince = timed ? clockNanos() : 0;
    for (;;) {
        platform::waitEvent(stage->go);
        if (stage->stop) break;
        const uint64_t start = timed ? clockNanos() : 0;
        if (timed) stage->idleNanos += start - idleSince;
        if (ready && !stage->failed && !decode(stage)) stage->failed = 1;
        if (timed) {
            idleSince = clockNanos();
            stage->busyNanos += idleSince - start;
        }
        platform::setEvent(stage->done);
    }
    teardown();
    if (timed) stage->processorNanos = platform::threadProcessorNanos();
    platform::setEvent(stage->done);
    return 0;
}

}  // namespace dev
