// Random but valid Bink DCT audio packets, for synthetic Bink files and tests.
//
// A packet is what follows the 32-bit packet size in a Bink frame record:
//   - 4 bytes, little-endian: the number of decoded bytes the packet yields
//     (blocks x samples per block x channels x 2, where a block yields
//     frame length - frame length / 16 samples per channel);
//   - then the blocks, each a whole number of 32-bit words (a block starts
//     with two zero bits and is padded with zero bits to a 32-bit boundary).
// So the packet size is 4 + the sum of the block sizes: always a multiple of
// 4, at least 4 + 4 x blocks, and it depends on the random content (roughly a
// few hundred bytes per block and channel).  With 0 blocks the packet is the
// 4 sample-count bytes alone.  The frame length (512, 1024 or 2048
// coefficients per channel and block) and the band count follow from the
// sample rate as a Bink audio decoder derives them.
//
// The content is made so that the packer's parser reads it back and our
// emission rewrites it bit for bit: every group width is the bit length of its
// largest magnitude, every run is the longest the run table allows, and every
// magnitude fits in 15 bits.
#pragma once

#include <cstdint>
#include <vector>

namespace dev {

// Same arguments, same bytes.
std::vector<uint8_t> makeAudioPacket(uint32_t sampleRate, bool stereo, uint32_t seed, uint32_t blocks);

// Options for packets that resemble real audio more closely (references pay
// off on them): each block's coefficients are the previous block's plus small
// noise, and a stereo channel 1 follows channel 0.
struct AudioPacketOptions {
    uint32_t sampleRate = 44100;
    bool stereo = false;
    uint32_t seed = 1;
    uint32_t blocks = 1;
    // 0: every block independent.  1: blocks and channels correlated.
    int correlated = 0;
    // Largest coefficient magnitude in the first band (at most 32767); the
    // magnitudes fall off towards the high bands.
    uint32_t loudness = 400;
};
std::vector<uint8_t> makeAudioPacket(const AudioPacketOptions& options);

}  // namespace dev
