// The plug-in record stream: the magic "DEV" 0x02, then records, each opened
// by a tag byte whose two low bits give its kind:
//   0  full block: 4,194,304 stored bytes follow;
//   1  short block: two more length bytes; L = (tag | byte1 << 8 | byte2 << 16) >> 2
//      stored bytes follow (0 to 4,194,303);
//   2  coded: a complete DEV stream follows, decoded into the Bink file it packs;
//   3  end of the stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/little_endian.h"
#include "driver/unpacker.h"
#include "plugin/host_io.h"

namespace dev {

constexpr uint8_t kRecordMagic[4] = {'D', 'E', 'V', 0x02};
constexpr uint32_t kFullBlockSize = 0x400000;
constexpr uint32_t kTransferSize = 65536;

enum RecordKind : uint8_t { kRecordFull = 0, kRecordShort = 1, kRecordCoded = 2, kRecordEnd = 3 };
constexpr int32_t kShortLengthBytes = 2;  // after the tag of a short block

inline RecordKind recordKind(uint8_t tag) { return static_cast<RecordKind>(tag & 3); }
// Length of a short block from its tag and the two bytes after it.
inline uint32_t shortBlockLength(const uint8_t tagAndLength[3]) {
    return loadLe24(tagAndLength) >> 2;
}
// The tag and length bytes of a short block of length bytes (below kFullBlockSize).
inline void shortBlockTag(uint32_t length, uint8_t out[3]) {
    storeLe24(out, (length << 2) | kRecordShort);
}

// Result codes of the plug-in beyond those of the driver.
constexpr int32_t kResultNotOffered = -6;
constexpr int32_t kResultNotRecordStream = -8;
constexpr int32_t kResultBadOperation = -2;

// Where decoding a record stream stopped, for tools that name the failure.
struct RecordStreamFailure {
    int32_t record = -1;  // index of the record concerned, from 0; -1 for the magic
    RunFailure run;       // for a coded record: where its run stopped
};

struct RecordStreamOptions {
    FailureReport failureReport = FailureReport::MessageBox;  // of a failed stage
    RecordStreamFailure* failure = nullptr;                   // filled when set and the call fails
};

// Decompresses one record stream read through the host, writing through it.
int32_t decompressRecordStream(const HostStream& host, const RecordStreamOptions& options = {});

}  // namespace dev
