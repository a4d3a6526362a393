// Synthetic Bink 1 files for tests.
//
// The generator draws random but valid values for every element of each
// video frame (block types, bundle contents, coefficient lists, residue
// walks, run fields, plane trees, bundle chunk counts and form choices) in the
// value layout the Bink 1 stages produce (the video sub-streams of a PackFrame),
// and lets the product's own frame assembly write the packet bitstreams from
// them.  It then wraps the frames in a Bink header, audio track table and frame
// index.  Every file it makes is meant to decode cleanly with any Bink 1
// decoder and to survive the pack/unpack round trip unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace dev {

struct GeneratorAudioTrack {
    uint32_t sampleRate = 44100;  // 1..65535
    bool stereo = false;
    // Flag 0x1000: DCT coded.  Without it the track is in the raw mode (which
    // the stages carry byte for byte); stereo raw-mode tracks are made for
    // 11025..44099 Hz only.
    bool dct = true;
    uint32_t packetPercent = 100;  // chance that a frame carries a packet for this track
};

// Block kinds, in the order of the stage's block-type symbols: single blocks
// skip, motion, run, residue, intra, fill, inter, pattern, raw, then scaled
// (16x16) blocks of sub-type intra, fill, run, pattern, raw.
enum GeneratorBlockKind : int {
    kGenSkip, kGenMotion, kGenRun, kGenResidue, kGenIntra, kGenFill, kGenInter, kGenPattern, kGenRaw,
    kGenScaledIntra, kGenScaledFill, kGenScaledRun, kGenScaledPattern, kGenScaledRaw,
    kGenBlockKinds
};

struct GeneratorOptions {
    uint32_t width = 64;
    uint32_t height = 48;
    uint32_t frames = 3;
    bool alpha = false;
    bool grayscale = false;
    uint64_t seed = 1;
    uint32_t fpsNumerator = 30;
    uint32_t fpsDenominator = 1;
    std::vector<GeneratorAudioTrack> audio;

    // Relative weight of each block kind.  Kinds that read the previous frame
    // (skip, motion, residue, inter) are never used in key frames.
    std::array<uint32_t, kGenBlockKinds> blockWeights = {3, 3, 3, 3, 3, 3, 3, 3, 2, 1, 1, 1, 1, 1};
    // Chance (percent) that a frame after the first is a key frame.
    uint32_t keyframePercent = 10;
    // Chance (percent) that a frame's video packet carries trailing bytes that
    // a decoder ignores but a packer cannot rebuild, so it is stored raw.
    // Never applied to grayscale files, whose decoders would read the bytes
    // as chroma planes.
    uint32_t storedPercent = 0;
    // Chance (percent) that a bundle chunk also carries the values of the next
    // block row (chunks then span several rows).
    uint32_t multiRowChunkPercent = 25;
    // Chance (percent) that a value is drawn at its limit (largest DC,
    // largest coefficient magnitude, longest motion offset, empty budget).
    uint32_t extremePercent = 10;
    // Chance (percent) that a bundle value repeats the previous one, which
    // makes uniform chunks (and their one-value forms) common.
    uint32_t repeatPercent = 30;
    // Scaled blocks may also start in odd block columns.  The format allows
    // it and our stages and writers handle it, but the stock decoder we check
    // files with rejects such frames, so it is off by default.
    bool scaledOnOddColumns = false;
};

enum GeneratorLimit : uint32_t {
    kGenLimitIntraDcZero = 1, kGenLimitIntraDcMax = 2,   // 0 and 2047
    kGenLimitInterDcMin = 4, kGenLimitInterDcMax = 8,    // -2047 and 2047
    kGenLimitCoefficient = 16,                          // a magnitude of 1023
    kGenLimitFullList = 32,                             // 63 coefficients
};

struct GeneratedBink {
    bool ok = false;
    std::string error;
    std::vector<uint8_t> bytes;
    uint32_t storedFrames = 0;  // frames whose video packet a packer must store
    uint32_t keyframes = 0;
    std::array<uint32_t, kGenBlockKinds> blockCounts = {};  // blocks written, by kind
    uint32_t runsEndingOn63 = 0;
    uint32_t runsEndingOn64 = 0;
    // Motion offsets used, bit v + 15 for offset v (-15..15).
    uint32_t xOffsetsSeen = 0;
    uint32_t yOffsetsSeen = 0;
    uint32_t residuesWithoutBudget = 0;
    // Limits reached (kGenLimit... bits).
    uint32_t limitsSeen = 0;
    uint32_t scaledInLastColumn = 0;
};

GeneratedBink generateBink1File(const GeneratorOptions& options);

// The file alone; empty when it cannot be made (see generateBink1File).
std::vector<uint8_t> generateBink1(const GeneratorOptions& options);

// Shared by the generators of both generations.
class GeneratorRng;

struct GeneratedFrame {
    std::vector<std::vector<uint8_t>> audio;  // per track: the packet, empty = none
    std::vector<uint8_t> video;
    bool keyframe = false;
};

// Why the tracks cannot be generated, or nullptr.
const char* unsupportedAudio(const std::vector<GeneratorAudioTrack>& tracks);

// One frame's audio packets, a packet per track (empty: none this frame).
std::vector<std::vector<uint8_t>> generateAudioPackets(const std::vector<GeneratorAudioTrack>& tracks, GeneratorRng& rng);

// The fields of a generated file's header that are not counted from its
// frames.  A Bink 2 signature from version 'i' on makes a 48-byte header
// whose last word is extraWord.
struct BinkFileLayout {
    char signature[4] = {'B', 'I', 'K', 'i'};
    uint32_t width = 0, height = 0;
    uint32_t fpsNumerator = 30, fpsDenominator = 1;
    uint32_t videoFlags = 0;
    uint32_t extraWord = 0;
};

// Header, audio track table, frame index and frames, as a Bink encoder lays
// them out.
std::vector<uint8_t> layOutBinkFile(const BinkFileLayout& layout, const std::vector<GeneratorAudioTrack>& audio,
                                    const std::vector<GeneratedFrame>& frames);

}  // namespace dev
