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
#include "stages/audio_grammar.h"
#include "stages/bink2_video_stage.h"
#include "stages/bundle_length_grammar.h"
#include "stages/dct_block_grammar.h"
#include "stages/video_frame_stage.h"
#include "writers/bink1/streams.h"
#include "writers/bink2/streams.h"

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
bool clean(bool ok, const ValueWriter* writers, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (writers[i].overflow) return !ok;
    return true;
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
        case kAudio2: {
            audio::AudioState state;
            if (!state.init(c)) return 0;
            for (const auto& chunk : chunks) {
                Output out(capacity);
                const bool ok = audio::decodeAudioChunk(state, chunk.data(), chunk.size(), out.writer);
                DEV_FUZZ_CHECK(clean(ok, &out.writer, 1));
                if (!ok) break;
            }
            break;
        }
        case kVideoFrame: {
            VideoFrameDecoder decoder;
            if (!decoder.setup(c)) return 0;
            for (const auto& chunk : chunks) {
                std::vector<Output> outs;
                outs.reserve(vframe::kOutputCount);
                StreamArray<ValueWriter> writers;
                for (int n : vframe::kOutputs) writers[n] = outs.emplace_back(capacity).writer;
                const bool ok = decodeVideoFrameChunk(decoder, chunk.data(), chunk.size(), writers);
                DEV_FUZZ_CHECK(clean(ok, writers.begin(), kStreamCount));
                if (!ok) break;
            }
            break;
        }
        case kBundleLengths: {
            BundleLengthDecoder decoder;
            if (!decoder.setup()) return 0;
            for (const auto& chunk : chunks) {
                Output out(capacity);
                const bool ok = decoder.decodeChunk(chunk.data(), chunk.size(), out.writer);
                DEV_FUZZ_CHECK(clean(ok, &out.writer, 1));
                if (!ok) break;
            }
            break;
        }
        case kDctIntra:
        case kDctInter: {
            DctBlockDecoder decoder;
            if (!decoder.setup(which == kDctInter, c.planeCount)) return 0;
            for (const auto& chunk : chunks) {
                Output q(capacity), dc(capacity), coefficients(capacity);
                const bool ok =
                    decoder.decodeChunk(chunk.data(), chunk.size(), q.writer, dc.writer, coefficients.writer);
                const ValueWriter writers[3] = {q.writer, dc.writer, coefficients.writer};
                DEV_FUZZ_CHECK(clean(ok, writers, 3));
                if (!ok) break;
            }
            break;
        }
        case kBink2Video: {
            Bink2VideoDecoder decoder;
            if (!decoder.setup(c)) return 0;
            constexpr int kOutputs = bink2::kResidueCoefficients - bink2::kMacroblockTypes + 1;
            for (const auto& chunk : chunks) {
                std::vector<Output> outs;
                outs.reserve(kOutputs);
                ValueWriter writers[kOutputs];
                for (ValueWriter& w : writers) w = outs.emplace_back(capacity).writer;
                const bool ok = decodeBink2VideoChunk(decoder, chunk.data(), chunk.size(), writers);
                DEV_FUZZ_CHECK(clean(ok, writers, kOutputs));
                if (!ok) break;
            }
            break;
        }
        case kWhichCount:
            break;
    }
    return 0;
}
