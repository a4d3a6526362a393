// Audio packet stage: rebuilds the audio packets of every frame (the audio
// sub-stream of both generations).
#include "core/coder.h"
#include "stages/audio_stage.h"
#include "stages/stage_decoder.h"
#include "stages/stages.h"
#include "writers/audio_syntax.h"
#include "writers/bit_direction.h"

namespace dev {

namespace audio {

namespace {
// Nothing to choose while decoding: the reference comes from the stream.
struct NoChoice {
    void operator()(int, AudioChannelValues&) const {}
};

bool decodeAudioChunk(AudioState& st, const uint8_t* chunk, size_t length, ValueWriter& out) {
    DecodeCoder c;
    c.rd.init(chunk, length);
    for (uint32_t j = 0; j < st.trackCount; ++j) {
        const uint32_t size = codePacketSize(c, st, 0);
        out.put32(size);
        if (out.overflow) return false;
        if (size == 0) continue;
        // Checked up front so that a size from corrupt data stops at once
        // instead of decoding up to the end of the buffer.
        if (!out.room(size)) return false;
        if (st.rawMode) {
            for (uint32_t k = 0; k < size; ++k) out.put8(codeRawByte(c, st, 0));
            continue;
        }
        const uint32_t head = size < 4 ? size : 4;
        for (uint32_t k = 0; k < head; ++k) out.put8(codeSampleCountByte(c, st, k, 0));
        // A packet of 4 bytes or fewer holds (part of) the sample count only.
        // Otherwise the blocks must fill the rest exactly; every block writes
        // at least one word, so the loop ends.
        int64_t remaining = int64_t(size) - 4;
        BitsOut bits(BitWriter(out.p, out.end));
        bool ok = true;
        while (ok && remaining > 0) {
            const uint8_t* before = bits.w.out;
            ok = codeBlock(c, st, j, st.block, NoChoice{});
            if (ok) blockSyntax(bits, st.tracks[j], st.block);
            remaining -= bits.w.out - before;
        }
        out.p = bits.w.out;
        out.overflow |= bits.w.overflow;
        if (!ok || out.overflow) return false;
        if (size > 4 && remaining != 0) return false;
    }
    return !out.overflow;
}

}  // namespace
}  // namespace audio

bool AudioDecoder::decodeChunk(const uint8_t* chunk, size_t length, StreamArray<ValueWriter>& out) {
    return carried && audio::decodeAudioChunk(state, chunk, length, out[kAudioStream]);
}

uint32_t AudioStage(Stage* stage) { return runDecoderStage<AudioDecoder>(stage); }

}  // namespace dev
