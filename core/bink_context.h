// The file's facts: the Bink header values, flags, keyframe flags, the Bink 2
// slice geometry and the audio track properties.  The header decoder fills
// them before any stage exists; from then on they are read-only, and every
// stage holds them as const.  What changes while a frame is assembled is
// FrameOutput (writers/frame_output.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace dev {

constexpr int kStageSlots = 21;
constexpr int kMaxSlices = 8;

struct AudioTrackInfo {
    uint32_t sampleRate = 0;
    uint8_t stereo = 0;
    uint8_t dct = 0;  // flag 0x1000 set
};

struct BinkContext {
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
    uint8_t isBink2 = 0;
    uint8_t version = 0;
    uint32_t headerLength = 0;  // 44 or 48
    // The frame buffer: the largest frame size plus 512, rounded down to a
    // multiple of 512.
    size_t frameBufferSize = 0;

    uint32_t fileSize = 0;  // the file's length less the 8 bytes before this field
    uint32_t* keyframes = nullptr;     // frameCount + 1 flags
    uint32_t* frameStarts = nullptr;   // frameCount + 1 offsets: where each frame starts, then the file's end
    AudioTrackInfo* tracks = nullptr;  // audioTrackCount records

    // Bink 2 geometry (writers/bink2/geometry.h).
    uint32_t columnFlagCount = 0;
    uint32_t rowFlagCount = 0;
    uint32_t sliceCount = 0;
    uint32_t sliceEnds[kMaxSlices] = {};
    uint32_t rowBufferEntries = 0;  // of the Bink 2 writer's row buffer
};

}  // namespace dev
