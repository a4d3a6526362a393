// The sub-streams of a Bink 2 file, numbered as the stage table numbers them
// (see StreamArray in core/sub_streams.h).  Sub-streams 11 to 21 are unused.
// The values the video stage writes into 2..10, element by element, are laid
// out in stages/bink2_video_layout.h.
#pragma once

#include "core/sub_streams.h"

namespace dev::bink2 {

enum Stream : int {
    kAudio = kAudioStream,      // audio packets of the frame
    kMacroblockTypes = 2,       // macroblock types
    kMotionVectors = 3,         // vector count flags and vector components
    kFrameHeader = 4,           // frame flags word, slice offsets, flag lists
    kIntraQuantisers = 5,       // intra quantisers
    kIntraBlockData = 6,        // intra pattern bits, DC values, chroma choices
    kIntraCoefficients = 7,     // intra coefficient lists
    kResidueQuantisers = 8,     // residue quantisers and chroma-present flags
    kResidueBlockData = 9,      // residue pattern bits, DC values, chroma choices
    kResidueCoefficients = 10,  // residue coefficient lists
};

// The sub-streams of the video stage, in its table row's order: every one the
// frame's video packet is written from.
inline constexpr int kVideoStreams[] = {kMacroblockTypes,   kMotionVectors,    kFrameHeader,
                                        kIntraQuantisers,   kIntraBlockData,   kIntraCoefficients,
                                        kResidueQuantisers, kResidueBlockData, kResidueCoefficients};

}  // namespace dev::bink2
