// Fuzz target: the packer on an arbitrary file, the path of dev_pack: the
// Bink file reader, the header, audio and video packet parsers, the stage
// encoders and the round trip the packer runs before it reports success.
// Whatever the file, packing must end with a result; a stream reported as
// packed must unpack, here again, to the very same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "../test_bink.h"
#include "driver/unpacker.h"
#include "fuzz_support.h"
#include "pack/packer.h"
#include "stages/stage_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    dev::PackOptions packing;
    packing.extended = true;  // a file without the extension's flag packs the same either way
    const dev::PackResult packed = dev::packBink(std::span<const uint8_t>(data, size), nullptr, nullptr, packing);
    DEV_FUZZ_CHECK(packed.status.ok() != packed.dev.empty());  // a stream exactly on success
    if (!packed.status.ok()) return 0;
    dev::MemorySource source(packed.dev.data(), packed.dev.size());
    dev::test::VectorSink sink;
    dev::RunOptions options;
    options.failureReport = dev::FailureReport::None;
    DEV_FUZZ_CHECK(dev::Unpacker::run(dev::kStageTable, sink, source, options) == 0);
    DEV_FUZZ_CHECK(sink.data.size() == size && std::equal(sink.data.begin(), sink.data.end(), data));
    return 0;
}
