// Synthetic Bink 2 files for tests.
//
// The generator runs the Bink 2 frame syntax with a drawing policy: wherever
// the writer takes a value from a sub-stream, the generator draws one that the
// syntax can write (a quantiser within reach of its predictor, coefficient
// lists that agree with a predicted chroma pattern, ...) and records it.  The
// product's own frame assembly then writes the video packets from the
// recorded values, and the frames are wrapped in a Bink 2 header, audio
// track table and frame index.  Every file is meant to decode cleanly with a
// Bink 2 decoder and to survive the pack/unpack round trip unchanged.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "testkit/bink_generator.h"
#include "writers/bink2/codes.h"

namespace dev {

struct Bink2GeneratorOptions {
    uint32_t width = 64;
    uint32_t height = 64;
    uint32_t frames = 3;
    bool alpha = false;
    char version = 'j';         // 'h': 44-byte header; 'i' and later: 48 bytes
    uint32_t sliceChoice = 0;   // video flags & 3: 2, 3, 4 or 8 slices from a height of 128 on
    // Header flag BinkVideoFlag::kBink2Extended, and with it frames that
    // leave the alpha plane out (frame flag bink2::kNoAlphaPlane, this
    // chance in percent per frame).
    bool extended = false;
    uint32_t noAlphaPercent = 40;
    uint64_t seed = 1;
    std::vector<GeneratorAudioTrack> audio;

    // Chance (percent) that a frame after the first is a key frame.
    uint32_t keyframePercent = 15;
    // Relative weights of the macroblock types intra, skip, motion, motion
    // with residue in other frames.
    std::array<uint32_t, 4> typeWeights = {2, 3, 3, 3};
    // Chances (percent) per frame: frame flag 0x40000 (an empty luma or alpha
    // pattern has no extra bit); flag lists (then rows only, columns only or
    // both); per list, run coding rather than raw.
    uint32_t bareEmptyPercent = 50;
    uint32_t flagListPercent = 60;
    uint32_t runListPercent = 60;
    // Chance (percent) that all lists of a plane are empty.
    uint32_t emptyPlanePercent = 25;
    // Chance (percent) that a value is drawn at or near its limit.
    uint32_t extremePercent = 10;
    // Chance (percent) that a motion vector component is 0.  The Bink 2
    // decoder we check files with crashes on non-zero vectors in rows of 32
    // or more macroblocks (real files of that width decode), so wide files
    // meant for it keep their vectors at 0.
    uint32_t zeroVectorPercent = 25;
};

struct GeneratedBink2 {
    bool ok = false;
    std::string error;
    std::vector<uint8_t> bytes;
    uint32_t keyframes = 0;
    // The values of sub-streams 2 to 10 of every frame, as drawn.
    std::vector<std::array<std::vector<uint8_t>, 11>> values;
    // The cases of the syntax the file exercises (bink2::cases).
    std::bitset<bink2::cases::kCaseCount> seen;
};

GeneratedBink2 generateBink2File(const Bink2GeneratorOptions& options);

}  // namespace dev
