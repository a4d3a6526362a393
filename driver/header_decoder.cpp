#include "driver/header_decoder.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#include "core/coder.h"
#include "driver/header_grammar.h"
#include "platform/platform.h"
#include "writers/bink2/geometry.h"

namespace dev {

namespace {

// Walks the header chunk on the decoding side: writes the header, the track
// table and the frame index to the output and fills the context.  Counts
// the chunk cannot hold (see headerDecisionBudget) are refused.
class DecodeIo {
public:
    DecodeIo(BinkContext& context, ByteSink& output, size_t chunkLength)
        : context_(context), output_(output), budget_(headerDecisionBudget(chunkLength)) {
        writer_ = ValueWriter(headerBytes_, sizeof headerBytes_);
    }
    ~DecodeIo() { platform::heapFree(scratch_); }

    ValueWriter& stream() { return writer_; }

    bool spend(uint64_t decisions) {
        if (decisions > budget_) return false;
        budget_ -= decisions;
        return true;
    }

    int32_t header(const uint8_t* bytes, uint32_t length) {
        // The 44 bytes and the extra Bink 2 word go out as two writes, and
        // before the flag check: a rejected file still shows its header.
        if (!output_.write(bytes, BinkHeader::kBaseLength)) return -1;
        if (length > BinkHeader::kBaseLength &&
            !output_.write(bytes + BinkHeader::kBaseLength, length - BinkHeader::kBaseLength))
            return -1;
        written_ = length;

        BinkContext& c = context_;
        setHeaderFields(c, bytes, length);
        if (!videoFlagsSupported(c.isBink2, c.videoFlags)) return -4;

        // Nothing is sized from counts the chunk cannot hold.
        const uint64_t words = uint64_t(c.frameCount) + 1;
        const uint64_t decisions = uint64_t(c.audioTrackCount) * kTrackDecisions + words * kIndexWordDecisions;
        if (decisions > budget_) return -1;
        const uint64_t total = binkLayout(length, c.audioTrackCount, c.frameCount).frames;
        if (total > 0x7FFFFFFFu) return -1;  // the byte count must fit the result
        return 0;
    }

    // What the second part of the walk fills, sized from the header: the
    // keyframe flags and track records of the context, and the bytes of the
    // track table and the frame index, each written with one write.
    bool sizeTables() {
        BinkContext& c = context_;
        const uint64_t words = uint64_t(c.frameCount) + 1;
        c.keyframes = static_cast<uint32_t*>(platform::heapAlloc(words * sizeof(uint32_t)));
        c.frameStarts = static_cast<uint32_t*>(platform::heapAlloc(words * sizeof(uint32_t)));
        if (!c.keyframes || !c.frameStarts) return false;
        if (c.audioTrackCount) {
            c.tracks = static_cast<AudioTrackInfo*>(platform::heapAlloc(c.audioTrackCount * sizeof(AudioTrackInfo)));
            if (!c.tracks) return false;
            for (uint32_t i = 0; i < c.audioTrackCount; ++i) new (&c.tracks[i]) AudioTrackInfo();
        }
        scratchSize_ = static_cast<size_t>(
            std::max(uint64_t(c.audioTrackCount) * BinkTrackTable::kBytesPerTrack, BinkFrameIndex::bytes(c.frameCount)));
        scratch_ = static_cast<uint8_t*>(platform::heapAlloc(scratchSize_));
        if (!scratch_) return false;
        writer_ = ValueWriter(scratch_, scratchSize_);
        return true;
    }

    int32_t track(uint32_t i, uint32_t sampleRate, uint32_t flags) {
        setTrackFields(context_, context_.tracks[i], sampleRate, flags);
        return 0;
    }

    int32_t tracksDone() { return flush(); }

    int32_t indexWord(uint32_t k, uint32_t word) {
        context_.keyframes[k] = BinkFrameIndex::keyframeOf(word);
        context_.frameStarts[k] = BinkFrameIndex::offsetOf(word);
        return 0;
    }

    int32_t indexDone() { return flush(); }

    uint64_t written() const { return written_; }

private:
    // Writes what the walk emitted since the last flush, as one write.
    int32_t flush() {
        if (writer_.overflow) return -1;
        const size_t n = writer_.size();
        if (n && !output_.write(scratch_, n)) return -1;
        written_ += n;
        writer_ = ValueWriter(scratch_, scratchSize_);
        return 0;
    }

    BinkContext& context_;
    ByteSink& output_;
    uint64_t budget_;
    ValueWriter writer_;
    uint8_t headerBytes_[BinkHeader::kLongLength];
    uint8_t* scratch_ = nullptr;
    size_t scratchSize_ = 0;
    uint64_t written_ = 0;
};

}  // namespace

bool videoFlagsSupported(bool isBink2, uint32_t flags) {
    return (flags & (isBink2 ? kBink2RejectedFlags : kBink1RejectedFlags)) == 0;
}

void setHeaderFields(BinkContext& c, const uint8_t* header, uint32_t headerLength) {
    c.isBink2 = isBink2Signature(header) ? 1 : 0;
    const BinkHeaderFields h = readBinkHeader(header);
    c.version = header[BinkHeader::kVersion];
    c.headerLength = headerLength;
    c.fileSize = h.fileSize;
    c.frameCount = h.frameCount;
    c.largestFrameSize = h.largestFrame;
    c.width = h.width;
    c.height = h.height;
    c.videoFlags = h.videoFlags;
    c.audioTrackCount = h.trackCount;
    c.noDctTrack = 0;
    c.hasAlpha = (c.videoFlags & BinkVideoFlag::kAlpha) ? 1 : 0;
    c.grayscale = (c.videoFlags & BinkVideoFlag::kGrayscale) ? 1 : 0;
    c.planeCount = c.hasAlpha + (c.grayscale ? 1u : 3u);
    c.frameBufferSize = static_cast<size_t>((uint64_t(c.largestFrameSize) + 512) & ~uint64_t(511));
    c.sliceCount = 0;
    std::fill(std::begin(c.sliceEnds), std::end(c.sliceEnds), 0u);
    c.rowFlagCount = c.columnFlagCount = c.rowBufferEntries = 0;
    if (c.isBink2) bink2::setGeometry(c);
}

void setTrackFields(BinkContext& c, AudioTrackInfo& track, uint32_t sampleRate, uint32_t flags) {
    track.sampleRate = sampleRate;
    track.stereo = (flags & BinkTrackFlag::kStereo) ? 1 : 0;
    track.dct = (flags & BinkTrackFlag::kDct) ? 1 : 0;
    if (!track.dct) c.noDctTrack = 1;
}

int32_t decodeHeader(BinkContext& context, const uint8_t* chunk, size_t length, ByteSink& output) {
    // The decoder starts from four bytes of code; a shorter chunk is corrupt.
    if (!chunk || length < 4) return -1;
    BitModel models[HeaderModels::kCount];
    resetModels(models, HeaderModels::kCount);
    DecodeCoder coder;
    coder.rd.init(chunk, length);
    DecodeIo io(context, output, length);
    uint8_t header[BinkHeader::kLongLength];
    int32_t r = codeHeaderBytes(coder, models, io, header);
    if (r < 0) return r;
    if (!io.sizeTables()) return -1;
    r = codeHeaderTables(coder, models, io, header);
    if (r < 0) return r;
    return static_cast<int32_t>(io.written());
}

void releaseHeaderBuffers(BinkContext& c) {
    platform::heapFree(c.keyframes);
    c.keyframes = nullptr;
    platform::heapFree(c.frameStarts);
    c.frameStarts = nullptr;
    platform::heapFree(c.tracks);
    c.tracks = nullptr;
}

}  // namespace dev
