// dev_pack: packs Bink files into DEV streams and restores them, with the
// command line of xz and zstd.
//
//   dev_pack [OPTION]... [FILE]...
//   dev_pack --records [OPTION]... FILE... RECORD_FILE
//
// Each FILE is packed to FILE.dev and kept; -d restores NAME.dev to NAME (a
// record stream to the bytes it carries), -t decodes and checks, -l lists.
// A stream is written only after the packer has unpacked it again and found
// the Bink file restored byte for byte.
//
// Files are safe: every output goes to a new temporary file beside its target
// and is renamed into place only after success (an interrupt removes it), an
// existing file is replaced only with -f, and never is the input replaced,
// whatever the options.  The output takes the input's mode, owner (where
// permitted) and modification time.  A device or a pipe named as the output
// is written into.  A closed standard output is an error, not a sink.
//
// Exit status: 0 success, 1 an error, 2 a warning (a file skipped) and no
// error.  Messages: "dev_pack: FILE: reason" on standard error.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "driver/unpacker.h"
#include "pack/packer.h"
#include "pack/record_writer.h"
#include "platform/names.h"
#include "platform/platform.h"
#include "plugin/record_stream.h"
#include "stages/stage_table.h"
#include "tools/cli_files.h"
#include "tools/record_failure_text.h"
#include "tools/stream_layout.h"
#include "writers/bink_container.h"

namespace {

using namespace dev;
using cli::InputFile;
using cli::OutputFile;

constexpr char kSuffix[] = ".dev";
// At most this many files packed at once: each holds its file, its DEV
// stream and the models of a pack and of its proof run.
constexpr unsigned kMaxThreads = 32;

constexpr char kHelp[] =
    "Usage: dev_pack [OPTION]... [FILE]...\n"
    "       dev_pack --records [OPTION]... FILE... RECORD_FILE\n"
    "Pack Bink video files into DEV streams (FILE.dev), or restore them.\n"
    "\n"
    "  -d, --decompress   restore: NAME.dev to NAME; a record stream to its bytes\n"
    "  -t, --test         decode and check each stream; write nothing\n"
    "  -l, --list         show what each stream holds (-v: every record)\n"
    "  -c, --stdout       write to standard output (one input); keep the inputs\n"
    "  -o, --output=FILE  write the output of the one input to FILE (a device too)\n"
    "  -f, --force        replace existing output files\n"
    "  -k, --keep         keep the inputs (always done)\n"
    "  -q, --quiet        no summary lines or warnings\n"
    "  -v, --verbose      progress on a terminal, a line per file restored or tested\n"
    "  -T, --threads=N    pack N files at once (0: one per processor); the same\n"
    "                     outputs and messages, in input order\n"
    "      --records      pack FILE... into the plug-in record stream RECORD_FILE\n"
    "                     (with -c or -o, every FILE is an input)\n"
    "  -x, --extended     also pack Bink 2 files with video flag 0x40000, as an\n"
    "                     extension of the format that other unpackers refuse\n"
    "  -h, --help         show this help and exit\n"
    "  -V, --version      show the version and exit\n"
    "\n"
    "With no FILE, or when FILE is -, standard input is read and the output\n"
    "goes to standard output.  Outputs are written to a temporary file and\n"
    "renamed into place after success; the input is never replaced.\n"
    "Exit status: 0 success, 1 error, 2 warning.\n";

enum class Mode { Pack, Restore, Test, List, Records };

struct Options {
    Mode mode = Mode::Pack;
    bool toStdout = false;
    bool force = false;
    bool quiet = false;
    bool verbose = false;
    bool extended = false;
    bool haveOutput = false;
    unsigned threads = 1;  // files packed at once; 0: one per processor
    std::string output;
    std::vector<std::string> files;
};

// The exit status collects the worst outcome: an error over a warning.
class Report {
public:
    // With held, the messages are kept there instead of printed (and no
    // progress is shown), for a file packed beside others.
    explicit Report(const Options& options, std::string* held = nullptr) : options_(options), held_(held) {}
    void error(const std::string& name, const std::string& reason) {
        print("dev_pack: " + name + ": " + reason);
        status_ = 1;
    }
    void warning(const std::string& name, const std::string& reason) {
        if (!options_.quiet) print("dev_pack: " + name + ": " + reason);
        merge(2);
    }
    // A summary line, silenced by -q.
    void summary(const std::string& line) {
        if (!options_.quiet) print(line);
    }
    int status() const { return status_; }
    // Takes in the outcome of a file reported apart.
    void merge(int status) {
        if (status == 1 || (status == 2 && status_ == 0)) status_ = status;
    }

    // Progress of the current file, with -v on a terminal, at most ten
    // times a second.
    void startProgress(const std::string& name) {
        name_ = name;
        shown_ = false;
        enabled_ = !held_ && options_.verbose && platform::isTerminal(platform::StandardStream::Error);
    }
    static int32_t progress(void* self, uint32_t perMille) {
        static_cast<Report*>(self)->showProgress(perMille);
        return 0;
    }
    void clearProgress() {
        if (!shown_) return;
        std::fprintf(stderr, "\r%*s\r", width_, "");
        shown_ = false;
    }

private:
    // A line on standard error, its names as given (platform::errorWrite),
    // or kept in held.
    void print(const std::string& line) {
        if (held_) {
            *held_ += line + "\n";
            return;
        }
        clearProgress();
        const std::string withEnd = line + "\n";
        platform::errorWrite(withEnd.data(), withEnd.size());
    }
    void showProgress(uint32_t perMille) {
        if (!enabled_) return;
        const uint32_t now = platform::tickCount();
        if (shown_ && now - lastTick_ < 100 && perMille < 1000) return;
        lastTick_ = now;
        const std::string text = "\r" + name_ + ": " + std::to_string(perMille / 10) + "." +
                                 std::to_string(perMille % 10) + "%";
        platform::errorWrite(text.data(), text.size());
        width_ = int(text.size()) - 1;
        shown_ = true;
    }

    const Options& options_;
    std::string* held_;
    int status_ = 0;
    std::string name_;
    bool enabled_ = false;
    bool shown_ = false;
    int width_ = 0;
    uint32_t lastTick_ = 0;
};

std::string systemReason() {
    char text[256];
    platform::lastErrorText(text, sizeof text);
    return text;
}

bool endsWith(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool isDirectory(const std::string& path) {
    std::error_code ec;
    return !cli::isStandardName(path) && std::filesystem::is_directory(platform::pathOf(path), ec);
}

// What a stream's first bytes say it is.
enum class StreamKind { Dev, Records, Other };

StreamKind streamKind(InputFile& in) {
    uint8_t magic[4];
    if (in.peek(magic, 4) != 4) return StreamKind::Other;
    if (std::memcmp(magic, kDevMagic, 4) == 0) return StreamKind::Dev;
    if (std::memcmp(magic, kRecordMagic, 4) == 0) return StreamKind::Records;
    return StreamKind::Other;
}

// Packed data is binary: it is not written to, nor read from, a terminal
// unless asked with -f.
bool terminalRefused(const Options& o, const std::string& path, bool writing, Report& report) {
    if (o.force || !cli::isStandardName(path)) return false;
    if (writing && platform::isTerminal(platform::StandardStream::Output)) {
        report.error("(stdout)", "packed data is not written to a terminal (use -f to force)");
        return true;
    }
    if (!writing && platform::isTerminal(platform::StandardStream::Input)) {
        report.error("(stdin)", "packed data is not read from a terminal (use -f to force)");
        return true;
    }
    return false;
}

// ---- Packing ----

// Where the stream packed from path goes ("-": standard output); empty for
// a file skipped for its suffix.
std::string packTarget(const std::string& path, const Options& o) {
    if (o.haveOutput) return o.output;
    if (o.toStdout || cli::isStandardName(path)) return "-";
    if (endsWith(path, kSuffix)) return {};
    return path + kSuffix;
}

void packOne(const std::string& path, const Options& o, Report& report) {
    if (isDirectory(path)) return report.warning(path, "Is a directory, skipping");
    const std::string target = packTarget(path, o);
    if (target.empty()) return report.warning(path, "already has the .dev suffix, skipping");
    if (terminalRefused(o, target, true, report)) return;

    InputFile in;
    if (const Status opened = in.open(path); !opened.ok()) return report.error(path, opened.reason());
    // Only a Bink file is read whole: anything else is refused at once.
    uint8_t signature[kSignatureLetters];
    if (in.peek(signature, kSignatureLetters) != kSignatureLetters || !isBinkSignature(signature))
        return report.error(in.name(), in.readFailed() ? in.readProblem() : "not a Bink file (no BIK or KB2 signature)");

    OutputFile out;
    if (const Status opened = out.open(target, o.force, &in); !opened.ok())
        return report.error(out.name(), opened.reason());
    std::vector<uint8_t> bink;
    if (!in.readAll(bink)) return report.error(in.name(), in.readProblem());
    report.startProgress(in.name());
    PackOptions packing;
    packing.extended = o.extended;
    const PackResult r = packBink(bink, Report::progress, &report, packing);
    if (!r.status.ok()) return report.error(in.name(), r.status.reason());
    out.write(r.dev.data(), r.dev.size());
    if (const Status committed = out.commit(&in); !committed.ok()) return report.error(out.name(), committed.reason());
    report.summary(in.name() + ": frames " + std::to_string(r.frames) + " coded " + std::to_string(r.coded) +
                   " stored " + std::to_string(r.stored) + " bink " + std::to_string(bink.size()) + " dev " +
                   std::to_string(r.dev.size()));
}

// packOne, with a file too large for the memory reported as such.
void packFile(const std::string& path, const Options& o, Report& report) {
    try {
        packOne(path, o, report);
    } catch (const std::bad_alloc&) {
        report.error(path, "not enough memory");
    }
}

// What a file reads and writes, to tell the files that must be packed one
// after another: "-" for standard input and output, the full path otherwise
// (ignoring case on Windows).
std::vector<std::string> namesTouched(const std::string& path, const Options& o) {
    std::vector<std::string> names;
    for (const std::string& name : {path, packTarget(path, o)}) {
        if (name.empty()) continue;
        std::error_code ec;
        std::string full = cli::isStandardName(name) ? name : std::filesystem::weakly_canonical(name, ec).string();
        if (ec) full = name;
#if defined(_WIN32)
        for (char& c : full) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
#endif
        names.push_back(full);
    }
    return names;
}

// Packs the files on several threads, each exactly as packFile alone, and
// prints each file's messages in input order once it and every file before
// it are done.  A file that names what an earlier one reads or writes starts
// only after every earlier file has finished, so the outcome is the serial
// one.
void packFiles(const Options& o, Report& report, unsigned threads) {
    const std::vector<std::string>& files = o.files;
    const size_t count = files.size();
    std::vector<bool> afterEarlier(count, false);
    {
        std::vector<std::string> seen;
        for (size_t i = 0; i < count; ++i) {
            const std::vector<std::string> names = namesTouched(files[i], o);
            for (const std::string& name : names)
                if (std::find(seen.begin(), seen.end(), name) != seen.end()) afterEarlier[i] = true;
            seen.insert(seen.end(), names.begin(), names.end());
        }
    }
    struct Outcome {
        std::string messages;
        int status = 0;
        bool done = false;
    };
    std::vector<Outcome> outcomes(count);
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;       // the next file to start
    size_t doneBefore = 0;  // files 0 .. doneBefore - 1 are all done
    const auto worker = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return next == count || !afterEarlier[next] || doneBefore == next; });
            if (next == count) return;
            const size_t i = next++;
            lock.unlock();
            Report own(o, &outcomes[i].messages);
            packFile(files[i], o, own);
            lock.lock();
            outcomes[i].status = own.status();
            outcomes[i].done = true;
            while (doneBefore < count && outcomes[doneBefore].done) ++doneBefore;
            changed.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(worker);
    for (size_t i = 0; i < count; ++i) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return outcomes[i].done; });
        lock.unlock();
        platform::errorWrite(outcomes[i].messages.data(), outcomes[i].messages.size());
        report.merge(outcomes[i].status);
    }
    for (std::thread& t : pool) t.join();
}

void packRecords(const Options& o, Report& report) {
    std::vector<std::string> inputs = o.files;
    std::string target;
    if (o.haveOutput) target = o.output;
    else if (o.toStdout) target = "-";
    else if (inputs.size() >= 2) {
        target = inputs.back();
        inputs.pop_back();
    }
    if (target.empty() || inputs.empty()) {
        report.error("--records", "needs the input files, then the record stream to write");
        return;
    }
    if (terminalRefused(o, target, true, report)) return;

    // Every input is read before anything is written; any failure leaves no
    // output.
    std::vector<std::vector<uint8_t>> contents(inputs.size());
    std::vector<RecordInput> records;
    for (size_t i = 0; i < inputs.size(); ++i) {
        InputFile in;
        if (const Status opened = in.open(inputs[i]); !opened.ok()) return report.error(inputs[i], opened.reason());
        if (!cli::isStandardName(target) && platform::isSameFile(in.file(), target.c_str()))
            return report.error(target, "is one of the inputs");
        if (!in.readAll(contents[i])) return report.error(in.name(), in.readProblem());
        records.push_back({in.name(), contents[i]});
    }
    OutputFile out;
    if (const Status opened = out.open(target, o.force, nullptr); !opened.ok())
        return report.error(out.name(), opened.reason());
    std::vector<RecordReport> reports;
    PackOptions packing;
    packing.extended = o.extended;
    const std::vector<uint8_t> stream = buildRecordStream(records, &reports, packing);
    out.write(stream.data(), stream.size());
    if (const Status committed = out.commit(); !committed.ok()) return report.error(out.name(), committed.reason());

    size_t coded = 0, inputBytes = 0;
    for (size_t i = 0; i < reports.size(); ++i) {
        inputBytes += contents[i].size();
        if (reports[i].coded) {
            ++coded;
            report.summary("coded " + reports[i].name);
        } else {
            report.summary("stored " + reports[i].name + " (" + reports[i].reason + ")");
        }
    }
    report.summary("records " + std::to_string(reports.size()) + " coded " + std::to_string(coded) + " stored " +
                   std::to_string(reports.size() - coded) + " input " + std::to_string(inputBytes) + " output " +
                   std::to_string(stream.size()));
}

// ---- Restoring and testing ----

// Counts the bytes written through it.
class CountingSink : public ByteSink {
public:
    explicit CountingSink(ByteSink& inner) : inner_(inner) {}
    bool write(const void* buffer, size_t size) override {
        bytes += size;
        return inner_.write(buffer, size);
    }
    uint64_t bytes = 0;

private:
    ByteSink& inner_;
};

// The plug-in's host callback over a tool's input and output.
struct FileHost {
    InputFile* in;
    ByteSink* out;

    static int32_t call(void* user, int32_t operation, void* buffer, int32_t count) {
        FileHost& host = *static_cast<FileHost*>(user);
        if (count < 0) return -1;
        if (operation == kHostWrite) return host.out->write(buffer, size_t(count)) ? count : -1;
        if (operation != kHostRead) return -1;
        // Reads are answered in full where the input allows.
        auto* p = static_cast<uint8_t*>(buffer);
        int32_t done = 0;
        while (done < count) {
            const int64_t got = host.in->read(p + done, size_t(count - done));
            if (got < 0) return done ? done : -1;
            if (got == 0) break;
            done += static_cast<int32_t>(got);
        }
        return done;
    }
};

void decodeOne(const std::string& path, const Options& o, Report& report, bool test) {
    if (isDirectory(path)) return report.warning(path, "Is a directory, skipping");
    std::string target;
    if (!test) {
        if (o.haveOutput) target = o.output;
        else if (o.toStdout || cli::isStandardName(path)) target = "-";
        else {
            const size_t stem = path.size() - std::strlen(kSuffix);
            if (!endsWith(path, kSuffix) || platform::pathOf(path.substr(0, stem)).filename().empty())
                return report.warning(path, "unknown suffix (not .dev), skipping");
            target = path.substr(0, stem);
        }
    }
    if (terminalRefused(o, path, false, report)) return;

    InputFile in;
    if (const Status opened = in.open(path); !opened.ok()) return report.error(path, opened.reason());
    const StreamKind kind = streamKind(in);
    if (kind == StreamKind::Other)
        return report.error(in.name(), in.readFailed() ? in.readProblem() : "not a DEV stream or record stream");

    OutputFile file;
    DiscardingSink discard;
    if (const Status opened = test ? Status() : file.open(target, o.force, &in); !opened.ok())
        return report.error(file.name(), opened.reason());
    CountingSink out(test ? static_cast<ByteSink&>(discard) : file);

    int32_t result;
    std::string why;
    if (kind == StreamKind::Dev) {
        RunFailure failure;
        RunOptions run;
        run.failureReport = FailureReport::None;
        run.failure = &failure;
        report.startProgress(in.name());
        run.progress = Report::progress;
        run.progressUser = &report;
        result = Unpacker::run(kStageTable, out, in, run);
        report.clearProgress();
        if (result != kResultOk) why = describeRunFailure(failure, result);
    } else {
        FileHost host{&in, &out};
        RecordStreamFailure failure;
        RecordStreamOptions options;
        options.failureReport = FailureReport::None;
        options.failure = &failure;
        result = decompressRecordStream(HostStream{FileHost::call, &host}, options);
        if (result != 0) why = describeRecordFailure(failure, result);
    }
    if (!test && file.writeFailed()) return report.error(file.name(), file.writeProblem());
    if (in.readFailed()) return report.error(in.name(), in.readProblem());
    if (result != 0) return report.error(in.name(), why);

    // The stream ends where the decoder stops; more bytes are no part of it.
    uint8_t extra;
    const bool trailing = in.read(&extra, 1) > 0;
    if (const Status committed = test ? Status() : file.commit(&in); !committed.ok())
        return report.error(file.name(), committed.reason());
    if (trailing) report.warning(in.name(), "bytes follow the end of the stream; ignored");
    if (o.verbose) {
        std::string line = in.name() + ": " + (test ? "ok, " : "restored ") + std::to_string(out.bytes) + " bytes";
        if (!test) line += " to " + file.name();
        report.summary(line);
    }
}

// ---- Listing ----

struct ListTotals {
    uint64_t files = 0, frames = 0, dev = 0, bink = 0;
};

// A stream's kind: the Bink signature, and whether the stream uses the
// extension (which unpackers before it refuse).
std::string kindOf(const BinkSummary& b) { return std::string(b.signature) + (b.extended ? " extended" : ""); }

void listRow(uint64_t frames, uint64_t dev, uint64_t bink, const std::string& kind, const std::string& name) {
    static bool headed = false;
    if (!headed) std::printf("  frames          dev         bink  ratio  kind         name\n");
    headed = true;
    const double ratio = bink ? double(dev) / double(bink) : 0.0;
    char figures[128];
    std::snprintf(figures, sizeof figures, "%8" PRIu64 " %12" PRIu64 " %12" PRIu64 "  %5.3f  %-12s ", frames, dev, bink,
                  ratio, kind.c_str());
    // The name as given, through the console layer (a Windows console shows
    // it whatever its code page), after what printf still holds.
    const std::string row = figures + name + "\n";
    std::fflush(stdout);
    platform::consoleWrite(row.data(), row.size());
}

void listOne(const std::string& path, const Options& o, Report& report, ListTotals& totals) {
    if (isDirectory(path)) return report.warning(path, "Is a directory, skipping");
    if (terminalRefused(o, path, false, report)) return;
    InputFile in;
    if (const Status opened = in.open(path); !opened.ok()) return report.error(path, opened.reason());
    std::vector<uint8_t> bytes;
    if (!in.readAll(bytes)) return report.error(in.name(), in.readProblem());

    uint64_t end = 0;
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), kDevMagic, 4) == 0) {
        DevLayout layout;
        if (const Status read = readDevLayout(bytes, layout); !read.ok())
            return report.error(in.name(), "damaged: " + read.reason());
        const BinkSummary& b = layout.bink;
        listRow(b.frameCount, layout.streamBytes, b.fileBytes, kindOf(b), in.name());
        totals.frames += b.frameCount;
        totals.bink += b.fileBytes;
        end = layout.streamBytes;
        if (!layout.warning.empty()) report.warning(in.name(), layout.warning);
    } else if (bytes.size() >= 4 && std::memcmp(bytes.data(), kRecordMagic, 4) == 0) {
        RecordLayout layout;
        if (const Status read = readRecordLayout(bytes, layout); !read.ok())
            return report.error(in.name(), "damaged: " + read.reason());
        uint64_t frames = 0;
        bool extended = false;
        for (const RecordEntry& e : layout.records) {
            if (e.kind != kRecordCoded) continue;
            frames += e.dev.bink.frameCount;
            extended |= e.dev.bink.extended;
        }
        listRow(frames, layout.streamBytes, layout.outputBytes,
                "records " + std::to_string(layout.records.size() - 1) + (extended ? " extended" : ""), in.name());
        if (o.verbose) {
            for (size_t i = 0; i + 1 < layout.records.size(); ++i) {
                const RecordEntry& e = layout.records[i];
                if (e.kind == kRecordCoded)
                    std::printf("    record %zu at %" PRIu64 ": coded, %s, %u frames, dev %" PRIu64 " bink %" PRIu64 "\n",
                                i, e.offset, kindOf(e.dev.bink).c_str(), e.dev.bink.frameCount, e.dev.streamBytes,
                                e.dev.bink.fileBytes);
                else
                    std::printf("    record %zu at %" PRIu64 ": stored, %" PRIu64 " bytes\n", i, e.offset, e.storedBytes);
            }
        }
        totals.frames += frames;
        totals.bink += layout.outputBytes;
        end = layout.streamBytes;
    } else {
        return report.error(in.name(), "not a DEV stream or record stream");
    }
    totals.dev += end;
    ++totals.files;
    if (end < bytes.size())
        report.warning(in.name(), std::to_string(bytes.size() - end) + " bytes follow the end of the stream");
}

// ---- Command line ----

bool takeValue(int argc, char** argv, int& i, const char* inline_, std::string& value) {
    if (inline_ && *inline_) {
        value = inline_;
        return true;
    }
    if (i + 1 >= argc) return false;
    value = argv[++i];
    return true;
}

// A thread count: digits only, at most kMaxThreads.
bool parseThreads(const std::string& text, unsigned& threads) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    threads = static_cast<unsigned>(std::stoul(text));
    return threads <= kMaxThreads;
}

void setMode(Options& o, Mode mode) {
    // --records stays: the others override each other, the last one wins.
    if (o.mode != Mode::Records || mode == Mode::Records) o.mode = mode;
}

// 0: go on; otherwise the exit status (after help, version or a usage error).
int parse(int argc, char** argv, Options& o) {
    const auto usageError = [](const std::string& what) {
        std::fprintf(stderr, "dev_pack: %s\nTry 'dev_pack --help' for more information.\n", what.c_str());
        return 1;
    };
    bool decodeAsked = false;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnd || arg == "-" || arg[0] != '-') {
            o.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        if (arg.compare(0, 2, "--") == 0) {
            const size_t eq = arg.find('=');
            const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            const char* value = eq == std::string::npos ? nullptr : argv[i] + eq + 1;
            if (value && name != "output" && name != "threads")
                return usageError("option '--" + name + "' takes no value");
            if (name == "decompress") setMode(o, Mode::Restore), decodeAsked = true;
            else if (name == "test") setMode(o, Mode::Test), decodeAsked = true;
            else if (name == "list") setMode(o, Mode::List), decodeAsked = true;
            else if (name == "records") o.mode = Mode::Records;
            else if (name == "stdout") o.toStdout = true;
            else if (name == "force") o.force = true;
            else if (name == "keep") continue;
            else if (name == "quiet") o.quiet = true;
            else if (name == "verbose") o.verbose = true;
            else if (name == "extended") o.extended = true;
            else if (name == "help") return std::fputs(kHelp, stdout), -1;
            else if (name == "version") return std::printf("dev_pack %s\n", DEV_VERSION), -1;
            else if (name == "threads") {
                std::string count;
                if (!takeValue(argc, argv, i, value, count) || !parseThreads(count, o.threads))
                    return usageError("option '--threads' needs a number from 0 to " + std::to_string(kMaxThreads));
            } else if (name == "output") {
                if (!takeValue(argc, argv, i, value, o.output) || o.output.empty())
                    return usageError("option '--output' needs a file name");
                o.haveOutput = true;
            } else {
                return usageError("unknown option '" + arg + "'");
            }
            continue;
        }
        for (size_t j = 1; j < arg.size(); ++j) {
            switch (arg[j]) {
                case 'd': setMode(o, Mode::Restore), decodeAsked = true; break;
                case 't': setMode(o, Mode::Test), decodeAsked = true; break;
                case 'l': setMode(o, Mode::List), decodeAsked = true; break;
                case 'c': o.toStdout = true; break;
                case 'f': o.force = true; break;
                case 'k': break;
                case 'q': o.quiet = true; break;
                case 'v': o.verbose = true; break;
                case 'x': o.extended = true; break;
                case 'h': return std::fputs(kHelp, stdout), -1;
                case 'V': return std::printf("dev_pack %s\n", DEV_VERSION), -1;
                case 'T': {
                    std::string count;
                    if (!takeValue(argc, argv, i, argv[i] + j + 1, count) || !parseThreads(count, o.threads))
                        return usageError("option '-T' needs a number from 0 to " + std::to_string(kMaxThreads));
                    j = arg.size();
                    break;
                }
                case 'o':
                    if (!takeValue(argc, argv, i, argv[i] + j + 1, o.output) || o.output.empty())
                        return usageError("option '-o' needs a file name");
                    o.haveOutput = true;
                    j = arg.size();
                    break;
                default:
                    return usageError(std::string("unknown option '-") + arg[j] + "'");
            }
        }
    }
    if (o.mode == Mode::Records && decodeAsked) return usageError("--records packs: -d, -t and -l do not apply");
    if (o.files.empty() && o.mode != Mode::Records) o.files.push_back("-");
    if (o.haveOutput) {
        if (o.toStdout) return usageError("-o and -c both name the output");
        if (o.mode == Mode::Test || o.mode == Mode::List) return usageError("-t and -l write nothing: -o does not apply");
        if (o.mode != Mode::Records && o.files.size() != 1) return usageError("-o names the output of exactly one input");
    }
    // Streams written one after another would restore as one file with the
    // rest ignored: one stream per output.
    if (o.toStdout && (o.mode == Mode::Pack || o.mode == Mode::Restore) && o.files.size() != 1)
        return usageError("-c writes the output of exactly one input");
    return 0;
}

int packMain(int argc, char** argv) {
    platform::prepareStandardStreams();
    Options options;
    if (const int status = parse(argc, argv, options)) return status < 0 ? 0 : status;
    Report report(options);
    ListTotals totals;
    if (options.mode == Mode::Records) {
        packRecords(options, report);
        return report.status();
    }
    // Packing several files may use several threads.
    unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<size_t>({threads, kMaxThreads, options.files.size()}));
    if (options.mode == Mode::Pack && threads > 1) packFiles(options, report, threads);
    else {
        for (const std::string& file : options.files) {
            switch (options.mode) {
                case Mode::Pack: packFile(file, options, report); break;
                case Mode::Restore: decodeOne(file, options, report, false); break;
                case Mode::Test: decodeOne(file, options, report, true); break;
                case Mode::List: listOne(file, options, report, totals); break;
                case Mode::Records: break;
            }
        }
    }
    if (options.mode == Mode::List && totals.files > 1)
        listRow(totals.frames, totals.dev, totals.bink, std::to_string(totals.files) + " files", "(total)");
    // A listing nobody can read is a failure, as a failed write is.
    if (options.mode == Mode::List && platform::wasClosedAtStart(platform::StandardStream::Output))
        report.error("(stdout)", "standard output is closed");
    else if (std::fflush(stdout) != 0 || std::ferror(stdout))
        report.error("(stdout)", systemReason());
    return report.status();
}

}  // namespace

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) { return platform::runWithUtf8Arguments("dev_pack", argc, argv, packMain, 1); }
#else
int main(int argc, char** argv) { return packMain(argc, argv); }
#endif
