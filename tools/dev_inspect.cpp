// dev_inspect: shows what a DEV stream, a plug-in record stream or a Bink file
// holds.
//
//   dev_inspect FILE             DEV stream: prefix, the 42 capacities, the
//                                Bink header it restores and every chunk
//                                length, cycle by cycle and stage by stage.
//                                Record stream: every record.  Bink file:
//                                header, audio tracks and a summary of the
//                                frame index.
//   dev_inspect --streams [--force] DEV DIR
//                                unpacks DEV (output discarded) and writes, for
//                                every sub-stream N that carries data, the
//                                bytes of all frames as DIR/sNN.bin, and one
//                                row "frame<TAB>N<TAB>length" per frame and
//                                sub-stream to DIR/lengths.tsv, naming each
//                                file in DIR/dev_inspect.manifest.  DIR must
//                                hold nothing but an earlier dump unless
//                                --force is given; the files an earlier
//                                manifest names are removed first, no others.
//
// Exit status: 0 sound, 1 unreadable or damaged (framing, record or Bink
// structure), 2 sound but with a defect decoders pass over (bytes after the
// stream, an end mark after its place).  Chunks are not decoded: dev_pack -t
// does that.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <cctype>
#include <string>
#include <vector>

#include "driver/dev_format.h"
#include "driver/header_decoder.h"
#include "writers/bink_container.h"
#include "driver/unpacker.h"
#include "pack/bink_file.h"
#include "platform/names.h"
#include "platform/platform.h"
#include "stages/stage_table.h"
#include "tools/cli_files.h"
#include "tools/record_failure_text.h"
#include "tools/stream_layout.h"

namespace {

using namespace dev;

// Exit statuses: 0 sound, 1 a failure (input unreadable or damaged, or an
// output that cannot be written), 2 sound but with a defect that decoders
// pass over.
constexpr int kSound = 0, kFailed = 1, kWarning = 2;

int fail(const std::string& message) {
    const std::string line = "dev_inspect: " + message + "\n";
    platform::errorWrite(line.data(), line.size());
    return kFailed;
}

std::string signatureText(const uint8_t* p) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += (p[i] >= 32 && p[i] < 127) ? char(p[i]) : '?';
    return s;
}

// ---- DEV streams ----

void printBinkSummary(const BinkSummary& b) {
    std::printf("header: %s (%u bytes)\n", b.signature, b.headerLength);
    std::printf("  frames %u, largest frame %u bytes, %ux%u, video flags 0x%08x\n", b.frameCount, b.largestFrameSize,
                b.width, b.height, b.videoFlags);
    if (b.extended)
        std::printf("  extended: video flag 0x%08x, which unpackers before the extension refuse\n",
                    BinkVideoFlag::kBink2Extended);
    std::printf("  alpha %u, grayscale %u, planes %u\n", b.hasAlpha, b.grayscale, b.planeCount);
    if (b.isBink2) {
        std::printf("  slices %u, ending at", b.sliceCount);
        for (uint32_t k = 0; k < b.sliceCount && k < kMaxSlices; ++k) std::printf(" %u", b.sliceEnds[k]);
        std::printf("\n");
    }
}

int inspectDev(const std::string& name, const std::vector<uint8_t>& bytes) {
    DevLayout d;
    const Status sound = readDevLayout(bytes, d);
    std::printf("DEV stream, %zu bytes\n", bytes.size());
    if (d.capacityBlockBytes || d.sizeBlockBytes)
        std::printf("capacity block %zu bytes, size block %zu bytes\n", d.capacityBlockBytes, d.sizeBlockBytes);
    if (d.haveCapacities) {
        std::printf("stage input capacities (bytes):");
        for (int s = 0; s < kStageSlots; ++s) std::printf(" %u", d.capacities.stage[s]);
        std::printf("\nsub-stream capacities (bytes, 1..21):");
        for (int n = 1; n <= kStreamCount; ++n) std::printf(" %u", d.capacities.stream[n]);
        std::printf("\n");
    }
    if (d.headerChunkBytes >= 0) std::printf("header chunk %d bytes\n", d.headerChunkBytes);
    if (d.haveHeader) {
        const BinkSummary& b = d.bink;
        printBinkSummary(b);
        for (size_t t = 0; t < b.tracks.size(); ++t)
            std::printf("  track %zu: %u Hz, %s, %s\n", t, b.tracks[t].sampleRate, b.tracks[t].stereo ? "stereo" : "mono",
                        b.tracks[t].dct ? "DCT" : "raw");
        std::printf("  keyframes %u of %u; header, tracks and index restore to %u bytes, the file to %" PRIu64 "\n",
                    b.keyframes, b.frameCount, b.tableBytes, b.fileBytes);
    }
    if (!d.cycles.empty()) {
        std::printf("chunk lengths per cycle, stages 0..%d:\n", d.stageCount - 1);
        std::vector<uint64_t> totals(d.stageCount, 0);
        std::vector<int32_t> largest(d.stageCount, 0);
        for (size_t c = 0; c < d.cycles.size(); ++c) {
            std::printf("  cycle %zu:", c);
            for (size_t s = 0; s < d.cycles[c].size(); ++s) {
                const int32_t length = d.cycles[c][s];
                if (length == kEndMark) {
                    std::printf(" end");
                    continue;
                }
                std::printf(" %d", length);
                if (length > 0) {
                    totals[s] += uint32_t(length);
                    largest[s] = std::max(largest[s], length);
                }
            }
            std::printf("\n");
        }
        if (sound.ok())
            for (int s = 0; s < d.stageCount; ++s)
                std::printf("stage %d: %" PRIu64 " bytes in all, largest chunk %d\n", s, totals[s], largest[s]);
    }
    if (!sound.ok()) return fail(name + ": damaged: " + sound.reason());
    int status = kSound;
    if (!d.warning.empty()) {
        std::printf("warning: %s\n", d.warning.c_str());
        status = kWarning;
    }
    if (d.streamBytes != bytes.size()) {
        std::printf("warning: %" PRIu64 " bytes follow the last chunk\n", bytes.size() - d.streamBytes);
        status = kWarning;
    }
    std::printf("chunks not decoded here: dev_pack -t decodes and checks them\n");
    return status;
}

// ---- Record streams ----

int inspectRecords(const std::string& name, const std::vector<uint8_t>& bytes) {
    RecordLayout r;
    const Status sound = readRecordLayout(bytes, r);
    std::printf("record stream, %zu bytes\n", bytes.size());
    for (size_t i = 0; i < r.records.size(); ++i) {
        const RecordEntry& e = r.records[i];
        std::printf("  record %zu at %" PRIu64 ": ", i, e.offset);
        switch (e.kind) {
            case kRecordFull:
            case kRecordShort:
                std::printf("stored, %" PRIu64 " bytes\n", e.storedBytes);
                break;
            case kRecordCoded:
                if (e.dev.haveHeader)
                    std::printf("coded, DEV stream of %" PRIu64 " bytes: %s %ux%u, %u frames, restores to %" PRIu64
                                " bytes\n",
                                e.dev.streamBytes, e.dev.bink.signature, e.dev.bink.width, e.dev.bink.height,
                                e.dev.bink.frameCount, e.dev.bink.fileBytes);
                else
                    std::printf("coded\n");
                break;
            case kRecordEnd:
                std::printf("end\n");
                break;
        }
    }
    if (!sound.ok()) return fail(name + ": damaged: " + sound.reason());
    std::printf("output %" PRIu64 " bytes\n", r.outputBytes);
    if (r.streamBytes != bytes.size()) {
        std::printf("warning: %" PRIu64 " bytes follow the end record\n", bytes.size() - r.streamBytes);
        return kWarning;
    }
    return kSound;
}

// ---- Bink files ----

int inspectBink(const std::string& name, const std::vector<uint8_t>& bytes) {
    BinkFile file;
    const Status read = readBinkFile(bytes, file);
    if (bytes.size() >= BinkHeader::kBaseLength) {
        const uint8_t* p = bytes.data();
        std::printf("Bink file %s, %zu bytes, header %u bytes\n", signatureText(p).c_str(), bytes.size(),
                    binkHeaderLength(p));
        const BinkHeaderFields h = readBinkHeader(p);
        std::printf("  frames %u, largest frame %u bytes, %ux%u, video flags 0x%08x, audio tracks %u\n", h.frameCount,
                    h.largestFrame, h.width, h.height, h.videoFlags, h.trackCount);
        std::printf("  frame rate %u/%u\n", h.fpsNumerator, h.fpsDenominator);
    }
    if (!read.ok()) return fail(name + ": " + read.reason());
    if (!videoFlagsSupported(file.isBink2, file.videoFlags)) std::printf("  the DEV format rejects these video flags\n");
    else if (videoFlagsExtended(file.isBink2, file.videoFlags))
        std::printf("  video flag 0x%08x: packs only as the format's extension (dev_pack --extended)\n",
                    BinkVideoFlag::kBink2Extended);
    for (size_t t = 0; t < file.tracks.size(); ++t) {
        const auto& tr = file.tracks[t];
        std::printf("  track %zu: word %u, %u Hz, flags 0x%04x, id %u\n", t, tr.word, tr.sampleRate, tr.flags, tr.id);
    }
    uint32_t keyframes = 0;
    uint64_t smallest = UINT64_MAX, biggest = 0, total = 0, audio = 0;
    for (uint32_t j = 0; j < file.frameCount; ++j) {
        keyframes += BinkFrameIndex::keyframeOf(file.frameIndex[j]);
        const uint64_t n = BinkFrameIndex::offsetOf(file.frameIndex[j + 1]) - BinkFrameIndex::offsetOf(file.frameIndex[j]);
        smallest = std::min(smallest, n);
        biggest = std::max(biggest, n);
        total += n;
        for (const auto& a : file.audio[j]) audio += kAudioPacketSizeBytes + a.size();
    }
    std::printf("frame index: %u words, first frame at 0x%x, keyframes %u\n", uint32_t(file.frameIndex.size()),
                BinkFrameIndex::offsetOf(file.frameIndex[0]), keyframes);
    if (file.frameCount)
        std::printf("  frame sizes: smallest %" PRIu64 ", largest %" PRIu64 ", mean %" PRIu64 "; audio %" PRIu64
                    " bytes, video %" PRIu64 " bytes\n",
                    smallest, biggest, total / file.frameCount, audio, total - audio);
    for (uint32_t j = 0; j < std::min<uint32_t>(file.frameCount, 8); ++j)
        std::printf("  frame %u: offset 0x%x%s, %zu bytes video\n", j, BinkFrameIndex::offsetOf(file.frameIndex[j]),
                    BinkFrameIndex::keyframeOf(file.frameIndex[j]) ? " key" : "", file.video[j].size());
    if (file.frameCount > 8) std::printf("  ...\n");
    return 0;
}

// ---- Sub-stream dump ----
//
// A dump removes only what it can prove an earlier dump wrote: every file it
// creates is first named in the folder's manifest (kManifest), written and
// flushed before the file itself, so even an interrupted dump is known.  The
// next dump into the folder removes the files its manifest names (regular
// files only, never the input) and nothing else; a file it would write that
// someone else's file already holds is an error, never overwritten.

constexpr char kManifest[] = "dev_inspect.manifest";
constexpr char kManifestHead[] = "dev_inspect dump: the files below were written by it\n";

std::string systemReason() {
    char text[256];
    platform::lastErrorText(text, sizeof text);
    return text;
}

class StreamDump : public StreamObserver {
public:
    StreamDump(const std::filesystem::path& dir, platform::File* manifest) : dir_(dir), manifest_(manifest) {}
    // The name of a file of the dump, for messages and the platform layer.
    std::string nameIn(const char* name) const { return platform::nameOf(dir_ / name); }
    ~StreamDump() {
        for (platform::File* f : files_) platform::closeFile(f);
        platform::closeFile(lengths_);
        platform::closeFile(manifest_);
    }

    bool onFrame(const BinkContext&, const StreamArray<StreamBuffer>& streams, uint32_t frame) override {
        if (!lengths_ && !(lengths_ = create("lengths.tsv"))) return false;
        for (int n = 1; n <= kStreamCount; ++n) {
            const StreamBuffer& sb = streams[n];
            if (!sb.capacity) continue;
            const ValueReader r = sb.frontReader();
            const size_t length = r.remaining();
            char row[48];
            const int rowLength = std::snprintf(row, sizeof row, "%u\t%d\t%zu\n", frame, n, length);
            if (!put(lengths_, "lengths.tsv", row, size_t(rowLength))) return false;
            if (!length) continue;
            char name[24];
            std::snprintf(name, sizeof name, "s%02d.bin", n);
            if (!files_[n] && !(files_[n] = create(name))) return false;
            if (!put(files_[n], name, r.p, length)) return false;
        }
        return true;
    }
    // Flushes every file; the first failure's "FILE: reason", or empty.
    std::string finish() {
        for (int n = 1; n <= kStreamCount && problem_.empty(); ++n) {
            char name[24];
            std::snprintf(name, sizeof name, "s%02d.bin", n);
            if (files_[n] && !platform::flushFile(files_[n])) problem_ = nameIn(name) + ": " + systemReason();
        }
        if (problem_.empty() && lengths_ && !platform::flushFile(lengths_))
            problem_ = nameIn("lengths.tsv") + ": " + systemReason();
        return problem_;
    }

private:
    // A new file, named in the manifest before it exists.
    platform::File* create(const char* name) {
        const std::string line = std::string(name) + "\n";
        if (!platform::writeFile(manifest_, line.data(), line.size()) || !platform::flushFile(manifest_)) {
            problem_ = nameIn(kManifest) + ": " + systemReason();
            return nullptr;
        }
        const std::string path = nameIn(name);
        platform::File* f = platform::createNew(path.c_str());
        if (!f) problem_ = path + ": " + systemReason();
        return f;
    }
    bool put(platform::File* f, const char* name, const void* data, size_t size) {
        if (platform::writeFile(f, data, size)) return true;
        problem_ = nameIn(name) + ": " + systemReason();
        return false;
    }

    std::filesystem::path dir_;
    platform::File* manifest_;
    platform::File* lengths_ = nullptr;
    StreamArray<platform::File*> files_{};
    std::string problem_;
};

// The names an earlier dump's manifest lists: only names a dump writes, one
// to a line after the heading; empty when there is no manifest of ours.
bool readManifest(const std::filesystem::path& path, std::vector<std::string>& names) {
    cli::InputFile in;
    std::vector<uint8_t> bytes;
    if (!in.open(platform::nameOf(path)).ok() || !in.readAll(bytes)) return false;
    const std::string text(bytes.begin(), bytes.end());
    if (text.compare(0, sizeof kManifestHead - 1, kManifestHead) != 0) return false;
    size_t pos = sizeof kManifestHead - 1;
    while (pos < text.size()) {
        const size_t end = std::min(text.find('\n', pos), text.size());
        const std::string name = text.substr(pos, end - pos);
        pos = end + 1;
        const bool streamFile = name.size() == 7 && name[0] == 's' && std::isdigit(static_cast<unsigned char>(name[1])) &&
                                std::isdigit(static_cast<unsigned char>(name[2])) && name.compare(3, 4, ".bin") == 0;
        if (name == "lengths.tsv" || streamFile) names.push_back(name);
    }
    return true;
}

// Makes dir ready for a dump and opens its new manifest: dir is created when
// absent; otherwise it must hold only an earlier dump's files (or force is
// given), and the files that dump's manifest names go, except the input.
platform::File* prepareDumpFolder(const std::string& dir, bool force, platform::File* input) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path folder = platform::pathOf(dir);
    const fs::path manifest = folder / kManifest;
    const std::string manifestName = platform::nameOf(manifest);
    const fs::file_status st = fs::status(folder, ec);
    if (fs::exists(st) && !fs::is_directory(st)) return fail(dir + ": not a directory"), nullptr;
    if (!fs::exists(st)) {
        if (!fs::create_directories(folder, ec)) return fail(dir + ": cannot be created: " + ec.message()), nullptr;
    } else {
        std::vector<std::string> ours;
        const bool haveManifest = fs::is_regular_file(fs::symlink_status(manifest, ec)) && readManifest(manifest, ours);
        if (fs::exists(fs::symlink_status(manifest, ec)) && !haveManifest)
            return fail(manifestName + ": not a manifest of dev_inspect; not touched"), nullptr;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = platform::nameOf(it->path().filename());
            const bool listed = name == kManifest || std::find(ours.begin(), ours.end(), name) != ours.end();
            if (!listed && !force) return fail(dir + ": holds other files (--force writes there anyway)"), nullptr;
        }
        if (ec) return fail(dir + ": cannot be read: " + ec.message()), nullptr;
        for (const std::string& name : ours) {
            const fs::path p = folder / name;
            if (!fs::is_regular_file(fs::symlink_status(p, ec))) continue;
            if (platform::isSameFile(input, platform::nameOf(p).c_str()))
                return fail(platform::nameOf(p) + ": is the input file; not removed"), nullptr;
            if (!fs::remove(p, ec) && ec) return fail(platform::nameOf(p) + ": cannot be removed: " + ec.message()), nullptr;
        }
        if (haveManifest && !fs::remove(manifest, ec) && ec)
            return fail(manifestName + ": cannot be removed: " + ec.message()), nullptr;
    }
    platform::File* file = platform::createNew(manifestName.c_str());
    if (!file) return fail(manifestName + ": " + systemReason()), nullptr;
    if (!platform::writeFile(file, kManifestHead, sizeof kManifestHead - 1) || !platform::flushFile(file)) {
        fail(manifestName + ": " + systemReason());
        platform::closeFile(file);
        return nullptr;
    }
    return file;
}

int dumpStreams(const std::string& devPath, const std::string& dirPath, bool force) {
    cli::InputFile in;
    if (const Status opened = in.open(devPath); !opened.ok()) return fail(devPath + ": " + opened.reason());
    std::vector<uint8_t> bytes;
    if (!in.readAll(bytes)) return fail(in.name() + ": " + in.readProblem());
    if (bytes.size() < 4 || std::memcmp(bytes.data(), kDevMagic, 4) != 0) return fail(in.name() + ": not a DEV stream");
    platform::File* manifest = prepareDumpFolder(dirPath, force, in.file());
    if (!manifest) return kFailed;
    StreamDump dump(platform::pathOf(dirPath), manifest);
    DiscardingSink sink;
    MemorySource source(bytes.data(), bytes.size());
    RunFailure failure;
    RunOptions options;
    options.observer = &dump;
    options.failureReport = FailureReport::None;
    options.failure = &failure;
    const int32_t r = Unpacker::run(kStageTable, sink, source, options);
    if (const std::string problem = dump.finish(); !problem.empty()) return fail(problem);
    if (r != kResultOk) return fail(in.name() + ": " + describeRunFailure(failure, r));
    return 0;
}

int inspectFile(const std::string& path) {
    cli::InputFile in;
    if (const Status opened = in.open(path); !opened.ok()) return fail(path + ": " + opened.reason());
    std::vector<uint8_t> bytes;
    if (!in.readAll(bytes)) return fail(in.name() + ": " + in.readProblem());
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), kDevMagic, 4) == 0) return inspectDev(in.name(), bytes);
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), kRecordMagic, 4) == 0) return inspectRecords(in.name(), bytes);
    if (bytes.size() >= kSignatureLetters && isBinkSignature(bytes.data()))
        return inspectBink(in.name(), bytes);
    return fail(in.name() + ": neither a DEV stream, a record stream nor a Bink file");
}

constexpr char kUsage[] =
    "Usage: dev_inspect FILE\n"
    "       dev_inspect --streams [--force] DEV_FILE DIR\n"
    "Shows what a DEV stream, a record stream or a Bink file holds, or dumps the\n"
    "sub-streams of every frame of a DEV stream into DIR.\n"
    "Exit status: 0 sound, 1 unreadable or damaged, 2 a warning.\n";

int inspectMain(int argc, char** argv) {
    platform::prepareStandardStreams();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) return std::fputs(kUsage, stdout), 0;
    if (args.size() == 1 && (args[0] == "-V" || args[0] == "--version")) return std::printf("dev_inspect %s\n", DEV_VERSION), 0;
    if (args.size() == 1 && (args[0] == "-" || args[0][0] != '-')) {
        const int status = inspectFile(args[0]);
        // A report that cannot be read is no report: a failure.
        if (platform::wasClosedAtStart(platform::StandardStream::Output))
            return fail("(stdout): standard output is closed");
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) return fail("(stdout): " + systemReason());
        return status;
    }
    if (!args.empty() && args[0] == "--streams") {
        const bool force = args.size() == 4 && args[1] == "--force";
        if (args.size() == 3 || force) return dumpStreams(args[args.size() - 2], args.back(), force);
    }
    std::fputs(kUsage, stderr);
    return 1;
}

}  // namespace

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) { return platform::runWithUtf8Arguments("dev_inspect", argc, argv, inspectMain, 1); }
#else
int main(int argc, char** argv) { return inspectMain(argc, argv); }
#endif
