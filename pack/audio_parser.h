// Reads a Bink DCT audio packet the way a Bink audio decoder reads it, into
// the values the audio stage decodes, and writes values back as the stage
// emits them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pack/status.h"
#include "stages/audio_grammar.h"

namespace dev {

// Reads the blocks of one packet one at a time, so that the memory it needs
// does not grow with the packet.  Each block is checked on the spot: its
// bits must be exactly the ones the stage emits for the values read (a Bink
// decoder would read other forms the same, but the stage could not
// reproduce them).
class AudioPacketReader {
public:
    // t: the track's layout (audio::setupTrack); packet: the bytes after the
    // 32-bit size.  The packet must outlive the reader.
    AudioPacketReader(const audio::AudioTrackState& t, std::span<const uint8_t> packet);

    // The first min(4, size) bytes: the count of decoded sample bytes.
    uint32_t headLength() const { return packet_.size() < 4 ? static_cast<uint32_t>(packet_.size()) : 4; }
    uint8_t head(uint32_t k) const { return packet_[k]; }

    bool atEnd() const { return next_ >= packet_.size() || packet_.size() <= 4; }
    // Reads the next block into channels[0 .. channel count - 1].  The
    // reason when it runs past the packet or does not rewrite.
    Status readBlock(audio::AudioChannelValues* channels);
    uint32_t blocksRead() const { return blocks_; }

private:
    const audio::AudioTrackState& t_;
    std::span<const uint8_t> packet_;
    size_t next_ = 4;  // first byte of the next block
    uint32_t blocks_ = 0;
    std::vector<uint8_t> again_;
};

struct AudioPacketValues {
    uint32_t size = 0;            // packet bytes
    uint8_t sampleCount[4] = {};  // the first min(4, size) bytes
    uint32_t blocks = 0;
    // blocks x channels entries, channel 0 of block 0 first.
    std::vector<audio::AudioChannelValues> channels;
};

// The whole packet at once (tests, tools); the reason as above.
Status parseAudioPacket(const audio::AudioTrackState& t, std::span<const uint8_t> packet, AudioPacketValues& values);

// The packet bytes the stage emits for values.
std::vector<uint8_t> writeAudioPacket(const audio::AudioTrackState& t, const AudioPacketValues& values);

}  // namespace dev
