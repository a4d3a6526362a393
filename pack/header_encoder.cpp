#include "pack/header_encoder.h"

#include <algorithm>

#include "driver/header_grammar.h"
#include "pack/encode_coder.h"

namespace dev {

namespace {

// The encoding side of the header walk: takes every value from the file's
// own bytes; the decoder-side checks have nothing to do here.
class EncodeIo {
public:
    explicit EncodeIo(const std::vector<uint8_t>& bytes) : reader_(bytes.data(), bytes.size()) {}
    ValueReader& stream() { return reader_; }
    bool spend(uint64_t decisions) {
        spent += decisions;
        return true;
    }
    int32_t header(const uint8_t*, uint32_t) { return 0; }
    int32_t track(uint32_t, uint32_t, uint32_t) { return 0; }
    int32_t tracksDone() { return 0; }
    int32_t indexWord(uint32_t, uint32_t) { return 0; }
    int32_t indexDone() { return 0; }

    uint64_t spent = 0;  // decisions counted against the decoder's budget

private:
    ValueReader reader_;
};

}  // namespace

std::vector<uint8_t> headerBytes(const BinkFile& file) {
    std::vector<uint8_t> out(file.header);
    // The track table's three arrays, then the frame index.
    for (const auto& t : file.tracks) appendLe32(out, t.word);
    for (const auto& t : file.tracks) appendLe32(out, BinkTrackTable::rateAndFlags(t.sampleRate, t.flags));
    for (const auto& t : file.tracks) appendLe32(out, t.id);
    for (uint32_t w : file.frameIndex) appendLe32(out, w);
    return out;
}

std::vector<uint8_t> encodeHeaderChunk(const BinkFile& file) {
    const std::vector<uint8_t> bytes = headerBytes(file);
    std::vector<uint8_t> chunk;
    BitModel models[HeaderModels::kCount];
    resetModels(models, HeaderModels::kCount);
    EncodeCoder coder(chunk);
    EncodeIo io(bytes);
    codeHeaderChunk(coder, models, io);
    coder.finish();
    // The unpacker takes a header chunk shorter than the decoder's four
    // starting bytes, or than its decisions budget, for a damaged one; zeros
    // past the end read the same.
    const uint64_t shortest = std::max<uint64_t>(4, headerChunkLengthFor(io.spent));
    if (chunk.size() < shortest) chunk.resize(static_cast<size_t>(shortest), 0);
    return chunk;
}

}  // namespace dev
