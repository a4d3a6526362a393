// Reads a Bink DCT audio packet the way a Bink audio decoder reads it, into
// the values the audio stage decodes, and writes values back as the stage
// emits them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "stages/audio_grammar.h"

namespace dev {

struct AudioPacketValues {
    uint32_t size = 0;            // packet bytes
    uint8_t sampleCount[4] = {};  // the first min(4, size) bytes
    uint32_t blocks = 0;
    // blocks x channels entries, channel 0 of block 0 first.
    std::vector<audio::AudioChannelValues> channels;
};

// Parses one packet of a track with layout t (audio::setupTrack).  false, with
// the reason, when the packet runs short or when its bits are not exactly the
// ones the stage emits for the values read (every Bink decoder would read
// them the same, but the stage could not reproduce them).
bool parseAudioPacket(const audio::AudioTrackState& t, std::span<const uint8_t> packet, AudioPacketValues& values,
                      std::string& why);

// The packet bytes the stage emits for values.
std::vector<uint8_t> writeAudioPacket(const audio::AudioTrackState& t, const AudioPacketValues& values);

}  // namespace dev
