// dev_unpack: turns one DEV file into one Bink file.
//
//   dev_unpack dev_file bik_file
//
// The banner and the usage text are printed on every start.  The exit code is
// the driver's result: 0 success, -1 failure (wrong arguments, a file that
// cannot be opened, short input, a failed stage), -2 not a DEV stream, -4
// unsupported Bink video flags.
//
// The user's files come first:
//  - the input is opened before the output is created, so a missing or
//    unreadable input touches no file;
//  - an input that is a directory, and an output that names the input file
//    itself (under any name), are open failures: nothing is created;
//  - a regular output (or one still to be made) is written to a new file
//    beside it, TARGET.partial, and renamed over the target only after the
//    run succeeded: a failed or interrupted run (INT, TERM, HUP) leaves any
//    earlier file exactly as it was and no partial file, and two runs on one
//    target never mix.  An output reached through a symbolic link is written
//    through the link: the file it names is replaced, the link stays;
//  - an output that is not a regular file (a device, a pipe) or that is the
//    program's own standard output is written directly; with standard
//    output as the target, nothing else is printed there;
//  - every failure names its reason in one line on standard error, after
//    the texts standard output has always shown;
//  - bytes after the end of the stream are ignored with a warning on
//    standard error: the exit code is the run's;
//  - the standard streams are made valid at start, so a closed standard
//    output cannot hand its descriptor to the output file, and console text
//    that cannot be written (a closed pipe) is dropped without ending the run;
//  - on Windows the names are taken from the UTF-16 command line and reach
//    the system as given, in any script and of any length: never one mapped
//    to another file's name.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/byte_io.h"
#include "driver/failure_text.h"
#include "driver/unpacker.h"
#include "platform/names.h"
#include "platform/platform.h"
#include "stages/stage_table.h"
#include "stages/stages.h"

namespace {

using namespace dev;
namespace fs = std::filesystem;

constexpr char kBanner[] = "DEV unpacker 1.0 - restores Bink video files from DEV streams";
constexpr char kUsage[] = "Usage: dev_unpack.exe dev_file bik_file\n\n";
constexpr char kOpenFailure[] = "Can't open/create input/output file\n";

void print(const char* text, size_t length) { platform::consoleWrite(text, length); }

class FileSource : public ByteSource {
public:
    explicit FileSource(platform::File* file) : file_(file) {}
    bool readExact(void* buffer, size_t size) override {
        uint8_t* p = static_cast<uint8_t*>(buffer);
        while (size) {
            const int64_t got = platform::readFile(file_, p, size);
            if (got <= 0) return false;
            p += got;
            size -= static_cast<size_t>(got);
        }
        return true;
    }

private:
    platform::File* file_;
};

class FileSink : public ByteSink {
public:
    explicit FileSink(platform::File* file) : file_(file) {}
    bool write(const void* buffer, size_t size) override { return platform::writeFile(file_, buffer, size); }

private:
    platform::File* file_;
};

// Per-mille progress as "47.3%    \r", each line overwriting the last.
int32_t showProgress(void*, uint32_t perMille) {
    char text[32];
    size_t n = 0;
    char digits[10];
    size_t count = 0;
    uint32_t whole = perMille / 10;
    do {
        digits[count++] = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole);
    while (count) text[n++] = digits[--count];
    text[n++] = '.';
    text[n++] = static_cast<char>('0' + perMille % 10);
    std::memcpy(text + n, "%    \r", 6);
    n += 6;
    print(text, n);
    return 0;
}

// A reason on standard error: "dev_unpack: NAME: TEXT".
void printReason(const std::string& name, const std::string& text) {
    const std::string line = "dev_unpack: " + name + ": " + text + "\n";
    platform::errorWrite(line.data(), line.size());
}

std::string systemReason() {
    char text[256];
    platform::lastErrorText(text, sizeof text);
    return text;
}

// Where the restored file goes.
class Output {
public:
    ~Output() { discard(); }

    // Creates the output for target; false with the reason.
    bool open(const std::string& target, platform::File* input, std::string& reason) {
        target_ = target;
        // A name reached through symbolic links is replaced where it lies.
        std::error_code ec;
        if (fs::is_symlink(fs::symlink_status(platform::pathOf(target), ec))) {
            const fs::path named = fs::canonical(platform::pathOf(target), ec);
            if (!ec && !platform::nameOf(named).empty()) target_ = platform::nameOf(named);
        }
        const platform::PathKind kind = platform::pathKind(target_.c_str());
        if (kind == platform::PathKind::Directory) return fail("Is a directory", reason);
        if (kind != platform::PathKind::Missing && platform::isSameFile(input, target_.c_str()))
            return fail("is the input file itself", reason);
        platform::File* out = platform::standardOutput();
        toStandardOutput_ = out && kind != platform::PathKind::Missing && platform::isSameFile(out, target_.c_str());
        platform::closeFile(out);
        direct_ = toStandardOutput_ || kind == platform::PathKind::Other;
        directRegular_ = direct_ && kind == platform::PathKind::Regular;
        if (direct_) {
            file_ = platform::createForWrite(target_.c_str());
            if (!file_) return fail(systemReason(), reason);
            return true;
        }
        temporary_.resize(target_.size() + 32);
        file_ = platform::createBeside(target_.c_str(), temporary_.data(), temporary_.size());
        if (!file_) return fail("cannot be created: " + systemReason(), reason);
        temporary_.resize(std::strlen(temporary_.c_str()));
        return true;
    }
    platform::File* file() const { return file_; }
    // The target is the program's standard output: print nothing there.
    bool toStandardOutput() const { return toStandardOutput_; }

    // Puts a complete output in place; false with the reason, the partial
    // file removed.
    bool commit(std::string& reason) {
        if (!platform::flushFile(file_)) {
            reason = "the output cannot be written";
            discard();
            return false;
        }
        platform::File* file = file_;
        file_ = nullptr;
        if (direct_) {
            if (!platform::closeFile(file)) reason = "the output cannot be written: " + systemReason();
        } else if (!platform::moveIntoPlace(file, temporary_.c_str(), target_.c_str(), true))
            reason = "cannot be put in place: " + systemReason();
        const bool placed = reason.empty();
        temporary_.clear();
        return placed;
    }
    // Drops a failed output: the partial file is removed (also a regular
    // file that standard output writes to); a device or a pipe keeps what
    // was written.
    void discard() {
        if (file_ && (!direct_ || directRegular_))
            platform::closeAndRemove(file_, direct_ ? target_.c_str() : temporary_.c_str());
        else
            platform::closeFile(file_);
        file_ = nullptr;
        temporary_.clear();
    }

private:
    bool fail(const std::string& why, std::string& reason) {
        reason = why;
        return false;
    }

    std::string target_;
    std::string temporary_;
    platform::File* file_ = nullptr;
    bool direct_ = false;
    bool directRegular_ = false;
    bool toStandardOutput_ = false;
};

void printBanner() {
    print(kBanner, sizeof kBanner - 1);
    print("\n", 1);
    print(kUsage, sizeof kUsage - 1);
}

int unpackMain(int argc, char** argv) {
    platform::prepareStandardStreams();
    if (argc != 3) {
        printBanner();
        return -1;
    }

    const std::string inputName = argv[1], outputName = argv[2];
    std::string reason;
    platform::File* input = platform::openForRead(argv[1]);
    if (!input) {
        reason = systemReason();  // before any other call can change it
        if (platform::pathKind(argv[1]) == platform::PathKind::Directory) reason = "Is a directory";
    }
    Output output;
    const bool opened = input && output.open(outputName, input, reason);
    // With standard output as the target, the console texts would land in
    // the Bink file: none is printed.
    const bool console = !(opened && output.toStandardOutput());
    if (console) printBanner();
    if (!opened) {
        print(kOpenFailure, sizeof kOpenFailure - 1);
        printReason(input ? outputName : inputName, reason);
        platform::closeFile(input);
        return -1;
    }

    FileSource source(input);
    FileSink sink(output.file());
    RunOptions options;
    RunFailure failure;
    options.progress = console ? showProgress : nullptr;
    options.failureReport = console ? FailureReport::Console : FailureReport::None;
    options.failure = &failure;
    int32_t result = Unpacker::run(kStageTable, sink, source, options);
    uint8_t extra;
    const bool trailing = result == kResultOk && platform::readFile(input, &extra, 1) == 1;
    platform::closeFile(input);
    if (result != kResultOk) {
        output.discard();
        printReason(inputName, describeRunFailure(failure, result));
        return result;
    }
    // Data still buffered that cannot be stored fails the run as a failed
    // write does.
    if (!output.commit(reason)) {
        printReason(outputName, reason);
        return kResultFailed;
    }
    if (trailing) printReason(inputName, "bytes after the end of the DEV stream were ignored");
    return result;
}

}  // namespace

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) { return platform::runWithUtf8Arguments("dev_unpack", argc, argv, unpackMain, -1); }
#else
int main(int argc, char** argv) { return unpackMain(argc, argv); }
#endif
