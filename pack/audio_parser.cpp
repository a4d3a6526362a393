#include "pack/audio_parser.h"

#include <cstring>

namespace dev {

namespace {
// Least-significant-bit-first reader over the bytes of a packet; past the end
// it yields zero bits and remembers it.
struct BitReader {
    const uint8_t* data;
    size_t bits;
    size_t pos = 0;
    bool overrun = false;

    uint32_t get(uint32_t n) {
        uint32_t v = 0;
        for (uint32_t i = 0; i < n; ++i, ++pos) {
            if (pos >= bits) {
                overrun = true;
                continue;
            }
            v |= uint32_t((data[pos >> 3] >> (pos & 7)) & 1) << i;
        }
        return v;
    }
    void align32() { pos = (pos + 31) & ~size_t(31); }
};

bool parseChannel(const audio::AudioTrackState& t, BitReader& r, audio::AudioChannelValues& v) {
    std::memset(&v, 0, sizeof v);
    for (int n = 0; n < 2; ++n) {
        v.exponent[n] = static_cast<uint8_t>(r.get(5));
        v.mantissa[n] = r.get(23);
        v.sign[n] = static_cast<uint8_t>(r.get(1));
    }
    for (int l = 0; l < t.bandCount; ++l) v.quantisers[l] = static_cast<uint8_t>(r.get(8));
    const int frameLength = t.frameLength;
    int i = 2;
    while (i < frameLength && !r.overrun) {
        int j = i + 8;
        if (r.get(1)) j = i + audio::kRunGroups[r.get(4)] * 8;
        if (j > frameLength) j = frameLength;
        const uint32_t width = r.get(4);
        for (; i < j; ++i) {
            int32_t c = 0;
            if (width) {
                c = static_cast<int32_t>(r.get(width));
                if (c && r.get(1)) c = -c;
            }
            v.coefficients[i - 2] = static_cast<int16_t>(c);
        }
    }
    return !r.overrun;
}
}  // namespace

bool parseAudioPacket(const audio::AudioTrackState& t, std::span<const uint8_t> packet, AudioPacketValues& values,
                      std::string& why) {
    values.size = static_cast<uint32_t>(packet.size());
    values.blocks = 0;
    values.channels.clear();
    std::memset(values.sampleCount, 0, sizeof values.sampleCount);
    const size_t head = packet.size() < 4 ? packet.size() : 4;
    if (head) std::memcpy(values.sampleCount, packet.data(), head);
    if (packet.size() <= 4) return true;

    BitReader r{packet.data() + 4, (packet.size() - 4) * 8};
    while (r.pos < r.bits) {
        values.channels.resize(values.channels.size() + t.channels);
        audio::AudioChannelValues* block = values.channels.data() + values.channels.size() - t.channels;
        r.get(2);
        for (int ch = 0; ch < t.channels; ++ch) {
            if (!parseChannel(t, r, block[ch])) break;
        }
        r.align32();
        ++values.blocks;
        if (r.overrun || r.pos > r.bits) {
            why = "block " + std::to_string(values.blocks - 1) + " runs past the end of the packet";
            return false;
        }
    }
    const std::vector<uint8_t> again = writeAudioPacket(t, values);
    if (again.size() != packet.size() || std::memcmp(again.data(), packet.data(), again.size()) != 0) {
        size_t k = 0;
        while (k < again.size() && k < packet.size() && again[k] == packet[k]) ++k;
        why = "the packet is not written the way we write it (first difference at byte " + std::to_string(k) + ")";
        return false;
    }
    return true;
}

std::vector<uint8_t> writeAudioPacket(const audio::AudioTrackState& t, const AudioPacketValues& values) {
    // A block of a channel takes at most 2 + 58 + 8 x 25 + (1 + 4 + 4) x 256 +
    // 16 x 2046 bits; size the buffer for the worst case.
    const size_t perBlock = (2 + size_t(t.channels) * (58 + 8 * audio::kMaxBands + 9 * 256 + 16 * audio::kMaxCoefficients)) / 8 + 8;
    std::vector<uint8_t> out(4 + values.blocks * perBlock);
    ValueWriter w(out.data(), out.size());
    const uint32_t head = values.size < 4 ? values.size : 4;
    for (uint32_t k = 0; k < head; ++k) w.put8(values.sampleCount[k]);
    audio::AudioBitWriter bits(w);
    for (uint32_t b = 0; b < values.blocks; ++b) audio::emitBlock(bits, t, values.channels.data() + b * t.channels);
    out.resize(w.size());
    return out;
}

}  // namespace dev
