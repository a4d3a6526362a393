#include "testkit/audio_generator.h"

#include <cstring>

#include "pack/audio_parser.h"

namespace dev {

namespace {
// Small deterministic generator (xorshift), so packets depend on the seed only.
struct Random {
    uint64_t s;
    explicit Random(uint32_t seed) : s(0x9E3779B97F4A7C15ull ^ (uint64_t(seed) * 0xD1B54A32D192ED03ull)) { next(); }
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<uint32_t>(s >> 11);
    }
    uint32_t below(uint32_t n) { return n ? next() % n : 0; }
};

int16_t clampCoefficient(int32_t v) {
    if (v > audio::kMaxCoefficient) v = audio::kMaxCoefficient;
    if (v < -audio::kMaxCoefficient) v = -audio::kMaxCoefficient;
    return static_cast<int16_t>(v);
}

void makeChannel(Random& rnd, const audio::AudioTrackState& t, const AudioPacketOptions& o,
                 const audio::AudioChannelValues* like, audio::AudioChannelValues& v) {
    std::memset(&v, 0, sizeof v);
    for (int n = 0; n < 2; ++n) {
        v.exponent[n] = static_cast<uint8_t>(like ? like->exponent[n] : rnd.below(32));
        v.mantissa[n] = rnd.next() & 0x7FFFFF;
        v.sign[n] = static_cast<uint8_t>(rnd.below(2));
    }
    for (int l = 0; l < t.bandCount; ++l) {
        // Mostly moderate quantisers, now and then above the clamp at 95.
        const uint32_t q = rnd.below(8) == 0 ? 90 + rnd.below(166) : 20 + rnd.below(60);
        v.quantisers[l] = static_cast<uint8_t>(like ? like->quantisers[l] : q);
    }
    const int count = t.frameLength - 2;
    const uint32_t loud = o.loudness > uint32_t(audio::kMaxCoefficient) ? audio::kMaxCoefficient : o.loudness;
    for (int i = 0; i < count; ++i) {
        if (like) {
            // Small changes against the model, most coefficients unchanged.
            const int32_t noise = rnd.below(4) == 0 ? int32_t(rnd.below(5)) - 2 : 0;
            v.coefficients[i] = clampCoefficient(like->coefficients[i] + noise);
            continue;
        }
        // Magnitudes fall off with frequency; zeros grow more frequent.
        const uint32_t limit = static_cast<uint32_t>(uint64_t(loud) * uint64_t(count - i) / uint64_t(count) / (1 + i / 64));
        if (rnd.below(count) < uint32_t(i) / 2 + uint32_t(count) / 8 || limit == 0) continue;
        const int32_t mag = static_cast<int32_t>(rnd.below(limit + 1));
        v.coefficients[i] = clampCoefficient(rnd.below(2) ? -mag : mag);
    }
    // Now and then one loud coefficient, so wide groups occur.
    if (rnd.below(4) == 0) v.coefficients[rnd.below(count)] = clampCoefficient(int32_t(loud) * (rnd.below(2) ? 1 : -1));
}
}  // namespace

std::vector<uint8_t> makeAudioPacket(const AudioPacketOptions& o) {
    audio::AudioTrackState t;
    std::memset(&t, 0, sizeof t);
    audio::setupTrack(t, o.sampleRate, o.stereo);
    Random rnd(o.seed);
    AudioPacketValues values;
    values.size = 4;
    values.blocks = o.blocks;
    values.channels.resize(size_t(o.blocks) * t.channels);
    const uint32_t samples = o.blocks * uint32_t(t.frameLength - t.frameLength / 16) * uint32_t(t.channels) * 2;
    for (int k = 0; k < 4; ++k) values.sampleCount[k] = static_cast<uint8_t>(samples >> (8 * k));
    for (uint32_t b = 0; b < o.blocks; ++b) {
        for (int ch = 0; ch < t.channels; ++ch) {
            const audio::AudioChannelValues* like = nullptr;
            if (o.correlated) {
                if (ch == 1) like = &values.channels[size_t(b) * t.channels];
                else if (b > 0) like = &values.channels[size_t(b - 1) * t.channels];
            }
            makeChannel(rnd, t, o, like, values.channels[size_t(b) * t.channels + ch]);
        }
    }
    return writeAudioPacket(t, values);
}

std::vector<uint8_t> makeAudioPacket(uint32_t sampleRate, bool stereo, uint32_t seed, uint32_t blocks) {
    AudioPacketOptions o;
    o.sampleRate = sampleRate;
    o.stereo = stereo;
    o.seed = seed;
    o.blocks = blocks;
    return makeAudioPacket(o);
}

}  // namespace dev
