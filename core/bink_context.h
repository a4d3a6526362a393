// The run's shared record: Bink header values, flags, keyframe flags, the frame
// buffer and its write cursor, the sub-streams, the stages, the Bink 2 slice
// geometry and the audio track properties.  Owned by the driver; the stages
// only read it after they have been started.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dev {

struct Stage;
struct StreamBuffer;

constexpr int kStreamCount = 21;  // sub-streams 1..21 are StreamBuffers 0..20
constexpr int kStageSlots = 21;
constexpr int kMaxSlices = 8;

struct AudioTrackInfo {
    uint32_t sampleRate = 0;
    uint8_t stereo = 0;
    uint8_t dct = 0;  // flag 0x1000 set
};

// One of the nine bundle work areas of the Bink 1 plane writer.
struct BundleArea {
    uint8_t* start = nullptr;
    uint8_t* end = nullptr;
};

struct BinkContext {
    // Frame assembly: write cursor and end of frameBuffer.
    uint8_t* out = nullptr;
    uint8_t* outEnd = nullptr;
    uint32_t bitBuffer = 0;
    uint32_t bitCount = 0;
    uint32_t frameNumber = 0;

    // From the Bink header.
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t frameCount = 0;
    uint32_t audioTrackCount = 0;
    uint32_t videoFlags = 0;
    uint32_t largestFrameSize = 0;
    uint8_t hasAlpha = 0;
    uint8_t grayscale = 0;
    uint8_t noDctTrack = 0;
    uint32_t planeCount = 0;
    uint8_t endSeen = 0;
    uint8_t isBink2 = 0;
    uint8_t version = 0;
    uint32_t headerLength = 0;  // 44 or 48

    Stage* stages = nullptr;          // kStageSlots slots
    StreamBuffer* streams = nullptr;  // kStreamCount buffers

    uint32_t* keyframes = nullptr;  // frameCount + 1 flags
    uint8_t* frameBuffer = nullptr;
    size_t frameBufferSize = 0;

    // Bink 2 geometry.
    uint32_t columnFlagCount = 0;
    uint32_t rowFlagCount = 0;
    uint32_t sliceCount = 0;
    uint32_t sliceEnds[kMaxSlices] = {};
    uint16_t* rowBuffer = nullptr;
    uint32_t rowBufferEntries = 0;

    // Bink 1 bundle work areas (nine, each 64 bytes per 8x8 block of the frame).
    BundleArea bundles[9];

    AudioTrackInfo* tracks = nullptr;  // audioTrackCount records
};

}  // namespace dev
