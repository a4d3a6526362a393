// Encoder of the audio stage's chunks: parses each DCT packet into the values
// the stage decodes, proves that the stage's emission rewrites it bit for bit,
// and codes the values through the stage's own grammar.
#include "pack/audio_encoder.h"

#include "pack/audio_parser.h"
#include "pack/encode_coder.h"
#include "stages/audio_grammar.h"

namespace dev {

namespace {

using audio::AudioChannelValues;
using audio::AudioState;
using audio::AudioTrackState;

// Rough cost in 1/8 bits of coding values against ref (nullptr: no
// reference).  Only used to rank candidates; zeros are cheap under the
// adaptive zero flag, other values cost about their magnitude length twice.
uint64_t estimateCost(const int16_t* values, const int16_t* ref, int count) {
    uint64_t cost = 0;
    for (int i = 0; i < count; ++i) {
        const int32_t d = values[i] - (ref ? ref[i] : 0);
        if (d == 0) {
            cost += 3;
        } else {
            const uint32_t a = static_cast<uint32_t>(d < 0 ? -d : d);
            cost += 8 * (2 + 2 * audio::bitLength(a));
        }
    }
    return cost;
}

class AudioEncoder : public StageEncoder {
public:
    AudioEncoder(const BinkContext& context, const AudioEncoderOptions& options)
        : context_(context), options_(options) {
        ready_ = state_.init(context);
        parsed_.resize(state_.rawMode ? 0 : state_.trackCount);
    }

    bool encode(const PackFrame& frame, std::vector<uint8_t>& chunk, std::string& error) override {
        chunk.clear();
        if (!ready_) {
            error = context_.audioTrackCount > audio::kMaxReferenceTracks
                        ? "more than 128 DCT audio tracks cannot be coded"
                        : "out of memory for the audio models";
            return false;
        }
        if (frame.audio.size() != state_.trackCount) {
            error = "frame " + std::to_string(frame.index) + ": " + std::to_string(frame.audio.size()) +
                    " audio packets for " + std::to_string(state_.trackCount) + " tracks";
            return false;
        }
        // Parse every packet before anything is coded: DCT mode has no way
        // to carry a packet we cannot rewrite, so such a packet fails the frame.
        if (!state_.rawMode) {
            for (uint32_t j = 0; j < state_.trackCount; ++j) {
                std::string why;
                if (!frame.audio[j].empty() && !parseAudioPacket(state_.tracks[j], frame.audio[j], parsed_[j], why)) {
                    error = "frame " + std::to_string(frame.index) + ", audio track " + std::to_string(j) +
                            ": the DCT audio packet cannot be rebuilt exactly: " + why;
                    return false;
                }
            }
        }
        EncodeCoder c(chunk);
        for (uint32_t j = 0; j < state_.trackCount; ++j) {
            const std::span<const uint8_t> packet = frame.audio[j];
            audio::codePacketSize(c, state_, static_cast<uint32_t>(packet.size()));
            if (packet.empty()) continue;
            if (state_.rawMode) {
                for (uint8_t b : packet) audio::codeRawByte(c, state_, b);
                continue;
            }
            AudioPacketValues& v = parsed_[j];
            const uint32_t head = v.size < 4 ? v.size : 4;
            for (uint32_t k = 0; k < head; ++k) audio::codeSampleCountByte(c, state_, k, v.sampleCount[k]);
            const int channels = state_.tracks[j].channels;
            for (uint32_t b = 0; b < v.blocks; ++b) {
                AudioChannelValues* block = v.channels.data() + size_t(b) * channels;
                auto choose = [&](int ch, AudioChannelValues& values) { chooseReference(j, ch, values); };
                if (!audio::codeBlock(c, state_, j, block, nullptr, choose)) {
                    error = "frame " + std::to_string(frame.index) + ", audio track " + std::to_string(j) +
                            ": block " + std::to_string(b) + " lies outside what the audio stage can code";
                    return false;
                }
            }
        }
        c.finish();
        return true;
    }

private:
    // Picks the reference for channel ch of track j from the histories as the
    // stage will hold them at that point: every channel's most recent block
    // (for channel 1 of a stereo track, channel 0's block just coded).
    void chooseReference(uint32_t j, int /*channel*/, AudioChannelValues& v) {
        v.useReference = 0;
        v.selector = 0;
        if (!options_.references) return;
        const AudioTrackState& t = state_.tracks[j];
        const int count = t.frameLength - 2;
        uint64_t best = estimateCost(v.coefficients, nullptr, count);
        const uint64_t plain = best;
        for (uint32_t k = 0; k < state_.trackCount; ++k) {
            for (int c = 0; c < state_.tracks[k].channels; ++c) {
                const uint64_t cost = estimateCost(v.coefficients, state_.tracks[k].history[c], count);
                if (cost < best) {
                    best = cost;
                    v.selector = static_cast<uint8_t>(k * 2 + c);
                }
            }
        }
        // The reference flag, the selector and colder models cost something:
        // a reference must promise a clear saving.
        v.useReference = best + best / 8 + 8 * 16 < plain ? 1 : 0;
        if (!v.useReference) v.selector = 0;
    }

    const BinkContext& context_;
    AudioEncoderOptions options_;
    AudioState state_;
    bool ready_ = false;
    std::vector<AudioPacketValues> parsed_;
};

}  // namespace

std::unique_ptr<StageEncoder> makeAudioEncoder(const BinkContext& context, const AudioEncoderOptions& options) {
    return std::make_unique<AudioEncoder>(context, options);
}

std::unique_ptr<StageEncoder> makeAudioEncoder(const BinkContext& context) {
    return makeAudioEncoder(context, AudioEncoderOptions());
}

}  // namespace dev
