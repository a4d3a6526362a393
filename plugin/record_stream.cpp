#include "plugin/record_stream.h"

#include <cstring>

#include "driver/unpacker.h"
#include "platform/platform.h"
#include "stages/stage_table.h"

namespace dev {

namespace {

// Copies n stored bytes from the host's input to its output through the
// transfer buffer.  Each transfer counts what the host delivered, so a host
// that answers in smaller pieces still gets every byte through; input that
// ends inside the block (a read that delivers nothing) is an error, since
// otherwise the copy could never finish.
int32_t copyStored(const HostStream& host, uint8_t* buffer, uint32_t n) {
    while (n) {
        const uint32_t want = n < kTransferSize ? n : kTransferSize;
        const int32_t got = host.read(buffer, static_cast<int32_t>(want));
        if (got < 0) return got;
        if (got == 0 || static_cast<uint32_t>(got) > want) return kResultFailed;
        const int32_t written = host.write(buffer, got);
        if (written < 0) return written;
        n -= static_cast<uint32_t>(got);
    }
    return 0;
}

int32_t recordLoop(const HostStream& host, uint8_t* buffer, const RecordStreamOptions& options, int32_t& record) {
    for (record = 0;; ++record) {
        uint8_t tag[3] = {0, 0, 0};
        // The stream must end with an end record: a tag that does not arrive
        // means the input ended early.
        if (host.read(tag, 1) != 1) return kResultFailed;
        switch (recordKind(tag[0])) {
            case kRecordFull: {
                const int32_t r = copyStored(host, buffer, kFullBlockSize);
                if (r < 0) return r;
                break;
            }
            case kRecordShort: {
                if (host.read(tag + 1, kShortLengthBytes) != kShortLengthBytes) return kResultFailed;
                const int32_t r = copyStored(host, buffer, shortBlockLength(tag));
                if (r < 0) return r;
                break;
            }
            case kRecordCoded: {
                HostSource input(host);
                HostSink output(host);
                RunOptions run;
                run.failureReport = options.failureReport;
                if (options.failure) run.failure = &options.failure->run;
                const int32_t r = Unpacker::run(kStageTable, output, input, run);
                if (r < 0) return r;
                break;
            }
            case kRecordEnd:
                return 0;
        }
    }
}

}  // namespace

int32_t decompressRecordStream(const HostStream& host, const RecordStreamOptions& options) {
    if (options.failure) *options.failure = RecordStreamFailure();
    uint8_t magic[4] = {0, 0, 0, 0};
    if (host.read(magic, 4) != 4 || std::memcmp(magic, kRecordMagic, 4) != 0) return kResultNotRecordStream;
    uint8_t* buffer = static_cast<uint8_t*>(platform::heapAlloc(kTransferSize));
    if (!buffer) return kResultFailed;
    int32_t record = -1;
    const int32_t result = recordLoop(host, buffer, options, record);
    platform::heapFree(buffer);
    if (result < 0 && options.failure) options.failure->record = record;
    return result;
}

}  // namespace dev
