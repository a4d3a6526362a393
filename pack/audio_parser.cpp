#include "pack/audio_parser.h"

#include <cstring>

#include "writers/audio_syntax.h"
#include "writers/bit_direction.h"

namespace dev {

AudioPacketReader::AudioPacketReader(const audio::AudioTrackState& t, std::span<const uint8_t> packet)
    : t_(t), packet_(packet), again_(audio::maxBlockBytes(t)) {}

Status AudioPacketReader::readBlock(audio::AudioChannelValues* channels) {
    const size_t start = next_;
    std::memset(channels, 0, sizeof *channels * static_cast<size_t>(t_.channels));
    BitsIn in(BitReader(packet_.data() + start, packet_.size() - start));
    audio::blockSyntax(in, t_, channels);
    if (in.r.overrun()) return "block " + std::to_string(blocks_) + " runs past the end of the packet";
    const size_t length = in.r.position() / 8;
    BitsOut again(BitWriter(again_.data(), again_.data() + again_.size()));
    audio::blockSyntax(again, t_, channels);
    const size_t written = static_cast<size_t>(again.w.out - again_.data());
    if (written != length || std::memcmp(again_.data(), packet_.data() + start, length) != 0) {
        size_t k = 0;
        while (k < written && k < length && again_[k] == packet_[start + k]) ++k;
        return "block " + std::to_string(blocks_) + " is not written the way the stage writes it (first difference at byte " +
               std::to_string(start + k) + ")";
    }
    next_ = start + length;
    ++blocks_;
    return {};
}

Status parseAudioPacket(const audio::AudioTrackState& t, std::span<const uint8_t> packet, AudioPacketValues& values) {
    AudioPacketReader reader(t, packet);
    values.size = static_cast<uint32_t>(packet.size());
    values.blocks = 0;
    values.channels.clear();
    std::memset(values.sampleCount, 0, sizeof values.sampleCount);
    for (uint32_t k = 0; k < reader.headLength(); ++k) values.sampleCount[k] = reader.head(k);
    while (!reader.atEnd()) {
        values.channels.resize(values.channels.size() + t.channels);
        if (Status read = reader.readBlock(values.channels.data() + values.channels.size() - t.channels); !read.ok())
            return read;
        ++values.blocks;
    }
    return {};
}

std::vector<uint8_t> writeAudioPacket(const audio::AudioTrackState& t, const AudioPacketValues& values) {
    std::vector<uint8_t> out(4 + values.blocks * audio::maxBlockBytes(t));
    const uint32_t head = values.size < 4 ? values.size : 4;
    std::memcpy(out.data(), values.sampleCount, head);
    BitsOut bits(BitWriter(out.data() + head, out.data() + out.size()));
    // The writing direction only reads the values.
    auto* channels = const_cast<audio::AudioChannelValues*>(values.channels.data());
    for (uint32_t b = 0; b < values.blocks; ++b) audio::blockSyntax(bits, t, channels + b * t.channels);
    out.resize(static_cast<size_t>(bits.w.out - out.data()));
    return out;
}

}  // namespace dev
