// The sub-streams of a Bink 1 file, numbered as the stage table numbers them
// (see StreamArray in core/sub_streams.h).  Every user names them from here:
// the stage outputs, the frame writer's readers, the packer's frames and the
// inspection tool.
#pragma once

#include "core/sub_streams.h"

namespace dev::bink1 {

enum Stream : int {
    kAudio = kAudioStream,    // audio packets of the frame
    kBlockTypes = 2,          // block types, Bink numbering (bundle 0)
    kSubBlockTypes = 3,       // content types of scaled blocks (bundle 1)
    kResidueBudgets = 4,      // 7-bit budget of each residue block
    kColours = 5,             // colours (bundle 2)
    kRuns = 6,                // run values (bundle 8)
    kRunFields = 7,           // scan index and fill flags of run blocks
    kYOffsets = 8,            // y offsets, signed bytes (bundle 5)
    kXOffsets = 9,            // x offsets, signed bytes (bundle 4)
    kPatterns = 10,           // pattern bytes (bundle 3)
    kPacketRecords = 11,      // per packet: first word, stored byte, alpha word or stored bytes
    kTrees = 12,              // fields of the tree descriptions
    kResidues = 13,           // residue fields: pass count, then one element per decision
    kChunkCounts = 14,        // bundle chunk counts, signed 16-bit
    kIntraQuantisers = 15,    // quantiser index of each intra block
    kIntraDc = 16,            // intra DC values, signed 16-bit (bundle 6)
    kIntraCoefficients = 17,  // intra coefficient lists
    kInterQuantisers = 18,    // quantiser index of each inter block
    kInterDc = 19,            // inter DC values, signed 16-bit (bundle 7)
    kInterCoefficients = 20,  // inter coefficient lists
    kFormChoices = 21,        // one-value form choices of offset and run chunks
};

// The outputs of each DCT block stage, in its table row's order: quantiser
// indices, DC values, coefficient lists.
struct DctStreams {
    int quantisers, dc, coefficients;
};
inline constexpr DctStreams kIntraStreams = {kIntraQuantisers, kIntraDc, kIntraCoefficients};
inline constexpr DctStreams kInterStreams = {kInterQuantisers, kInterDc, kInterCoefficients};
constexpr const DctStreams& dctStreams(bool inter) { return inter ? kInterStreams : kIntraStreams; }

}  // namespace dev::bink1
