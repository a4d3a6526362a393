// Encoder of the audio stage's chunks: parses each DCT packet into the values
// the stage decodes, proves that the stage's emission rewrites it bit for bit,
// and codes the values through the stage's own grammar.
#include "pack/audio_encoder.h"

#include <cmath>

#include "pack/audio_parser.h"
#include "pack/encode_coder.h"
#include "stages/audio_grammar.h"

namespace dev {

namespace {

using audio::AudioChannelValues;
using audio::AudioState;
using audio::AudioTrackState;

// Cost of a decision under a model's current probability, in 1/256 bit, by
// the probability of the outcome in 1/4096 steps.
struct CostTable {
    uint16_t bits[4096];
    CostTable() {
        for (int i = 0; i < 4096; ++i) bits[i] = static_cast<uint16_t>(-std::log2((i + 0.5) / 4096.0) * 256.0 + 0.5);
    }
};

// A coder policy that codes nothing: it adds up what the decisions would cost
// while the models adapt as they would in coding, each change logged so that
// the trial can be undone.  Prices reference choices through the grammar itself.
struct TrialCoder {
    static constexpr bool kEncoding = true;
    const CostTable& table;
    std::vector<std::pair<BitModel*, BitModel>>& undo;
    uint64_t cost = 0;

    DEV_INLINE uint32_t bit(BitModel& m, uint32_t value) {
        const uint32_t p0 = probabilityOf(m);
        cost += table.bits[(value ? 65536u - p0 : p0) >> 4];
        undo.emplace_back(&m, m);
        m = modelWith(value ? afterOne(p0) : afterZero(p0));
        return value;
    }
};

class AudioEncoder : public StageEncoder {
public:
    AudioEncoder(const BinkContext& context, const AudioEncoderOptions& options)
        : context_(context), options_(options) {
        ready_ = state_.init(context);
    }

    Status encode(const PackFrame& frame, std::vector<uint8_t>& chunk) override {
        chunk.clear();
        if (!ready_) {
            return context_.audioTrackCount > audio::kMaxReferenceTracks
                       ? "more than 128 DCT audio tracks cannot be coded"
                       : "out of memory for the audio models";
        }
        if (frame.audio.size() != state_.trackCount) {
            return "frame " + std::to_string(frame.index) + ": " + std::to_string(frame.audio.size()) +
                   " audio packets for " + std::to_string(state_.trackCount) + " tracks";
        }
        // Without tracks the stage takes no decision at all: an empty chunk
        // saves the coder's closing bytes in every frame.
        if (state_.trackCount == 0) return {};
        EncodeCoder c(chunk);
        for (uint32_t j = 0; j < state_.trackCount; ++j) {
            const std::span<const uint8_t> packet = frame.audio[j];
            audio::codePacketSize(c, state_, static_cast<uint32_t>(packet.size()));
            if (packet.empty()) continue;
            if (state_.rawMode) {
                for (uint8_t b : packet) audio::codeRawByte(c, state_, b);
                continue;
            }
            // DCT mode has no way to carry a packet the stage cannot rebuild,
            // so such a packet fails the frame (and the file).
            AudioPacketReader reader(state_.tracks[j], packet);
            for (uint32_t k = 0; k < reader.headLength(); ++k)
                audio::codeSampleCountByte(c, state_, k, reader.head(k));
            auto choose = [&](int ch, AudioChannelValues& values) { chooseReference(j, ch, values); };
            while (!reader.atEnd()) {
                if (const Status read = reader.readBlock(block_); !read.ok()) {
                    return "frame " + std::to_string(frame.index) + ", audio track " + std::to_string(j) +
                           ": the DCT audio packet cannot be rebuilt exactly: " + read.reason();
                }
                if (!audio::codeBlock(c, state_, j, block_, choose)) {
                    return "frame " + std::to_string(frame.index) + ", audio track " + std::to_string(j) +
                           ": block " + std::to_string(reader.blocksRead() - 1) +
                           " lies outside what the audio stage can code";
                }
            }
        }
        c.finish();
        return {};
    }

private:
    // Picks the reference for channel ch of track j from the histories as the
    // stage will hold them at that point: every channel's most recent block
    // (for channel 1 of a stereo track, channel 0's block just coded).
    void chooseReference(uint32_t j, int ch, AudioChannelValues& v) {
        v.useReference = 0;
        v.selector = 0;
        if (!options_.references) return;
        const AudioTrackState& t = state_.tracks[j];
        // Each candidate is tried for real on the models as they stand; the
        // flag and selector are charged at 10 bits.  Greedy per channel: a
        // reference is taken only when it pays for itself in this block.
        const uint64_t plain = trial(t, ch, 0, nullptr, v.coefficients);
        uint64_t best = plain;
        for (uint32_t k = 0; k < state_.trackCount; ++k) {
            for (int c = 0; c < state_.tracks[k].channels; ++c) {
                const uint64_t cost = trial(t, ch, 1, state_.tracks[k].history[c], v.coefficients);
                if (cost != UINT64_MAX && cost + 10 * 256 < best) {
                    best = cost + 10 * 256;
                    v.useReference = 1;
                    v.selector = static_cast<uint8_t>(k * 2 + c);
                }
            }
        }
    }

    // Exact cost of coding values with the given reference, models restored.
    uint64_t trial(const AudioTrackState& t, int ch, uint32_t useRef, const int16_t* ref, const int16_t* values) {
        undo_.clear();
        TrialCoder c{costs_, undo_};
        const bool ok = audio::codeCoefficients(c, state_.models.data(), t, t.quantisers[ch], useRef, ref, priced_, values);
        for (size_t k = undo_.size(); k-- > 0;) *undo_[k].first = undo_[k].second;
        return ok ? c.cost : UINT64_MAX;
    }

    const BinkContext& context_;
    AudioEncoderOptions options_;
    AudioState state_;
    bool ready_ = false;
    AudioChannelValues block_[2];
    CostTable costs_;
    std::vector<std::pair<BitModel*, BitModel>> undo_;
    int16_t priced_[audio::kMaxCoefficients];
};

}  // namespace

std::unique_ptr<StageEncoder> makeAudioEncoder(const BinkContext& context, const AudioEncoderOptions& options) {
    return std::make_unique<AudioEncoder>(context, options);
}

std::unique_ptr<StageEncoder> makeAudioEncoder(const BinkContext& context) {
    return makeAudioEncoder(context, AudioEncoderOptions());
}

}  // namespace dev
