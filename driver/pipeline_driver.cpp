#include "driver/pipeline_driver.h"
#include "stages/stage_table.h"

namespace dev {

namespace {

uint32_t stageEntry(void* argument) {
    Stage* stage = static_cast<Stage*>(argument);
    return stage->routine(stage);
}

}  // namespace

bool createPipeline(Pipeline& p, const BinkContext& file, const StageTable& table, const Capacities& capacities) {
    p.endSeen = false;
    for (int n = 1; n <= kStreamCount; ++n) {
        StreamBuffer& s = p.streams[n];
        s.capacity = capacities.stream[n];
        s.toggle = 0;
        if (s.capacity == 0) continue;
        for (uint8_t*& b : s.buffers) {
            b = static_cast<uint8_t*>(platform::pageAlloc(s.capacity));
            if (!b) return false;
        }
        s.cursor = s.buffers[0];
    }

    const StageRow* rows = table.generation(file.isBink2);
    StreamArray<bool> owned;
    for (int r = 0; r < kStageSlots; ++r) {
        const StageRow& row = rows[r];
        if (!row.inUse()) continue;
        const int slot = p.stageCount;
        Stage& st = p.stages[slot];
        p.stageCount = slot + 1;  // from here on shutdownPipeline() releases the slot
        for (int i = 0; i < kMaxStageOutputs && row.outputs[i]; ++i) {
            const uint8_t n = row.outputs[i];
            // Table errors, not input: every stream has at most one writer,
            // as each stage's streams swap when that stage is done.
            if (n > kStreamCount || owned[n]) return false;
            owned[n] = true;
            st.outputs[i] = &p.streams[n];
        }
        st.done = platform::createEvent(true);
        st.go = platform::createEvent(false);
        if (!st.done || !st.go) return false;
        st.inputCapacity = capacities.stage[slot];
        if (st.inputCapacity) {
            st.input = static_cast<uint8_t*>(platform::pageAlloc(st.inputCapacity));
            if (!st.input) return false;
        }
        st.context = &file;
        st.number = static_cast<uint32_t>(slot);
        st.stop = 0;
        st.failed = 0;
        st.setupFailed = 0;
        st.routine = row.routine;
        st.timed = p.timed;
        st.thread = platform::startThread(stageEntry, &st);
        if (!st.thread) return false;
        p.busy[slot] = true;  // done starts signalled
    }
    return true;
}

namespace {

// Swaps the double buffers of one stream.  The new back buffer starts empty,
// so a stage that writes nothing leaves nothing to read.
void toggleStream(StreamBuffer& b) {
    b.toggle ^= 1;
    b.cursor = b.buffers[b.toggle];
    b.filled[b.toggle ^ 1] = 0;
}

}  // namespace

CycleResult runCycle(Pipeline& p, SizeDecoder& sizes, ByteSource& input, int& failedStage) {
    // Each stage is sent on as soon as it is done and has its chunk, while
    // the driver goes on waiting for the others: its streams are its own, and
    // the driver has finished with their front buffers.  A stage that ends
    // early no longer idles until the slowest one is done.
    StreamArray<bool> toggled;
    for (int s = 0; s < p.stageCount; ++s) {
        Stage& st = p.stages[s];
        const uint64_t start = p.timed ? clockNanos() : 0;
        platform::waitEvent(st.done);
        const uint64_t ready = p.timed ? clockNanos() : 0;
        p.waitNanos[s] += ready - start;
        p.busy[s] = false;
        if (p.released[s] && st.failed) {
            failedStage = s;
            return st.setupFailed ? CycleResult::NoMemory : CycleResult::StageFailed;
        }
        if (p.endSeen) {
            st.stop = 1;
        } else {
            const int32_t length = sizes.next(s);
            if (length == kEndMark) {
                p.endSeen = true;
                st.stop = 1;
            } else {
                // A corrupt length must never be read past the input buffer.
                failedStage = s;
                if (length < 0 || static_cast<uint32_t>(length) > st.inputCapacity) return CycleResult::BadLength;
                if (length && !input.readExact(st.input, static_cast<size_t>(length))) return CycleResult::ShortRead;
                st.length = static_cast<uint32_t>(length);
            }
        }
        const uint64_t swapStart = p.timed ? clockNanos() : 0;
        if (p.timed) p.readNanos += swapStart - ready;
        // The stage's output, complete now, moves to the front for the frame
        // the driver assembles next (also when the stage is told to stop).
        for (StreamBuffer* b : st.outputs) {
            if (!b) break;
            toggleStream(*b);
            toggled[p.streams.numberOf(b)] = true;
        }
        p.busy[s] = true;
        p.released[s] = true;
        platform::setEvent(st.go);
        if (p.timed) p.releaseNanos += clockNanos() - swapStart;
    }
    // Streams no stage writes swap with the others: both their buffers stay
    // empty.
    for (int n = 1; n <= kStreamCount; ++n)
        if (!toggled[n]) toggleStream(p.streams[n]);
    return CycleResult::Ok;
}

void shutdownPipeline(Pipeline& p) {
    for (int s = 0; s < p.stageCount; ++s) {
        Stage& st = p.stages[s];
        if (st.thread) {
            // Let a stage that is working on a chunk finish it, then give the
            // stop order; a stage that has already left its loop ignores it.
            if (p.busy[s]) platform::waitEvent(st.done);
            p.busy[s] = false;
            st.stop = 1;
            platform::setEvent(st.go);
            platform::joinThread(st.thread);
            st.thread = nullptr;
        }
        if (st.go) platform::closeEvent(st.go);
        if (st.done) platform::closeEvent(st.done);
        st.go = st.done = nullptr;
        if (st.input) platform::pageFree(st.input, st.inputCapacity);
        st.input = nullptr;
    }
    for (int s = 0; s < p.stageCount; ++s) p.released[s] = false;
    p.stageCount = 0;
    for (StreamBuffer& b : p.streams) {
        for (uint8_t*& buf : b.buffers) {
            if (buf) platform::pageFree(buf, b.capacity);
            buf = nullptr;
        }
        b.cursor = nullptr;
    }
}

}  // namespace dev
