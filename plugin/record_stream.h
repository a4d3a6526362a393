// The plug-in record stream: the magic "DEV" 0x02, then records, each opened
// by a tag byte whose two low bits give its kind:
//   0  full block: 4,194,304 stored bytes follow;
//   1  short block: two more length bytes; L = (tag | byte1 << 8 | byte2 << 16) >> 2
//      stored bytes follow (0 to 4,194,303);
//   2  coded: a complete DEV stream follows, decoded into the Bink file it packs;
//   3  end of the stream.
#pragma once

#include <cstdint>

#include "core/unpacker.h"
#include "plugin/host_io.h"

namespace dev {

constexpr uint8_t kRecordMagic[4] = {'D', 'E', 'V', 0x02};
constexpr uint32_t kFullBlockSize = 0x400000;
constexpr uint32_t kTransferSize = 65536;

enum RecordKind : uint8_t { kRecordFull = 0, kRecordShort = 1, kRecordCoded = 2, kRecordEnd = 3 };

// Result codes of the plug-in beyond those of the driver.
constexpr int32_t kResultNotOffered = -6;
constexpr int32_t kResultNotRecordStream = -8;
constexpr int32_t kResultBadOperation = -2;

// Decompresses one record stream read through the host, writing through it.
int32_t decompressRecordStream(const HostStream& host);

}  // namespace dev
