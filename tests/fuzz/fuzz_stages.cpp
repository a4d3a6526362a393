// Fuzz target: every stage routine's work, chunk by chunk, in a small file
// read from the input (FuzzedFile in fuzz_support.h).  Byte 0 chooses the
// stage (byte % 7) and the room of each output, 16 bytes to 64 KB.  Up to four
// chunks follow (pieces()), decoded in turn by one decoder, as the stage
// thread decodes the chunks of successive frames.  Whatever the chunks, a
// decoder must stay inside its chunk and its outputs (blocks of exactly their
// room), and an output may only overflow when its decoder reports failure.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "stages/audio_stage.h"
#include "stages/bink2_video_stage.h"
#include "stages/bundle_length_grammar.h"
#include "stages/dct_block_grammar.h"
#include "stages/video_frame_stage.h"

namespace {

using namespace dev;

enum Which { kAudio1, kAudio2, kVideoFrame, kBundleLengths, kDctIntra, kDctInter, kBink2Video, kWhichCount };

constexpr size_t kMostChunks = 4;

// A writer over a block of exactly its capacity, so that the sanitizers see
// any write past it.
struct Output {
    std::vector<uint8_t> bytes;
    ValueWriter writer;
    explicit Output(size_t capacity) : bytes(capacity), writer(bytes.data(), capacity) {}
};

// Every output of a chunk's decoding: failed (false) or none overflowed.
bool clean(bool ok, const StreamArray<ValueWriter>& writers) {
    for (const ValueWriter& w : writers)
        if (w.overflow) return !ok;
    return true;
}

// Decodes the chunks in turn with a decoder set up on the file, each into
// outputs of the given room.
template <class D>
void decodeAll(const BinkContext& c, const std::vector<std::vector<uint8_t>>& chunks, size_t capacity) {
    D decoder;
    if (!decoder.setup(c)) return;
    for (const auto& chunk : chunks) {
        std::vector<Output> outs;
        outs.reserve(D::kStreams.size());
        StreamArray<ValueWriter> writers;
        for (int n : D::kStreams) writers[n] = outs.emplace_back(capacity).writer;
        const bool ok = decoder.decodeChunk(chunk.data(), chunk.size(), writers);
        DEV_FUZZ_CHECK(clean(ok, writers));
        if (!ok) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < fuzz::FuzzedFile::kBytes) return 0;
    const Which which = static_cast<Which>(data[0] % kWhichCount);
    const size_t capacity = size_t(16) << ((data[0] >> 3) % 13);
    const auto chunks = fuzz::pieces(data + fuzz::FuzzedFile::kBytes, data + size, kMostChunks);
    fuzz::FuzzedFile file;
    const bool isBink2 = which == kAudio2 || which == kBink2Video;
    if (chunks.empty() || !file.read(data, isBink2, static_cast<uint32_t>(chunks.size()))) return 0;
    const BinkContext& c = file.context;

    switch (which) {
        case kAudio1:
        case kAudio2: decodeAll<AudioDecoder>(c, chunks, capacity); break;
        case kVideoFrame: decodeAll<VideoFrameDecoder>(c, chunks, capacity); break;
        case kBundleLengths: decodeAll<BundleLengthDecoder>(c, chunks, capacity); break;
        case kDctIntra: decodeAll<DctStageDecoder<false>>(c, chunks, capacity); break;
        case kDctInter: decodeAll<DctStageDecoder<true>>(c, chunks, capacity); break;
        case kBink2Video: decodeAll<Bink2VideoDecoder>(c, chunks, capacity); break;
        case kWhichCount: break;
    }
    return 0;
}
