#include "tools/stream_layout.h"

#include <cstring>

#include "core/byte_io.h"
#include "driver/header_decoder.h"
#include "writers/bink_container.h"
#include "driver/unpacker.h"
#include "stages/stage_table.h"

namespace dev {

namespace {

class CaptureSink : public ByteSink {
public:
    bool write(const void* buffer, size_t size) override {
        const auto* p = static_cast<const uint8_t*>(buffer);
        data.insert(data.end(), p, p + size);
        return true;
    }
    std::vector<uint8_t> data;
};

void summarise(const BinkContext& c, const std::vector<uint8_t>& restored, BinkSummary& s) {
    s.isBink2 = c.isBink2;
    std::memcpy(s.signature, c.isBink2 ? kBink2Signature : kBink1Signature, kSignatureLetters);
    s.signature[BinkHeader::kVersion] = static_cast<char>(c.version);
    s.headerLength = c.headerLength;
    s.frameCount = c.frameCount;
    s.largestFrameSize = c.largestFrameSize;
    s.width = c.width;
    s.height = c.height;
    s.videoFlags = c.videoFlags;
    s.extended = videoFlagsExtended(c.isBink2, c.videoFlags);
    s.hasAlpha = c.hasAlpha;
    s.grayscale = c.grayscale;
    s.planeCount = c.planeCount;
    s.sliceCount = c.sliceCount;
    for (uint32_t k = 0; k < c.sliceCount && k < kMaxSlices; ++k) s.sliceEnds[k] = c.sliceEnds[k];
    if (c.tracks) s.tracks.assign(c.tracks, c.tracks + c.audioTrackCount);
    if (c.keyframes)
        for (uint32_t k = 0; k < c.frameCount; ++k) s.keyframes += c.keyframes[k];
    s.tableBytes = static_cast<uint32_t>(restored.size());
    // The closing word of the frame index is where the last frame ends.
    if (restored.size() >= BinkFrameIndex::kWordBytes)
        s.fileBytes = BinkFrameIndex::offsetOf(loadLe32(restored.data() + restored.size() - BinkFrameIndex::kWordBytes));
}

}  // namespace

Status readDevLayout(std::span<const uint8_t> bytes, DevLayout& out) {
    out = DevLayout();
    const uint8_t* p = bytes.data();
    const size_t size = bytes.size();
    if (size < kDevPrefixSize || std::memcmp(p, kDevMagic, sizeof kDevMagic) != 0)
        return Status(size < kDevPrefixSize ? "too short for a DEV stream" : "not a DEV stream");
    out.capacityBlockBytes = p[4];
    const size_t sizeStart = kDevPrefixSize + out.capacityBlockBytes + 3;
    if (size < sizeStart) return Status("the stream ends in the capacity block");
    const uint8_t* l2 = p + kDevPrefixSize + out.capacityBlockBytes;
    out.sizeBlockBytes = loadLe24(l2);
    if (size - sizeStart < out.sizeBlockBytes) return Status("the stream ends in the size block");
    out.haveCapacities = decodeCapacities(p + kDevPrefixSize, out.capacityBlockBytes, out.capacities);
    if (!out.haveCapacities) return Status("the capacity block is damaged");

    SizeDecoder sizes;
    if (!sizes.start(p + sizeStart, out.sizeBlockBytes)) return Status("out of memory");
    size_t pos = sizeStart + out.sizeBlockBytes;
    out.headerChunkBytes = sizes.next(kHeaderSequence);
    if (out.headerChunkBytes < 0 || uint64_t(out.headerChunkBytes) > kMaxHeaderChunk)
        return Status("the header chunk length is out of range");
    if (size_t(out.headerChunkBytes) > size - pos) return Status("the stream ends in the header chunk");

    BinkContext context{};
    CaptureSink restored;
    const int32_t hr = decodeHeader(context, p + pos, size_t(out.headerChunkBytes), restored);
    if (hr >= 0 || hr == kResultFlags) {
        out.haveHeader = true;
        summarise(context, restored.data, out.bink);
    }
    releaseHeaderBuffers(context);
    if (hr == kResultFlags) return Status("the Bink header's video flags are not supported");
    if (hr < 0) return Status("the header chunk is damaged");
    pos += size_t(out.headerChunkBytes);

    // Chunk lengths as the driver reads them: cycle 0 carries frame 0, and
    // the end mark belongs in the cycle after the last frame.
    out.stageCount = kStageTable.stageCount(out.bink.isBink2);
    const uint32_t frames = out.bink.frameCount;
    for (uint32_t cycle = 0; cycle <= frames && !out.endSeen; ++cycle) {
        std::vector<int32_t>& lengths = out.cycles.emplace_back();
        for (int s = 0; s < out.stageCount; ++s) {
            const int32_t length = sizes.next(s);
            lengths.push_back(length);
            if (length == kEndMark) {
                out.endSeen = true;
                break;
            }
            const std::string where = "cycle " + std::to_string(cycle) + ", stage " + std::to_string(s);
            if (length < 0 || uint32_t(length) > out.capacities.stage[s])
                return Status(where + ": chunk length " + std::to_string(length) + " out of range");
            if (size_t(length) > size - pos) return Status(where + ": the stream ends inside the chunk");
            pos += size_t(length);
            out.chunkBytes += uint32_t(length);
        }
        if (out.endSeen && cycle < frames)
            return Status("the chunks end in cycle " + std::to_string(cycle) + ", but the header has " +
                              std::to_string(frames) + " frames");
    }
    if (!out.endSeen) out.warning = "no end mark after the last frame's chunks";
    out.streamBytes = pos;
    return {};
}

Status readRecordLayout(std::span<const uint8_t> bytes, RecordLayout& out) {
    out = RecordLayout();
    const uint64_t size = bytes.size();
    if (size < sizeof kRecordMagic || std::memcmp(bytes.data(), kRecordMagic, sizeof kRecordMagic) != 0) {
        return "not a record stream";
    }
    uint64_t pos = sizeof kRecordMagic;
    for (;;) {
        const std::string where = "record " + std::to_string(out.records.size()) + ": ";
        if (pos >= size) {
            return where + "the stream ends before its end record";
        }
        RecordEntry& e = out.records.emplace_back();
        e.offset = pos;
        e.kind = recordKind(bytes[pos]);
        switch (e.kind) {
            case kRecordFull:
            case kRecordShort: {
                pos += 1;
                if (e.kind == kRecordFull) {
                    e.storedBytes = kFullBlockSize;
                } else {
                    if (size - pos < uint64_t(kShortLengthBytes)) {
                        return where + "the stream ends in a block length";
                    }
                    e.storedBytes = shortBlockLength(bytes.data() + pos - 1);
                    pos += kShortLengthBytes;
                }
                if (size - pos < e.storedBytes) {
                    return where + "a stored block of " + std::to_string(e.storedBytes) + " bytes is cut short (" +
                            std::to_string(size - pos) + " bytes left)";
                }
                pos += e.storedBytes;
                out.outputBytes += e.storedBytes;
                break;
            }
            case kRecordCoded: {
                pos += 1;
                if (const Status dev = readDevLayout(bytes.subspan(pos), e.dev); !dev.ok()) return where + dev.reason();
                // The plug-in reads the next tag where the driver stopped: a
                // stream the driver does not read to its end mark puts the
                // next record out of step.
                if (!e.dev.warning.empty()) {
                    return where + e.dev.warning;
                }
                pos += e.dev.streamBytes;
                out.outputBytes += e.dev.bink.fileBytes;
                break;
            }
            case kRecordEnd:
                out.streamBytes = pos + 1;
                return {};
        }
    }
}

}  // namespace dev
