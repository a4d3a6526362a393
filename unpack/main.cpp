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
//  - after a failed run the partial output is removed (a regular file only),
//    so nothing that looks like a result is left behind;
//  - the standard streams are made valid at start, so a closed standard
//    output cannot hand its descriptor to the output file, and console text
//    that cannot be written (a closed pipe) is dropped without ending the run.
#include <cstdint>
#include <cstring>

#include "core/byte_io.h"
#include "driver/unpacker.h"
#include "platform/platform.h"
#include "stages/stage_table.h"
#include "stages/stages.h"

namespace {

using namespace dev;

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

}  // namespace

int main(int argc, char** argv) {
    platform::prepareStandardStreams();
    print(kBanner, sizeof kBanner - 1);
    print("\n", 1);
    print(kUsage, sizeof kUsage - 1);
    if (argc != 3) return -1;

    platform::File* input = platform::openForRead(argv[1]);
    platform::File* output = nullptr;
    if (input && !platform::isSameFile(input, argv[2])) output = platform::createForWrite(argv[2]);
    if (!input || !output) {
        print(kOpenFailure, sizeof kOpenFailure - 1);
        platform::closeFile(input);
        return -1;
    }

    FileSource source(input);
    FileSink sink(output);
    RunOptions options;
    options.progress = showProgress;
    int32_t result = Unpacker::run(kStageTable, sink, source, options);
    platform::closeFile(input);
    // Data still buffered that cannot be stored fails the run as a failed
    // write does.
    if (!platform::flushFile(output) && result == kResultOk) result = kResultFailed;
    if (result == kResultOk)
        platform::closeFile(output);
    else
        platform::closeAndRemove(output, argv[2]);
    return result;
}
