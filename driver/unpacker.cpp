// The driver: reads a DEV stream front to back, has the header decoder write
// the Bink header, runs the stage pipeline up to kPipelineDepth - 1 frames
// ahead of the frame being assembled, and writes each frame with one write.
//
// Unlike a console program that ends right after a failed run, the driver is
// also run inside a host that keeps going (the plug-in), so every path out of
// a run, failure or not, stops and joins the stage threads and releases every
// buffer.  Output write failures do not stop the run: every write is still
// made, and the run reports -1 at the end.
#include "driver/unpacker.h"

#include <cstring>

#include "core/little_endian.h"
#include "driver/dev_format.h"
#include "driver/frame_assembly.h"
#include "driver/header_decoder.h"
#include "driver/pipeline_driver.h"
#include "platform/platform.h"
#include "stages/stage_table.h"
#include "writers/bink_container.h"

namespace dev {

namespace {

constexpr uint32_t kProgressInterval = 50;  // ms between progress reports
constexpr char kFailureCaption[] = "dev compressor v 0.2.6";

// Passes writes through and remembers a failure instead of reporting it, so
// that the header decoder and the frame loop carry on as with a sink that
// never fails.
class TrackingSink : public ByteSink {
public:
    explicit TrackingSink(ByteSink& inner) : inner_(inner) {}
    bool write(const void* buffer, size_t size) override {
        if (!inner_.write(buffer, size)) failed = true;
        return true;
    }
    bool failed = false;

private:
    ByteSink& inner_;
};

// Writes n in decimal into text (no terminating zero); returns the length.
size_t formatNumber(char* text, uint32_t n) {
    char digits[10];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n);
    for (size_t i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
    return count;
}

void reportStageFailure(int stage, FailureReport how) {
    if (how == FailureReport::None) return;
    char text[64];
    size_t n = 0;
    const char head[] = "Thread ";
    const char tail[] = " has terminated with error!";
    std::memcpy(text + n, head, sizeof head - 1);
    n += sizeof head - 1;
    n += formatNumber(text + n, static_cast<uint32_t>(stage));
    std::memcpy(text + n, tail, sizeof tail - 1);
    n += sizeof tail - 1;
    if (how == FailureReport::MessageBox) {
        text[n] = 0;
        platform::messageBox(kFailureCaption, text);
    } else {
        text[n++] = '\n';
        platform::consoleWrite(text, n);
    }
}

// Everything one run holds.  The destructor releases it in the one safe
// order: stage threads first (they read the context), then the buffers.
class Run {
public:
    Run(const StageTable& table, ByteSink& output, ByteSource& input, const RunOptions& options)
        : table_(table), sink_(output), input_(input), options_(options) {
        if (options_.timings) {
            started_ = clockNanos();
            startedProcessor_ = platform::threadProcessorNanos();
            pipeline_.timed = true;
            assembly_.timed = true;
        }
    }
    ~Run() {
        shutdownPipeline(pipeline_);
        if (RunTimings* t = options_.timings) {
            for (int s = 0; s < kStageSlots; ++s) {
                t->stageBusy[s] = pipeline_.stages[s].busyNanos;
                t->stageProcessor[s] = pipeline_.stages[s].processorNanos;
                t->stageIdle[s] = pipeline_.stages[s].idleNanos;
                t->driverWait[s] = pipeline_.waitNanos[s];
            }
            t->driverRead = pipeline_.readNanos;
            t->driverRelease = pipeline_.releaseNanos;
            t->audioWriter = assembly_.audioNanos;
            t->videoWriter = assembly_.videoNanos;
            t->output = outputNanos_;
            t->driverProcessor = platform::threadProcessorNanos() - startedProcessor_;
            t->total = clockNanos() - started_;
        }
        assembly_.release();
        releaseHeaderBuffers(file_);
        sizes_.release();
        platform::heapFree(sizeBlock_);
        platform::heapFree(headerChunk_);
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    int32_t execute();

private:
    int32_t readFraming(Capacities& capacities);
    int32_t release(uint32_t carries);
    int32_t await(uint32_t frame);
    bool progress(uint32_t perMille);
    // Notes where the run stopped (the first failure only) and returns code.
    int32_t fail(int32_t code, FailurePoint point, int64_t frame = -1, int stage = -1) {
        if (options_.failure && options_.failure->point == FailurePoint::None)
            *options_.failure = RunFailure{point, static_cast<int32_t>(frame), stage};
        return code;
    }

    const StageTable& table_;
    TrackingSink sink_;
    ByteSource& input_;
    const RunOptions& options_;
    BinkContext file_;
    Pipeline pipeline_;
    FrameAssembly assembly_;
    SizeDecoder sizes_;
    uint8_t* sizeBlock_ = nullptr;
    uint8_t* headerChunk_ = nullptr;
    bool reported_ = false;
    uint32_t lastTick_ = 0;
    uint64_t started_ = 0;
    uint64_t startedProcessor_ = 0;
    uint64_t outputNanos_ = 0;
    uint64_t written_ = 0;  // bytes of the Bink file handed to the output so far
};

// Steps up to the header: magic, capacity block, size block, header chunk.
int32_t Run::readFraming(Capacities& capacities) {
    uint8_t prefix[kDevPrefixSize];
    if (!input_.readExact(prefix, sizeof prefix)) return fail(kResultFailed, FailurePoint::Input);
    if (std::memcmp(prefix, kDevMagic, sizeof kDevMagic) != 0) return fail(kResultNotDev, FailurePoint::NotDev);

    // The capacity block is at most 255 bytes; its values are decoded at once.
    uint8_t capacityBlock[255];
    const size_t l1 = prefix[4];
    if (!input_.readExact(capacityBlock, l1)) return fail(kResultFailed, FailurePoint::Input);

    uint8_t l2Bytes[3];
    if (!input_.readExact(l2Bytes, sizeof l2Bytes)) return fail(kResultFailed, FailurePoint::Input);
    const size_t l2 = loadLe24(l2Bytes);
    sizeBlock_ = static_cast<uint8_t*>(platform::heapAlloc(l2));
    if (!sizeBlock_) return fail(kResultFailed, FailurePoint::Resources);
    if (!input_.readExact(sizeBlock_, l2)) return fail(kResultFailed, FailurePoint::Input);
    if (!sizes_.start(sizeBlock_, l2)) return fail(kResultFailed, FailurePoint::Resources);

    const int32_t headerLength = sizes_.next(kHeaderSequence);
    if (headerLength < 0 || uint64_t(headerLength) > kMaxHeaderChunk) return fail(kResultFailed, FailurePoint::Framing);
    headerChunk_ = static_cast<uint8_t*>(platform::heapAlloc(static_cast<size_t>(headerLength)));
    if (!headerChunk_) return fail(kResultFailed, FailurePoint::Resources);
    if (!input_.readExact(headerChunk_, static_cast<size_t>(headerLength))) return fail(kResultFailed, FailurePoint::Input);
    const int32_t written = decodeHeader(file_, headerChunk_, static_cast<size_t>(headerLength), sink_);
    platform::heapFree(headerChunk_);
    headerChunk_ = nullptr;
    if (written < 0) return fail(written == kResultFlags ? kResultFlags : kResultFailed, FailurePoint::Header);
    written_ = static_cast<uint64_t>(written);

    // Decoded after the header, as the stages are about to be created.
    if (!decodeCapacities(capacityBlock, l1, capacities)) return fail(kResultFailed, FailurePoint::Framing);
    return kResultOk;
}

// Hands out the pipeline cycle carrying the chunks of frame `carries`.
int32_t Run::release(uint32_t carries) {
    int failedStage = -1;
    switch (releaseCycle(pipeline_, sizes_, input_, failedStage)) {
        case CycleResult::BadLength:
            return fail(kResultFailed, FailurePoint::Framing, carries, failedStage);
        case CycleResult::ShortRead:
            return fail(kResultFailed, FailurePoint::Input, carries, failedStage);
        default:
            break;
    }
    // A conforming stream places the end mark in the cycle after the last
    // frame.  Earlier, the stages have stopped while frames remain: the run
    // cannot finish and must not wait for stages that have left their loops.
    if (pipeline_.endSeen && carries < file_.frameCount) return fail(kResultFailed, FailurePoint::EarlyEnd, carries);
    return kResultOk;
}

// Waits for every stage's chunk of `frame`, the next frame to assemble.
int32_t Run::await(uint32_t frame) {
    int failedStage = -1;
    switch (awaitFrame(pipeline_, failedStage)) {
        case CycleResult::Ok:
            return kResultOk;
        case CycleResult::StageFailed:
            reportStageFailure(failedStage, options_.failureReport);
            return fail(kResultFailed, FailurePoint::Stage, frame, failedStage);
        case CycleResult::NoMemory:
            // Not the stage's failure: nothing to report but the result.
            return fail(kResultFailed, FailurePoint::Resources);
        default:
            // Not reached: release() fails a run whose end mark comes early.
            return fail(kResultFailed, FailurePoint::EarlyEnd, frame);
    }
}

bool Run::progress(uint32_t perMille) {
    if (!options_.progress) return true;
    // The first report is always made; later ones at most every 50 ms.
    const uint32_t now = platform::tickCount();
    if (reported_ && now - lastTick_ <= kProgressInterval) return true;
    reported_ = true;
    lastTick_ = now;
    return options_.progress(options_.progressUser, perMille) >= 0;
}

int32_t Run::execute() {
    Capacities capacities;
    if (const int32_t r = readFraming(capacities); r != kResultOk) return r;

    // Every run buffer is sized here, from the header and the capacities,
    // before the first frame.
    if (!assembly_.setup(file_, capacities.stream)) return fail(kResultFailed, FailurePoint::Resources);
    if (!createPipeline(pipeline_, file_, table_, capacities)) return fail(kResultFailed, FailurePoint::Resources);

    // The stages decode up to kAhead frames beyond the one being assembled;
    // the cycle after the last frame carries the end mark.
    constexpr uint32_t kAhead = kPipelineDepth - 1;
    for (uint32_t c = 0; c < kAhead && c <= file_.frameCount; ++c)
        if (const int32_t r = release(c); r != kResultOk) return r;

    bool placed = true;  // every frame so far was written, so written_ is where the next one starts
    for (uint32_t frame = 0; frame < file_.frameCount; ++frame) {
        if (frame + kAhead <= file_.frameCount)
            if (const int32_t r = release(frame + kAhead); r != kResultOk) return r;
        if (const int32_t r = await(frame); r != kResultOk) return r;
        if (!progress(static_cast<uint32_t>(uint64_t(frame) * 1000 / file_.frameCount)))
            return fail(kResultStopped, FailurePoint::Stopped, frame);

        if (options_.observer && !options_.observer->onFrame(file_, pipeline_.streams, frame)) {
            placed = false;  // a frame left out: the rest cannot be checked
            continue;
        }
        if (assembly_.assemble(file_, pipeline_.streams, frame) < 0) return fail(kResultFailed, FailurePoint::Assembly, frame);
        const std::span<const uint8_t> bytes = assembly_.frame();
        // Each frame must start where the restored frame index says.  A
        // damaged header chunk can still decode, into an index that no longer
        // matches the frames: that is caught here instead of being written
        // as a sound file.
        if (placed && written_ != file_.frameStarts[frame]) return fail(kResultFailed, FailurePoint::FrameIndex, frame);
        written_ += bytes.size();
        const bool failedBefore = sink_.failed;
        const uint64_t start = options_.timings ? clockNanos() : 0;
        sink_.write(bytes.data(), bytes.size());
        if (options_.timings) outputNanos_ += clockNanos() - start;
        if (sink_.failed && !failedBefore) fail(kResultFailed, FailurePoint::Output, frame);
    }
    // The file ends where the frame index and the header say.
    if (placed && (written_ != file_.frameStarts[file_.frameCount] ||
                   written_ != uint64_t(file_.fileSize) + BinkHeader::kFileSizeFrom))
        return fail(kResultFailed, FailurePoint::FrameIndex);
    if (options_.progress) options_.progress(options_.progressUser, 1000);
    // Output failures end the run only here, after every write was made.
    if (sink_.failed) return fail(kResultFailed, FailurePoint::Output);
    return kResultOk;
}

}  // namespace

int32_t Unpacker::run(const StageTable& table, ByteSink& output, ByteSource& input, const RunOptions& options) {
    Run run(table, output, input, options);
    return run.execute();
}

}  // namespace dev
