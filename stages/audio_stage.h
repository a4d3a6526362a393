// The audio stage's decoder (stages/stage_decoder.h): the audio packets of
// every frame into the audio sub-stream, the same in both generations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/bink_context.h"
#include "core/sub_streams.h"
#include "core/value_stream.h"
#include "stages/audio_grammar.h"

namespace dev {

struct AudioDecoder {
    static constexpr int kStreamList[] = {kAudioStream};
    static constexpr std::span<const int> kStreams{kStreamList};

    audio::AudioState state;
    bool carried = false;

    // false only when memory cannot be had: audio the stage cannot code
    // fails at the first chunk instead, as damaged data does.
    bool setup(const BinkContext& context) {
        carried = audio::carries(context);
        return !carried || state.init(context);
    }
    // Decodes one frame's chunk into the audio sub-stream (per track: 32-bit
    // size, then the packet).  false on corrupt data or output beyond the
    // writer's capacity; nothing is written past the writer's end.
    bool decodeChunk(const uint8_t* chunk, size_t length, StreamArray<ValueWriter>& out);
    void release() { state.release(); }
};

}  // namespace dev
