// dev_inspect: shows what a DEV stream or a Bink file holds.
//
//   dev_inspect FILE             DEV stream: prefix, the 42 capacities, the
//                                Bink header it restores and every chunk
//                                length, cycle by cycle and stage by stage.
//                                Bink file: header, audio tracks and a summary
//                                of the frame index.
//   dev_inspect --streams DEV DIR
//                                unpacks DEV (output discarded) and writes, for
//                                every sub-stream N that carries data, the
//                                bytes of all frames as DIR/sNN.bin, and one
//                                row "frame<TAB>N<TAB>length" per frame and
//                                sub-stream to DIR/lengths.tsv.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/dev_format.h"
#include "core/header_decoder.h"
#include "core/header_grammar.h"
#include "core/pipeline.h"
#include "core/unpacker.h"
#include "pack/bink_file.h"
#include "pack/whole_file.h"

namespace {

using namespace dev;

int fail(const std::string& message) {
    std::fprintf(stderr, "dev_inspect: %s\n", message.c_str());
    return 1;
}

std::string signatureText(const uint8_t* p) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += (p[i] >= 32 && p[i] < 127) ? char(p[i]) : '?';
    return s;
}

// Discards the output of a run.
class NullSink : public ByteSink {
public:
    bool write(const void*, size_t) override { return true; }
};

class CaptureSink : public ByteSink {
public:
    bool write(const void* buffer, size_t size) override {
        const auto* p = static_cast<const uint8_t*>(buffer);
        data.insert(data.end(), p, p + size);
        return true;
    }
    std::vector<uint8_t> data;
};

int stageCountOf(bool isBink2) {
    int n = 0;
    for (int r = 0; r < kStageSlots; ++r)
        if (kStageTable.rows[kStageSlots * (isBink2 ? 1 : 0) + r].outputs[0]) ++n;
    return n;
}

void printHeaderFields(const BinkContext& c) {
    std::printf("header: %s%c (%u bytes)\n", c.isBink2 ? "KB2" : "BIK", c.version, c.headerLength);
    std::printf("  frames %u, largest frame %u bytes, %ux%u, video flags 0x%08x\n", c.frameCount, c.largestFrameSize,
                c.width, c.height, c.videoFlags);
    std::printf("  alpha %u, grayscale %u, planes %u\n", c.hasAlpha, c.grayscale, c.planeCount);
    if (c.isBink2) {
        std::printf("  slices %u, ending at", c.sliceCount);
        for (uint32_t k = 0; k < c.sliceCount; ++k) std::printf(" %u", c.sliceEnds[k]);
        std::printf("\n");
    }
}

// ---- DEV streams ----

int inspectDev(const std::vector<uint8_t>& bytes) {
    const uint8_t* p = bytes.data();
    const size_t size = bytes.size();
    if (size < kDevPrefixSize) return fail("too short for a DEV stream");
    const size_t l1 = p[4];
    std::printf("DEV stream, %zu bytes\n", size);
    if (size < kDevPrefixSize + l1 + 3) return fail("truncated in the capacity block");
    const uint8_t* capacityBlock = p + kDevPrefixSize;
    const size_t l2 = p[5 + l1] | (size_t(p[6 + l1]) << 8) | (size_t(p[7 + l1]) << 16);
    const size_t sizeStart = 8 + l1;
    std::printf("capacity block %zu bytes, size block %zu bytes\n", l1, l2);
    if (size < sizeStart + l2) return fail("truncated in the size block");

    Capacities caps;
    if (!decodeCapacities(capacityBlock, l1, caps)) return fail("the capacity block is corrupt");
    std::printf("stage input capacities (bytes):");
    for (int s = 0; s < kStageSlots; ++s) std::printf(" %u", caps.stage[s]);
    std::printf("\nsub-stream capacities (bytes, 1..21):");
    for (int n = 0; n < kStreamCount; ++n) std::printf(" %u", caps.stream[n]);
    std::printf("\n");

    SizeDecoder sizes;
    if (!sizes.start(p + sizeStart, l2)) return fail("out of memory");
    size_t pos = sizeStart + l2;
    const int32_t headerLength = sizes.next(kHeaderSequence);
    std::printf("header chunk %d bytes\n", headerLength);
    if (headerLength < 0 || size_t(headerLength) > size - pos) return fail("the header chunk length is out of range");

    BinkContext context{};
    CaptureSink headerOut;
    const int32_t hr = decodeHeader(context, p + pos, size_t(headerLength), headerOut);
    pos += size_t(headerLength);
    if (hr == kResultFlags) {
        printHeaderFields(context);
        releaseHeaderBuffers(context);
        return fail("the header's video flags are rejected (-4)");
    }
    if (hr < 0) {
        releaseHeaderBuffers(context);
        return fail("the header chunk is corrupt");
    }
    printHeaderFields(context);
    for (uint32_t t = 0; t < context.audioTrackCount; ++t)
        std::printf("  track %u: %u Hz, %s, %s\n", t, context.tracks[t].sampleRate,
                    context.tracks[t].stereo ? "stereo" : "mono", context.tracks[t].dct ? "DCT" : "raw");
    uint32_t keyframes = 0;
    for (uint32_t k = 0; k < context.frameCount; ++k) keyframes += context.keyframes[k];
    std::printf("  keyframes %u of %u; header, tracks and index restore to %d bytes\n", keyframes, context.frameCount,
                hr);
    const bool isBink2 = context.isBink2;
    const uint32_t frameCount = context.frameCount;
    releaseHeaderBuffers(context);

    // Chunk lengths: cycle after cycle, one per stage, up to the end mark.
    const int stages = stageCountOf(isBink2);
    std::vector<uint64_t> totals(stages, 0);
    std::vector<uint32_t> largest(stages, 0);
    std::printf("chunk lengths per cycle, stages 0..%d:\n", stages - 1);
    uint32_t cycle = 0;
    bool end = false;
    while (!end) {
        std::string line = "  cycle " + std::to_string(cycle) + ":";
        for (int s = 0; s < stages; ++s) {
            const int32_t length = sizes.next(s);
            if (length == kEndMark) {
                line += " end";
                end = true;
                break;
            }
            if (length < 0 || uint32_t(length) > caps.stage[s] || size_t(length) > size - pos) {
                std::printf("%s %d\n", line.c_str(), length);
                return fail("stage " + std::to_string(s) + " of cycle " + std::to_string(cycle) +
                            ": chunk length out of range");
            }
            pos += size_t(length);
            totals[s] += uint32_t(length);
            largest[s] = std::max(largest[s], uint32_t(length));
            line += " " + std::to_string(length);
        }
        std::printf("%s\n", line.c_str());
        ++cycle;
        if (!end && cycle > frameCount) return fail("no end mark after the last frame");
    }
    for (int s = 0; s < stages; ++s)
        std::printf("stage %d: %" PRIu64 " bytes in all, largest chunk %u\n", s, totals[s], largest[s]);
    if (cycle - 1 != frameCount)
        std::printf("warning: end mark in cycle %u, the header has %u frames\n", cycle - 1, frameCount);
    if (pos != size) std::printf("warning: %zu bytes follow the last chunk\n", size - pos);
    return 0;
}

// ---- Bink files ----

int inspectBink(const std::vector<uint8_t>& bytes) {
    BinkFile file;
    std::string error;
    const bool ok = readBinkFile(bytes, file, error);
    if (bytes.size() >= BinkHeader::kBaseLength) {
        const uint8_t* p = bytes.data();
        std::printf("Bink file %s, %zu bytes, header %u bytes\n", signatureText(p).c_str(), bytes.size(),
                    binkHeaderLength(p));
        std::printf("  frames %u, largest frame %u bytes, %ux%u, video flags 0x%08x, audio tracks %u\n",
                    readLe32(p + BinkHeader::kFrameCount), readLe32(p + BinkHeader::kLargestFrame),
                    readLe32(p + BinkHeader::kWidth), readLe32(p + BinkHeader::kHeight),
                    readLe32(p + BinkHeader::kVideoFlags), readLe32(p + BinkHeader::kTrackCount));
        std::printf("  frame rate %u/%u\n", readLe32(p + 28), readLe32(p + 32));
    }
    if (!ok) return fail(error);
    if (!videoFlagsSupported(file.isBink2, file.videoFlags)) std::printf("  the DEV format rejects these video flags\n");
    for (size_t t = 0; t < file.tracks.size(); ++t) {
        const auto& tr = file.tracks[t];
        std::printf("  track %zu: word %u, %u Hz, flags 0x%04x, id %u\n", t, tr.word, tr.sampleRate, tr.flags, tr.id);
    }
    uint32_t keyframes = 0;
    uint64_t smallest = UINT64_MAX, biggest = 0, total = 0, audio = 0;
    for (uint32_t j = 0; j < file.frameCount; ++j) {
        keyframes += file.frameIndex[j] & 1;
        const uint64_t n = (file.frameIndex[j + 1] & ~1u) - (file.frameIndex[j] & ~1u);
        smallest = std::min(smallest, n);
        biggest = std::max(biggest, n);
        total += n;
        for (const auto& a : file.audio[j]) audio += 4 + a.size();
    }
    std::printf("frame index: %u words, first frame at 0x%x, keyframes %u\n", uint32_t(file.frameIndex.size()),
                file.frameIndex[0] & ~1u, keyframes);
    if (file.frameCount)
        std::printf("  frame sizes: smallest %" PRIu64 ", largest %" PRIu64 ", mean %" PRIu64 "; audio %" PRIu64
                    " bytes, video %" PRIu64 " bytes\n",
                    smallest, biggest, total / file.frameCount, audio, total - audio);
    for (uint32_t j = 0; j < std::min<uint32_t>(file.frameCount, 8); ++j)
        std::printf("  frame %u: offset 0x%x%s, %zu bytes video\n", j, file.frameIndex[j] & ~1u,
                    (file.frameIndex[j] & 1) ? " key" : "", file.video[j].size());
    if (file.frameCount > 8) std::printf("  ...\n");
    return 0;
}

// ---- Sub-stream dump ----

class StreamDump : public StreamObserver {
public:
    explicit StreamDump(const std::filesystem::path& dir) : dir_(dir), lengths_(dir / "lengths.tsv") {}

    bool onFrame(const BinkContext& context, uint32_t frame) override {
        for (int n = 1; n <= kStreamCount; ++n) {
            const StreamBuffer& sb = context.streams[n - 1];
            if (!sb.capacity) continue;
            const ValueReader r = sb.frontReader();
            const size_t length = r.remaining();
            lengths_ << frame << '\t' << n << '\t' << length << '\n';
            if (!length) continue;
            if (!files_[n]) {
                char name[16];
                std::snprintf(name, sizeof name, "s%02d.bin", n);
                files_[n] = std::make_unique<std::ofstream>(dir_ / name, std::ios::binary | std::ios::trunc);
            }
            files_[n]->write(reinterpret_cast<const char*>(r.p), static_cast<std::streamsize>(length));
        }
        return true;
    }
    bool good() const {
        if (!lengths_) return false;
        for (const auto& f : files_)
            if (f && !*f) return false;
        return true;
    }

private:
    std::filesystem::path dir_;
    std::ofstream lengths_;
    std::unique_ptr<std::ofstream> files_[kStreamCount + 1];
};

int dumpStreams(const char* devPath, const char* dirPath) {
    std::vector<uint8_t> bytes;
    if (!readWholeFile(devPath, bytes)) return fail(std::string("cannot read ") + devPath);
    std::error_code ec;
    std::filesystem::create_directories(dirPath, ec);
    if (!std::filesystem::is_directory(dirPath)) return fail(std::string("cannot create ") + dirPath);
    StreamDump dump(dirPath);
    if (!dump.good()) return fail(std::string("cannot write in ") + dirPath);
    NullSink sink;
    MemorySource source(bytes.data(), bytes.size());
    RunOptions options;
    options.observer = &dump;
    const int32_t r = Unpacker::run(kStageTable, sink, source, options);
    if (!dump.good()) return fail(std::string("cannot write in ") + dirPath);
    if (r != kResultOk) return fail("the DEV stream does not unpack (result " + std::to_string(r) + ")");
    return 0;
}

int inspectFile(const char* path) {
    std::vector<uint8_t> bytes;
    if (!readWholeFile(path, bytes)) return fail(std::string("cannot read ") + path);
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), kDevMagic, 4) == 0) return inspectDev(bytes);
    if (bytes.size() >= 3 && (std::memcmp(bytes.data(), "BIK", 3) == 0 || std::memcmp(bytes.data(), "KB2", 3) == 0))
        return inspectBink(bytes);
    return fail(std::string(path) + " is neither a DEV stream nor a Bink file");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && argv[1][0] != '-') return inspectFile(argv[1]);
    if (argc == 4 && std::strcmp(argv[1], "--streams") == 0) return dumpStreams(argv[2], argv[3]);
    std::fputs("Usage: dev_inspect FILE\n       dev_inspect --streams DEV_FILE DIR\n", stderr);
    return 1;
}
