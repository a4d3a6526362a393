// Fuzz target: ClsMain through a hostile host.  The input is five bytes of
// host behaviour followed by the plug-in record stream the host serves:
//   byte 0   how hostile the host is: bits 0-2 how often a read is answered
//            with a smaller piece than asked, bits 3-4 how often a read fails
//            or claims more bytes than it delivered, bits 5-7 how often a
//            write fails (0 in a field: never);
//   bytes 1-4  the seed of the host's choices.
// The stream ends wherever the input ends.  Whatever happens, ClsMain must
// return one of its results or the host's own failure code, call the host
// with nothing but reads and writes of the buffers it owns, and never report
// success after a read or write failed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "platform/exports.h"

extern "C" int32_t DEV_CDECL ClsMain(int32_t operation, int32_t(DEV_CDECL* callback)(void*, int32_t, void*, int32_t),
                                     void* user);

namespace {

constexpr int32_t kRead = 4096;
constexpr int32_t kWrite = 6144;
constexpr int32_t kHostFailure = -1000;  // what this host answers a failed call with
constexpr size_t kBehaviourBytes = 5;

// Chances in 1/1024 by field value.
constexpr uint32_t kPieceChance[8] = {0, 4, 16, 64, 128, 256, 512, 1024};
constexpr uint32_t kReadFailChance[4] = {0, 4, 32, 256};
constexpr uint32_t kWriteFailChance[8] = {0, 4, 16, 64, 128, 256, 512, 1024};

struct HostileHost {
    const uint8_t* input;
    size_t size;
    size_t position = 0;
    uint32_t piece, readFail, writeFail;
    uint64_t state;
    bool failed = false;  // a call was answered with a failure or a lie
    uint8_t touched = 0;

    uint32_t next() {  // xorshift64*
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return static_cast<uint32_t>((state * 2685821657736338717ull) >> 32);
    }
    bool chance(uint32_t per1024) { return per1024 && (next() & 1023) < per1024; }

    int32_t read(uint8_t* buffer, int32_t count) {
        if (chance(readFail)) {
            failed = true;
            // Either a failure, or a count larger than asked for (nothing
            // written beyond the buffer).
            return next() & 1 ? kHostFailure : count + 1 + static_cast<int32_t>(next() % 100);
        }
        size_t n = std::min<size_t>(static_cast<size_t>(count), size - position);
        if (n > 1 && chance(piece)) n = 1 + next() % std::min<size_t>(n - 1, 255);
        if (n) std::memcpy(buffer, input + position, n);
        position += n;
        return static_cast<int32_t>(n);
    }
    int32_t write(const uint8_t* buffer, int32_t count) {
        // Read every byte handed over, so that the sanitizers check them.
        for (int32_t i = 0; i < count; ++i) touched = static_cast<uint8_t>(touched + buffer[i]);
        if (chance(writeFail)) {
            failed = true;
            return kHostFailure;
        }
        return count;
    }

    static int32_t DEV_CDECL callback(void* user, int32_t operation, void* buffer, int32_t count) {
        auto* host = static_cast<HostileHost*>(user);
        DEV_FUZZ_CHECK(operation == kRead || operation == kWrite);
        DEV_FUZZ_CHECK(count >= 0 && (buffer || count == 0));
        return operation == kRead ? host->read(static_cast<uint8_t*>(buffer), count)
                                  : host->write(static_cast<const uint8_t*>(buffer), count);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kBehaviourBytes) return 0;
    HostileHost host{data + kBehaviourBytes, size - kBehaviourBytes};
    host.piece = kPieceChance[data[0] & 7];
    host.readFail = kReadFailChance[(data[0] >> 3) & 3];
    host.writeFail = kWriteFailChance[data[0] >> 5];
    uint32_t seed;
    std::memcpy(&seed, data + 1, 4);
    host.state = 0x9E3779B97F4A7C15ull ^ seed;

    const int32_t r = ClsMain(4, &HostileHost::callback, &host);
    DEV_FUZZ_CHECK(r == 0 || r == -1 || r == -2 || r == -4 || r == -8 || r == kHostFailure);
    DEV_FUZZ_CHECK(!(host.failed && r == 0));
    return 0;
}
