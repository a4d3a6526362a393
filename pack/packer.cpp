// Bink file to DEV stream.
//
// The file is split into header, track table, frame index and frames; the
// header chunk codes the first three, and each frame becomes one chunk per
// stage, coded by the encoder that mirrors that stage.  Before it reports
// success the packer runs the unpacker over the stream it made and compares
// the result with the input byte for byte: a stream that does not restore the
// file is never handed out.
#include "pack/packer.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "driver/header_decoder.h"
#include "driver/unpacker.h"
#include "pack/bink1_parser.h"
#include "pack/bink2_parser.h"
#include "pack/bink_file.h"
#include "pack/dev_writer.h"
#include "pack/frame_view.h"
#include "pack/header_encoder.h"
#include "pack/stage_encoder.h"
#include "platform/platform.h"
#include "stages/stage_table.h"
#include "writers/bink1/streams.h"
#include "writers/bink_container.h"

namespace dev {

namespace {

std::string hex8(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", v);
    return text;
}

PackResult failure(Status why) {
    PackResult r;
    r.status = std::move(why);
    return r;
}

// The file-level context the stage encoders read, as the header decoder
// fills it in the unpacker (same derivation), with the track records and
// keyframe flags held here.
struct PackContext {
    BinkContext context{};
    std::vector<AudioTrackInfo> tracks;
    std::vector<uint32_t> keyframes;

    explicit PackContext(const BinkFile& file) {
        setHeaderFields(context, file.header.data(), static_cast<uint32_t>(file.header.size()));
        tracks.resize(file.tracks.size());
        for (size_t t = 0; t < tracks.size(); ++t)
            setTrackFields(context, tracks[t], file.tracks[t].sampleRate, file.tracks[t].flags);
        context.tracks = tracks.empty() ? nullptr : tracks.data();
        keyframes.reserve(file.frameIndex.size());
        for (uint32_t w : file.frameIndex) keyframes.push_back(BinkFrameIndex::keyframeOf(w));
        context.keyframes = keyframes.data();
    }
};

// The audio sub-stream, as the audio stage writes it: per track, the packet
// size as a 32-bit word, then the packet.
void setAudioStream(PackFrame& frame) {
    auto& s = frame.streams[kAudioStream];
    s.clear();
    for (const auto& packet : frame.audio) {
        const uint32_t n = static_cast<uint32_t>(packet.size());
        appendLe32(s, n);
        s.insert(s.end(), packet.begin(), packet.end());
    }
}

// The encoders of a generation's stages, one per row in use of the stage
// table, in stage order: each mirrors the stage of its row's kind.
struct StageEncoders {
    std::vector<std::unique_ptr<StageEncoder>> owners;
    std::vector<StageEncoder*> encoders;
    std::vector<StageKind> kinds;

    StageEncoders(const StageTable& table, bool isBink2, const BinkContext& context) {
        for (int s = 0; s < table.stageCount(isBink2); ++s) {
            const StageRow& row = table.stageRow(isBink2, s);
            owners.push_back(make(row, context));
            encoders.push_back(owners.back().get());
            kinds.push_back(row.kind);
        }
    }
    uint32_t count() const { return static_cast<uint32_t>(encoders.size()); }

private:
    static std::unique_ptr<StageEncoder> make(const StageRow& row, const BinkContext& context) {
        switch (row.kind) {
            case StageKind::Audio: return makeAudioEncoder(context);
            case StageKind::VideoFrame: return makeVideoFrameEncoder(context);
            case StageKind::BundleLength: return makeBundleLengthEncoder(context);
            case StageKind::DctIntra: return makeDctBlockEncoder(context, false);
            case StageKind::DctInter: return makeDctBlockEncoder(context, true);
            case StageKind::Copy: return makeCopyEncoder(row.outputs[0]);
            case StageKind::Bink2Video: return makeBink2VideoEncoder(context);
            case StageKind::None: break;
        }
        return nullptr;
    }
};

// Compares what the unpacker writes with the original as it arrives.
class CompareSink : public ByteSink {
public:
    explicit CompareSink(std::span<const uint8_t> expected) : expected_(expected) {}
    bool write(const void* buffer, size_t size) override {
        const auto* p = static_cast<const uint8_t*>(buffer);
        for (size_t i = 0; i < size; ++i, ++position_) {
            if (mismatch_ == kNone && (position_ >= expected_.size() || p[i] != expected_[position_]))
                mismatch_ = position_;
        }
        return true;
    }
    // The first byte that differs, or kNone when the output equals the input.
    size_t mismatch() const {
        if (mismatch_ != kNone) return mismatch_;
        return position_ == expected_.size() ? kNone : position_;
    }
    static constexpr size_t kNone = ~size_t(0);

private:
    std::span<const uint8_t> expected_;
    size_t position_ = 0;
    size_t mismatch_ = kNone;
};

struct Progress {
    ProgressCallback callback = nullptr;
    void* user = nullptr;
    void report(uint32_t perMille) const {
        if (callback) callback(user, perMille);
    }
    // The proving run's steps, as the second half.
    static int32_t secondHalf(void* self, uint32_t perMille) {
        static_cast<const Progress*>(self)->report(500 + perMille / 2);
        return 0;
    }
};

// Codes stages [first, end) of one frame; on a failure names the stage.
struct EncodeJob {
    StageEncoder* const* encoders = nullptr;
    uint32_t first = 0, end = 0;
    const PackFrame* frame = nullptr;
    std::vector<std::vector<uint8_t>>* chunks = nullptr;
    uint32_t failedStage = 0;
    Status status;

    bool run() {
        for (uint32_t s = first; s < end; ++s) {
            status = encoders[s]->encode(*frame, (*chunks)[s]);
            if (!status.ok()) {
                failedStage = s;
                return false;
            }
        }
        return true;
    }
};

// A second thread that runs one EncodeJob at a time while the packer's own
// thread codes the other stages of the frame and reads the next one.  The
// encoders of different stages share nothing but the frame, which none of
// them changes.  Without the thread (it could not be had) the job runs on the
// caller's thread: the chunks are the same either way.
class EncodeHelper {
public:
    EncodeHelper() {
        go_ = platform::createEvent(false);
        done_ = platform::createEvent(false);
        if (go_ && done_) thread_ = platform::startThread(entry, this);
    }
    ~EncodeHelper() {
        if (thread_) {
            stop_ = true;
            platform::setEvent(go_);
            platform::joinThread(thread_);
        }
        if (go_) platform::closeEvent(go_);
        if (done_) platform::closeEvent(done_);
    }
    EncodeHelper(const EncodeHelper&) = delete;
    EncodeHelper& operator=(const EncodeHelper&) = delete;

    void start(EncodeJob& job) {
        job_ = &job;
        if (thread_) platform::setEvent(go_);
        else ok_ = job.run();
    }
    // Waits for the job given to start(); its result.
    bool finish() {
        if (thread_) platform::waitEvent(done_);
        return ok_;
    }

private:
    static uint32_t entry(void* self) {
        auto* h = static_cast<EncodeHelper*>(self);
        for (;;) {
            platform::waitEvent(h->go_);
            if (h->stop_) return 0;
            h->ok_ = h->job_->run();
            platform::setEvent(h->done_);
        }
    }

    platform::Event* go_ = nullptr;
    platform::Event* done_ = nullptr;
    platform::Thread* thread_ = nullptr;
    EncodeJob* job_ = nullptr;
    bool ok_ = false;
    bool stop_ = false;
};

// Reads frame j of a Bink 1 file into its values (carried stored when the
// packet cannot be read).  false when the packet cannot be carried at all.
bool readBink1Frame(const BinkFile& file, const BinkContext& context, uint32_t j, PackFrame& frame,
                    std::unique_ptr<FrameView>& view) {
    frame = PackFrame();
    frame.index = j;
    frame.audio = file.audio[j];
    frame.video = file.video[j];
    return bink1FrameValues(context, frame, &view);
}

// Bink 1: every frame's values for the stages, coded frame by frame.  The
// DCT block stages, the heaviest, are coded on a second thread while this one
// codes the others and reads the next frame.
Status packBink1Frames(const BinkFile& file, const BinkContext& context, DevStreamParts& parts, PackResult& r,
                       const Progress& progress) {
    const StageEncoders stages(kStageTable, false, context);
    StageEncoder* const* encoders = stages.encoders.data();
    const uint32_t stageCount = stages.count();
    // The helper's stages: from the first DCT block stage to the last.
    uint32_t helperFirst = stageCount, helperEnd = stageCount;
    for (uint32_t s = 0; s < stageCount; ++s) {
        if (stages.kinds[s] != StageKind::DctIntra && stages.kinds[s] != StageKind::DctInter) continue;
        if (helperFirst == stageCount) helperFirst = s;
        helperEnd = s + 1;
    }
    EncodeHelper helper;
    std::unique_ptr<FrameView> view;  // the parser's, kept for every packet of the file
    PackFrame frames[2];
    parts.chunks.resize(file.frameCount);
    bool readable = file.frameCount == 0 || readBink1Frame(file, context, 0, frames[0], view);
    for (uint32_t j = 0; j < file.frameCount; ++j) {
        progress.report(static_cast<uint32_t>(uint64_t(j) * 500 / file.frameCount));
        const std::string where = "frame " + std::to_string(j);
        PackFrame& frame = frames[j & 1];
        if (!readable) {
            return where + ": the video packet (" + std::to_string(frame.video.size()) +
                   " bytes) is too short to be carried";
        }
        // A frame that any video stage cannot code is carried stored.
        if (!frame.stored) {
            frame.accepted = true;
            for (uint32_t s = 0; s < stageCount; ++s) {
                if (stages.kinds[s] != StageKind::Audio && !encoders[s]->accepts(frame)) {
                    frame.accepted = false;
                    storeBink1Packet(frame);
                    break;
                }
            }
        }
        setAudioStream(frame);
        ++(frame.stored ? r.stored : r.coded);

        auto& chunks = parts.chunks[j];
        chunks.resize(stageCount);
        EncodeJob helped{encoders, helperFirst, helperEnd, &frame, &chunks};
        helper.start(helped);
        EncodeJob own[2] = {{encoders, 0, helperFirst, &frame, &chunks},
                            {encoders, helperEnd, stageCount, &frame, &chunks}};
        const EncodeJob* failed = nullptr;
        for (EncodeJob& job : own) {
            if (!job.run()) {
                failed = &job;
                break;
            }
        }
        if (j + 1 < file.frameCount) readable = readBink1Frame(file, context, j + 1, frames[(j + 1) & 1], view);
        // The lowest stage that failed is the one a serial run names.
        if (!helper.finish() && (!failed || helped.failedStage < failed->failedStage)) failed = &helped;
        if (failed)
            return where + ", stage " + std::to_string(failed->failedStage) + ": " + failed->status.reason();
        for (int n = 1; n <= kStreamCount; ++n)
            parts.streamBytes[n] = std::max(parts.streamBytes[n], static_cast<uint32_t>(frame.streams[n].size()));
    }
    return {};
}

// Bink 2: every frame's video packet read into its values and coded for the
// audio and video stages.  A Bink 2 packet has no stored form, so one that
// does not rewrite bit for bit refuses the file, naming the frame and the
// first bit that differs.
Status packBink2Frames(const BinkFile& file, const BinkContext& context, DevStreamParts& parts, PackResult& r,
                       const Progress& progress) {
    const StageEncoders stages(kStageTable, true, context);
    const uint32_t stageCount = stages.count();
    parts.chunks.resize(file.frameCount);
    std::unique_ptr<FrameView> view;  // the parser's, kept for every packet of the file
    for (uint32_t j = 0; j < file.frameCount; ++j) {
        progress.report(static_cast<uint32_t>(uint64_t(j) * 500 / file.frameCount));
        const std::string where = "frame " + std::to_string(j);
        PackFrame frame;
        frame.index = j;
        frame.audio = file.audio[j];
        frame.video = file.video[j];
        if (const Status coded = bink2PacketValues(context, frame, &view); !coded.ok()) return where + ": " + coded.reason();
        setAudioStream(frame);
        ++r.coded;
        auto& chunks = parts.chunks[j];
        chunks.resize(stageCount);
        for (uint32_t s = 0; s < stageCount; ++s) {
            if (const Status coded = stages.encoders[s]->encode(frame, chunks[s]); !coded.ok())
                return where + ", stage " + std::to_string(s) + ": " + coded.reason();
        }
        for (int n = 1; n <= kStreamCount; ++n)
            parts.streamBytes[n] = std::max(parts.streamBytes[n], static_cast<uint32_t>(frame.streams[n].size()));
    }
    return {};
}

}  // namespace

PackResult packBink(std::span<const uint8_t> bink, ProgressCallback progressCallback, void* progressUser,
                    const PackOptions& packing) {
    Progress progress{progressCallback, progressUser};
    BinkFile file;
    if (Status read = readBinkFile(bink, file); !read.ok()) return failure(std::move(read));
    if (!videoFlagsSupported(file.isBink2, file.videoFlags)) {
        const uint32_t rejected = file.videoFlags & (file.isBink2 ? kBink2RejectedFlags : kBink1RejectedFlags);
        return failure("video flags " + hex8(file.videoFlags) + " are not supported by the DEV format (bits " +
                       hex8(rejected) + ")");
    }
    if (videoFlagsExtended(file.isBink2, file.videoFlags) && !packing.extended) {
        return failure("video flags " + hex8(file.videoFlags) + " set bit " + hex8(BinkVideoFlag::kBink2Extended) +
                       ", which only the extension of the DEV format carries (pack with --extended); "
                       "other unpackers of the format refuse such a stream");
    }

    PackContext pc(file);
    const BinkContext& context = pc.context;
    // The unpacker builds every frame in a buffer sized from the header's
    // largest frame size; a frame that does not fit cannot be restored.
    for (uint32_t j = 0; j < file.frameCount; ++j) {
        const uint64_t size =
            uint64_t(BinkFrameIndex::offsetOf(file.frameIndex[j + 1])) - BinkFrameIndex::offsetOf(file.frameIndex[j]);
        if (size > context.frameBufferSize)
            return failure("frame " + std::to_string(j) + " (" + std::to_string(size) +
                           " bytes) is larger than the header's largest frame size allows (" +
                           std::to_string(context.frameBufferSize) + " bytes)");
    }

    PackResult r;
    r.frames = file.frameCount;
    DevStreamParts parts;
    parts.headerChunk = encodeHeaderChunk(file);
    parts.stageCount = static_cast<uint32_t>(kStageTable.stageCount(file.isBink2));
    r.status = file.isBink2 ? packBink2Frames(file, context, parts, r, progress)
                            : packBink1Frames(file, context, parts, r, progress);
    if (!r.status.ok()) return r;

    std::vector<uint8_t> dev = writeDevStream(parts);
    if (dev.empty()) return failure("the chunks cannot be framed as a DEV stream (too many or too large)");

    // The proof: unpack what was packed and compare.
    CompareSink check(bink);
    MemorySource source(dev.data(), dev.size());
    RunOptions options;
    options.failureReport = FailureReport::None;  // a failure is this function's result
    if (progressCallback) {
        options.progress = Progress::secondHalf;
        options.progressUser = &progress;
    }
    const int32_t result = Unpacker::run(kStageTable, check, source, options);
    if (result != kResultOk)
        return failure("the DEV stream does not unpack (result " + std::to_string(result) + ")");
    if (check.mismatch() != CompareSink::kNone)
        return failure("the unpacked file differs from the input at byte " + std::to_string(check.mismatch()));

    r.dev = std::move(dev);
    return r;
}

}  // namespace dev
