#include "driver/pipeline_driver.h"
#include "stages/stage_table.h"

namespace dev {

namespace {

uint32_t stageEntry(void* argument) {
    Stage* stage = static_cast<Stage*>(argument);
    return stage->routine(stage);
}

// A ring (a stream's or a stage's input) is one block of kPipelineDepth
// buffers, each on whole small pages.  Its buffers are written from the start
// every frame (the driver reads every chunk into an input ring), so a large
// frame touches most of them; on small pages the writing thread paid a fault
// for every 4 KB, some 2,200 per run on a 1920x1088 Bink 2 file, the first
// before the stages could start.  From 1 MB on a ring is rounded up to whole
// large pages and backed by them where the system gives them.  Capacities
// stay within kMaxCapacity (256 MB), so a ring's bytes fit a 32-bit size.
static_assert(kMaxCapacity * kPipelineDepth + platform::kLargePage <= UINT32_MAX);
size_t ringStride(uint32_t capacity) { return (size_t(capacity) + 4095) / 4096 * 4096; }
bool ringLarge(uint32_t capacity) { return ringStride(capacity) * kPipelineDepth >= platform::kLargePage / 2; }
size_t ringBytes(uint32_t capacity) {
    const size_t bytes = ringStride(capacity) * kPipelineDepth;
    return ringLarge(capacity) ? (bytes + platform::kLargePage - 1) / platform::kLargePage * platform::kLargePage : bytes;
}
// Sets buffers to the ring of capacity; false when the memory cannot be had.
bool allocateRing(uint32_t capacity, uint8_t* (&buffers)[kPipelineDepth]) {
    const platform::PageSpan whole{0, ringBytes(capacity)};
    uint8_t* const block = static_cast<uint8_t*>(platform::pageAlloc(whole.length, &whole, ringLarge(capacity) ? 1 : 0));
    if (!block) return false;
    for (int i = 0; i < kPipelineDepth; ++i) buffers[i] = block + i * ringStride(capacity);
    return true;
}
void freeRing(uint32_t capacity, uint8_t* (&buffers)[kPipelineDepth]) {
    if (buffers[0]) platform::pageFree(buffers[0], ringBytes(capacity));
    for (uint8_t*& b : buffers) b = nullptr;
}

}  // namespace

bool createPipeline(Pipeline& p, const BinkContext& file, const StageTable& table, const Capacities& capacities) {
    p.endSeen = false;
    p.cycles = p.carried = p.awaited = 0;
    for (int n = 1; n <= kStreamCount; ++n) {
        StreamBuffer& s = p.streams[n];
        s.capacity = capacities.stream[n];
        s.front = 0;
        if (s.capacity == 0) continue;
        if (!allocateRing(s.capacity, s.buffers)) return false;
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
            // as each stage fills its streams' ring at its own pace.
            if (n > kStreamCount || owned[n]) return false;
            owned[n] = true;
            st.outputs[i] = &p.streams[n];
        }
        st.done = platform::createEvent(true);
        st.go = platform::createEvent(false);
        if (!st.done || !st.go) return false;
        st.inputCapacity = capacities.stage[slot];
        if (st.inputCapacity && !allocateRing(st.inputCapacity, st.inputs)) return false;
        st.context = &file;
        st.number = static_cast<uint32_t>(slot);
        st.released.store(0, std::memory_order_relaxed);
        st.finished.store(0, std::memory_order_relaxed);
        st.stop.store(0, std::memory_order_relaxed);
        st.failed.store(0, std::memory_order_relaxed);
        st.setupFailed = 0;
        st.failedChunk = 0;
        st.routine = row.routine;
        st.timed = p.timed;
        st.thread = platform::startThread(stageEntry, &st);
        if (!st.thread) return false;
    }
    return true;
}

CycleResult releaseCycle(Pipeline& p, SizeDecoder& sizes, ByteSource& input, int& failedStage) {
    const uint32_t cycle = p.cycles;
    const uint32_t slot = cycle % kPipelineDepth;
    bool whole = true;  // every stage has its chunk of this cycle
    for (int s = 0; s < p.stageCount; ++s) {
        Stage& st = p.stages[s];
        const uint64_t start = p.timed ? clockNanos() : 0;
        if (!p.endSeen) {
            const int32_t length = sizes.next(s);
            if (length == kEndMark) {
                p.endSeen = true;
            } else {
                // A corrupt length must never be read past the input buffer.
                failedStage = s;
                if (length < 0 || static_cast<uint32_t>(length) > st.inputCapacity) return CycleResult::BadLength;
                if (length && !input.readExact(st.inputs[slot], static_cast<size_t>(length)))
                    return CycleResult::ShortRead;
                st.lengths[slot] = static_cast<uint32_t>(length);
            }
        }
        const uint64_t handOver = p.timed ? clockNanos() : 0;
        if (p.timed) p.readNanos += handOver - start;
        if (p.endSeen) {
            whole = false;
            st.stop.store(1, std::memory_order_release);
        } else {
            st.released.store(cycle + 1, std::memory_order_release);
        }
        platform::setEvent(st.go);
        if (p.timed) p.releaseNanos += clockNanos() - handOver;
    }
    p.cycles = cycle + 1;
    if (whole) p.carried = cycle + 1;
    return CycleResult::Ok;
}

CycleResult awaitFrame(Pipeline& p, int& failedStage) {
    const uint32_t frame = p.awaited;
    if (frame >= p.carried) return CycleResult::NotCarried;
    for (int s = 0; s < p.stageCount; ++s) {
        Stage& st = p.stages[s];
        const uint64_t start = p.timed ? clockNanos() : 0;
        while (st.finished.load(std::memory_order_acquire) <= frame) platform::waitEvent(st.done);
        if (p.timed) p.waitNanos[s] += clockNanos() - start;
        // A stage running ahead may already have failed on a later chunk:
        // the frames before that one are still sound.
        if (st.failed.load(std::memory_order_acquire) && st.failedChunk <= frame) {
            failedStage = s;
            return st.setupFailed ? CycleResult::NoMemory : CycleResult::StageFailed;
        }
    }
    const uint32_t slot = frame % kPipelineDepth;
    for (StreamBuffer& b : p.streams) b.showFront(slot);
    p.awaited = frame + 1;
    return CycleResult::Ok;
}

void shutdownPipeline(Pipeline& p) {
    for (int s = 0; s < p.stageCount; ++s) {
        Stage& st = p.stages[s];
        if (st.thread) {
            // The stop order: a stage finishes the chunks it was given, then
            // leaves its loop; one that has left it already ignores it.
            st.stop.store(1, std::memory_order_release);
            platform::setEvent(st.go);
            platform::joinThread(st.thread);
            st.thread = nullptr;
        }
        if (st.go) platform::closeEvent(st.go);
        if (st.done) platform::closeEvent(st.done);
        st.go = st.done = nullptr;
        freeRing(st.inputCapacity, st.inputs);
    }
    p.stageCount = 0;
    for (StreamBuffer& b : p.streams) {
        freeRing(b.capacity, b.buffers);
        b.cursor = nullptr;
    }
}

}  // namespace dev
