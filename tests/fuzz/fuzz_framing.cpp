// Fuzz target: the DEV framing and the header decoder, without stages.  The
// input is read as the driver reads a DEV stream: prefix, capacity block,
// size block, header chunk, then the chunk lengths of every cycle for the
// stage slots of the file's generation (the chunks themselves are skipped).
// Beyond staying inside every buffer, a header that decodes must have
// written exactly the byte count it returns, and coded again by the packer's
// header encoder it must decode to the same bytes.
#include <cstring>
#include <vector>

#include "../test_bink.h"
#include "driver/dev_format.h"
#include "driver/header_decoder.h"
#include "writers/bink_container.h"
#include "fuzz_support.h"
#include "pack/bink_file.h"
#include "pack/header_encoder.h"
#include "stages/stage_table.h"

namespace {

using namespace dev;

// The bytes the header decoder wrote, split back into the file's parts.
BinkFile fileOf(const std::vector<uint8_t>& bytes, const BinkContext& c) {
    BinkFile f;
    const uint8_t* p = bytes.data();
    f.header.assign(p, p + c.headerLength);
    p += c.headerLength;
    const uint32_t n = c.audioTrackCount;
    f.tracks.resize(n);
    for (uint32_t t = 0; t < n; ++t) {
        const uint32_t rf = loadLe32(p + BinkTrackTable::rateAndFlagsAt(n, t));
        f.tracks[t] = {loadLe32(p + BinkTrackTable::decodedSizeAt(n, t)), BinkTrackTable::sampleRateOf(rf),
                       BinkTrackTable::flagsOf(rf), loadLe32(p + BinkTrackTable::idAt(n, t))};
    }
    p += BinkTrackTable::kBytesPerTrack * n;
    for (uint64_t k = 0; k <= c.frameCount; ++k) f.frameIndex.push_back(loadLe32(p + BinkFrameIndex::kWordBytes * k));
    return f;
}

// Decodes a header chunk; the result, the bytes written and the context.
struct Decoded {
    BinkContext context;
    test::VectorSink sink;
    int32_t result = 0;
    explicit Decoded(const uint8_t* chunk, size_t length) { result = decodeHeader(context, chunk, length, sink); }
    ~Decoded() { releaseHeaderBuffers(context); }
};

// false when the header chunk is refused; otherwise the generation and the
// frame count, which decide the cycles that follow.
bool checkHeader(const uint8_t* chunk, size_t length, bool& isBink2, uint32_t& frameCount) {
    Decoded d(chunk, length);
    const BinkContext& c = d.context;
    if (d.result < 0) {
        DEV_FUZZ_CHECK(d.result == -1 || d.result == -4);
        return false;
    }
    const uint64_t expected = binkLayout(c.headerLength, c.audioTrackCount, c.frameCount).frames;
    DEV_FUZZ_CHECK(uint64_t(d.result) == expected && d.sink.data.size() == expected);
    DEV_FUZZ_CHECK(c.frameBufferSize % 512 == 0 && c.frameBufferSize > c.largestFrameSize);
    DEV_FUZZ_CHECK(c.planeCount >= 1 && c.planeCount <= 4);
    for (uint64_t k = 0; k <= c.frameCount; ++k) DEV_FUZZ_CHECK(c.keyframes[k] <= 1);
    if (c.isBink2) {
        DEV_FUZZ_CHECK(c.sliceCount >= 1 && c.sliceCount <= kMaxSlices && c.rowBufferEntries);
        for (uint32_t k = 1; k < c.sliceCount; ++k) DEV_FUZZ_CHECK(c.sliceEnds[k - 1] <= c.sliceEnds[k]);
    }

    // The packer codes the same values into a chunk that restores them.
    const std::vector<uint8_t> again = encodeHeaderChunk(fileOf(d.sink.data, c));
    Decoded e(again.data(), again.size());
    DEV_FUZZ_CHECK(e.result == d.result && e.sink.data == d.sink.data);
    isBink2 = c.isBink2;
    frameCount = c.frameCount;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemorySource in(data, size);
    uint8_t prefix[kDevPrefixSize];
    if (!in.readExact(prefix, sizeof prefix) || std::memcmp(prefix, kDevMagic, sizeof kDevMagic) != 0) return 0;
    // Each block in its own allocation of its exact size, so that a read
    // past one is seen.
    std::vector<uint8_t> capacityBlock(prefix[4]);
    uint8_t l2Bytes[3];
    if (!in.readExact(capacityBlock.data(), capacityBlock.size()) || !in.readExact(l2Bytes, 3)) return 0;
    const size_t l2 = loadLe24(l2Bytes);
    std::vector<uint8_t> sizeBlock(l2);
    if (!in.readExact(sizeBlock.data(), l2)) return 0;

    Capacities capacities;
    const bool capacitiesOk = decodeCapacities(capacityBlock.data(), capacityBlock.size(), capacities);
    if (capacitiesOk) {
        for (uint32_t v : capacities.stage) DEV_FUZZ_CHECK(v % kCapacityUnit == 0 && v <= kMaxCapacity);
        for (uint32_t v : capacities.stream) DEV_FUZZ_CHECK(v % kCapacityUnit == 0 && v <= kMaxCapacity);
    }

    SizeDecoder sizes;
    if (!sizes.start(sizeBlock.data(), l2)) return 0;
    const int32_t headerLength = sizes.next(kHeaderSequence);
    if (headerLength < 0 || size_t(headerLength) > size - in.position()) return 0;
    std::vector<uint8_t> chunk(static_cast<size_t>(headerLength));
    in.readExact(chunk.data(), chunk.size());
    bool isBink2 = false;
    uint32_t frameCount = 0;
    if (!checkHeader(chunk.data(), chunk.size(), isBink2, frameCount) || !capacitiesOk) return 0;

    // The chunk lengths, as the cycles take them, until the end mark, a
    // length no buffer could take, or the end of the input.
    const int slots = kStageTable.stageCount(isBink2);
    std::vector<uint8_t> skipped;
    for (uint64_t cycle = 0; cycle <= frameCount; ++cycle) {
        for (int s = 0; s < slots; ++s) {
            const int32_t length = sizes.next(s);
            if (length == kEndMark) return 0;
            if (length < 0 || uint32_t(length) > capacities.stage[s]) return 0;
            skipped.resize(static_cast<size_t>(length));
            if (!in.readExact(skipped.data(), skipped.size())) return 0;
        }
    }
    return 0;
}
