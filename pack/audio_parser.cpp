#include "pack/audio_parser.h"

#include <cstring>

#include "writers/bit_reader.h"

namespace dev {

namespace {

// Worst case of one block's bytes: per channel two floats, 25 quantisers,
// 256 run headers and 16 bits per coefficient.
size_t maxBlockBytes(const audio::AudioTrackState& t) {
    return (2 + size_t(t.channels) * (58 + 8 * audio::kMaxBands + 9 * 256 + 16 * audio::kMaxCoefficients)) / 8 + 8;
}

void readChannel(const audio::AudioTrackState& t, BitReader& r, audio::AudioChannelValues& v) {
    std::memset(&v, 0, sizeof v);
    for (int n = 0; n < 2; ++n) {
        v.exponent[n] = static_cast<uint8_t>(r.get(5));
        v.mantissa[n] = r.get(23);
        v.sign[n] = static_cast<uint8_t>(r.get(1));
    }
    for (int l = 0; l < t.bandCount; ++l) v.quantisers[l] = static_cast<uint8_t>(r.get(8));
    const int frameLength = t.frameLength;
    int i = 2;
    while (i < frameLength && !r.overrun()) {
        int j = i + 8;
        if (r.get(1)) j = i + audio::kRunGroups[r.get(4)] * 8;
        if (j > frameLength) j = frameLength;
        const int width = static_cast<int>(r.get(4));
        for (; i < j; ++i) {
            int32_t c = 0;
            if (width) {
                c = static_cast<int32_t>(r.get(width));
                if (c && r.get(1)) c = -c;
            }
            v.coefficients[i - 2] = static_cast<int16_t>(c);
        }
    }
}

}  // namespace

AudioPacketReader::AudioPacketReader(const audio::AudioTrackState& t, std::span<const uint8_t> packet)
    : t_(t), packet_(packet), again_(maxBlockBytes(t)) {}

bool AudioPacketReader::readBlock(audio::AudioChannelValues* channels, std::string& why) {
    const size_t start = next_;
    BitReader r(packet_.data() + start, packet_.size() - start);
    r.get(2);
    for (int ch = 0; ch < t_.channels; ++ch) readChannel(t_, r, channels[ch]);
    r.alignTo32();
    if (r.overrun()) {
        why = "block " + std::to_string(blocks_) + " runs past the end of the packet";
        return false;
    }
    const size_t length = r.position() / 8;
    ValueWriter w(again_.data(), again_.size());
    audio::AudioBitWriter bits(w);
    audio::emitBlock(bits, t_, channels);
    if (w.size() != length || std::memcmp(again_.data(), packet_.data() + start, length) != 0) {
        size_t k = 0;
        while (k < w.size() && k < length && again_[k] == packet_[start + k]) ++k;
        why = "block " + std::to_string(blocks_) + " is not written the way the stage writes it (first difference at byte " +
              std::to_string(start + k) + ")";
        return false;
    }
    next_ = start + length;
    ++blocks_;
    return true;
}

bool parseAudioPacket(const audio::AudioTrackState& t, std::span<const uint8_t> packet, AudioPacketValues& values,
                      std::string& why) {
    AudioPacketReader reader(t, packet);
    values.size = static_cast<uint32_t>(packet.size());
    values.blocks = 0;
    values.channels.clear();
    std::memset(values.sampleCount, 0, sizeof values.sampleCount);
    for (uint32_t k = 0; k < reader.headLength(); ++k) values.sampleCount[k] = reader.head(k);
    while (!reader.atEnd()) {
        values.channels.resize(values.channels.size() + t.channels);
        if (!reader.readBlock(values.channels.data() + values.channels.size() - t.channels, why)) return false;
        ++values.blocks;
    }
    return true;
}

std::vector<uint8_t> writeAudioPacket(const audio::AudioTrackState& t, const AudioPacketValues& values) {
    std::vector<uint8_t> out(4 + values.blocks * maxBlockBytes(t));
    ValueWriter w(out.data(), out.size());
    const uint32_t head = values.size < 4 ? values.size : 4;
    for (uint32_t k = 0; k < head; ++k) w.put8(values.sampleCount[k]);
    audio::AudioBitWriter bits(w);
    for (uint32_t b = 0; b < values.blocks; ++b) audio::emitBlock(bits, t, values.channels.data() + b * t.channels);
    out.resize(w.size());
    return out;
}

}  // namespace dev
