// The Bink container, the same for both generations: the header, the audio
// track table, the frame index and, in each frame, the audio packets before
// the video packet.  Every word is a little-endian 32-bit word unless said
// otherwise.  The readers (header decoder, the packer's Bink reader,
// dev_inspect) and the makers of files (the generators and test helpers)
// name the layout from here.
#pragma once

#include <cstdint>

#include "core/little_endian.h"

namespace dev {

// Offsets of the header's fields.
namespace BinkHeader {
constexpr uint32_t kVersion = 3;            // the version letter after the three signature letters
constexpr uint32_t kFileSize = 4;           // the file's length less kFileSizeFrom
constexpr uint32_t kFileSizeFrom = 8;       // the bytes the file size leaves out: signature, version, itself
constexpr uint32_t kFrameCount = 8;
constexpr uint32_t kLargestFrame = 12;
constexpr uint32_t kFrameCountAgain = 16;   // the frame count once more
constexpr uint32_t kWidth = 20;
constexpr uint32_t kHeight = 24;
constexpr uint32_t kFpsNumerator = 28;
constexpr uint32_t kFpsDenominator = 32;
constexpr uint32_t kVideoFlags = 36;
constexpr uint32_t kTrackCount = 40;
constexpr uint32_t kBaseLength = 44;
constexpr uint32_t kExtraWord = 44;         // Bink 2 from version kFirstLongVersion on: one more word
constexpr uint32_t kLongLength = 48;
constexpr uint8_t kFirstLongVersion = 'i';
}  // namespace BinkHeader

// The signatures, three letters before the version letter.
constexpr char kBink1Signature[] = "BIK";
constexpr char kBink2Signature[] = "KB2";
constexpr uint32_t kSignatureLetters = 3;

constexpr bool hasSignature(const uint8_t* bytes, const char* signature) {
    return bytes[0] == uint8_t(signature[0]) && bytes[1] == uint8_t(signature[1]) && bytes[2] == uint8_t(signature[2]);
}
constexpr bool isBink1Signature(const uint8_t* bytes) { return hasSignature(bytes, kBink1Signature); }
constexpr bool isBink2Signature(const uint8_t* bytes) { return hasSignature(bytes, kBink2Signature); }
// The first kSignatureLetters bytes of a file of either generation.
constexpr bool isBinkSignature(const uint8_t* bytes) { return isBink1Signature(bytes) || isBink2Signature(bytes); }

// 44, or 48 for a Bink 2 file of version 'i' or later.
constexpr uint32_t binkHeaderLength(const uint8_t* signature) {
    return isBink2Signature(signature) && signature[BinkHeader::kVersion] >= BinkHeader::kFirstLongVersion
               ? BinkHeader::kLongLength
               : BinkHeader::kBaseLength;
}

// A header's fields, and their bytes: 44, or 48 when the signature asks for
// the long header (whose last word is extraWord).
struct BinkHeaderFields {
    char signature[4] = {'B', 'I', 'K', 'i'};  // three letters and the version letter
    uint32_t fileSize = 0;                     // the file's length less kFileSizeFrom
    uint32_t frameCount = 0;
    uint32_t largestFrame = 0;
    uint32_t width = 0, height = 0;
    uint32_t fpsNumerator = 30, fpsDenominator = 1;
    uint32_t videoFlags = 0;
    uint32_t trackCount = 0;
    uint32_t extraWord = 0;
};

// Writes the header to out (room for BinkHeader::kLongLength bytes); returns
// its length.
inline uint32_t writeBinkHeader(const BinkHeaderFields& f, uint8_t* out) {
    for (uint32_t i = 0; i <= BinkHeader::kVersion; ++i) out[i] = static_cast<uint8_t>(f.signature[i]);
    storeLe32(out + BinkHeader::kFileSize, f.fileSize);
    storeLe32(out + BinkHeader::kFrameCount, f.frameCount);
    storeLe32(out + BinkHeader::kLargestFrame, f.largestFrame);
    storeLe32(out + BinkHeader::kFrameCountAgain, f.frameCount);
    storeLe32(out + BinkHeader::kWidth, f.width);
    storeLe32(out + BinkHeader::kHeight, f.height);
    storeLe32(out + BinkHeader::kFpsNumerator, f.fpsNumerator);
    storeLe32(out + BinkHeader::kFpsDenominator, f.fpsDenominator);
    storeLe32(out + BinkHeader::kVideoFlags, f.videoFlags);
    storeLe32(out + BinkHeader::kTrackCount, f.trackCount);
    const uint32_t length = binkHeaderLength(out);
    if (length > BinkHeader::kBaseLength) storeLe32(out + BinkHeader::kExtraWord, f.extraWord);
    return length;
}

// The fields of the first BinkHeader::kBaseLength bytes of a header (the
// extra word of a long one is left 0: nothing reads it).
inline BinkHeaderFields readBinkHeader(const uint8_t* header) {
    BinkHeaderFields f;
    for (uint32_t i = 0; i <= BinkHeader::kVersion; ++i) f.signature[i] = static_cast<char>(header[i]);
    f.fileSize = loadLe32(header + BinkHeader::kFileSize);
    f.frameCount = loadLe32(header + BinkHeader::kFrameCount);
    f.largestFrame = loadLe32(header + BinkHeader::kLargestFrame);
    f.width = loadLe32(header + BinkHeader::kWidth);
    f.height = loadLe32(header + BinkHeader::kHeight);
    f.fpsNumerator = loadLe32(header + BinkHeader::kFpsNumerator);
    f.fpsDenominator = loadLe32(header + BinkHeader::kFpsDenominator);
    f.videoFlags = loadLe32(header + BinkHeader::kVideoFlags);
    f.trackCount = loadLe32(header + BinkHeader::kTrackCount);
    return f;
}

// Bits of the header's video flags word.
namespace BinkVideoFlag {
constexpr uint32_t kAlpha = 0x100000;      // an alpha plane before the colour planes
constexpr uint32_t kGrayscale = 0x20000;   // Bink 1: luma only
constexpr uint32_t kSliceChoice = 0x3;     // Bink 2: picks the slice count of tall frames
// Bink 2: set by most real Bink 2 files.  A DEV stream carries such a file
// as an extension of the format: unpackers that predate it refuse the stream
// (-4), and only in such a stream may a frame leave its alpha plane out
// (bink2::kNoAlphaPlane, writers/bink2/frame_flags.h).  `dev_pack` writes
// these streams only when asked (--extended).
constexpr uint32_t kBink2Extended = 0x40000;
}  // namespace BinkVideoFlag

// True for a file (and its stream) of the extension: one that unpackers
// before it refuse.
constexpr bool videoFlagsExtended(bool isBink2, uint32_t videoFlags) {
    return isBink2 && (videoFlags & BinkVideoFlag::kBink2Extended) != 0;
}

// The audio track table after the header: three arrays of one word per
// track, in track order: each track's largest decoded packet size; its
// sample rate (low 16 bits) and flags (high 16 bits); its identifier.
namespace BinkTrackTable {
constexpr uint32_t kBytesPerTrack = 12;
constexpr uint64_t decodedSizeAt(uint32_t /*tracks*/, uint32_t t) { return 4 * uint64_t(t); }
constexpr uint64_t rateAndFlagsAt(uint32_t tracks, uint32_t t) { return 4 * uint64_t(tracks) + 4 * uint64_t(t); }
constexpr uint64_t idAt(uint32_t tracks, uint32_t t) { return 8 * uint64_t(tracks) + 4 * uint64_t(t); }
constexpr uint32_t rateAndFlags(uint32_t sampleRate, uint32_t flags) { return (sampleRate & 0xFFFF) | flags << 16; }
constexpr uint16_t sampleRateOf(uint32_t rateAndFlags) { return static_cast<uint16_t>(rateAndFlags); }
constexpr uint16_t flagsOf(uint32_t rateAndFlags) { return static_cast<uint16_t>(rateAndFlags >> 16); }
}  // namespace BinkTrackTable

// Bits of a track's 16-bit flags.
namespace BinkTrackFlag {
constexpr uint32_t kDct = 0x1000;      // DCT coded; without it the track is in the raw mode
constexpr uint32_t kStereo = 0x2000;
constexpr uint32_t k16Bit = 0x4000;    // 16-bit output
constexpr uint32_t kRawMode = 0x8000;  // as encoders mark raw-mode tracks
}  // namespace BinkTrackFlag

// The frame index after the track table: frameCount + 1 words, word k the
// byte offset of frame k in the file with the key frame flag in bit 0; the
// last word is where the last frame ends.
namespace BinkFrameIndex {
constexpr uint32_t kWordBytes = 4;
constexpr uint32_t kKeyframe = 1;
constexpr uint64_t bytes(uint32_t frameCount) { return kWordBytes * (uint64_t(frameCount) + 1); }
constexpr uint32_t offsetOf(uint32_t word) { return word & ~kKeyframe; }
constexpr uint32_t keyframeOf(uint32_t word) { return word & kKeyframe; }
}  // namespace BinkFrameIndex

// Where the parts of a file begin, from its header length and counts.
struct BinkLayout {
    uint64_t trackTable;  // = the header length
    uint64_t frameIndex;
    uint64_t frames;      // the first frame, right after the frame index
};
constexpr BinkLayout binkLayout(uint32_t headerLength, uint32_t trackCount, uint32_t frameCount) {
    const uint64_t index = headerLength + uint64_t(trackCount) * BinkTrackTable::kBytesPerTrack;
    return {headerLength, index, index + BinkFrameIndex::bytes(frameCount)};
}

// In a frame, each track's audio packet is a word giving its byte count,
// then the bytes; the video packet fills the rest of the frame.
constexpr uint32_t kAudioPacketSizeBytes = 4;

}  // namespace dev
