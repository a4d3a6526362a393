// The stage tables: for each Bink generation, the stage rows, each naming the
// routine that decodes its chunks, the sub-streams it writes and the kind of
// stage it is.  The driver creates the stages of a run from them; the packer
// builds the encoder of each stage from the same rows (by its kind), and the
// tools read them too.
#pragma once

#include <cstdint>

#include "core/stage_protocol.h"

namespace dev {

// What a stage does, which the packer maps to the encoder that mirrors it.
enum class StageKind : uint8_t {
    None,          // a row of a hand-made table (tests): no encoder
    Audio,         // audio packets
    VideoFrame,    // Bink 1 block types to residue fields
    BundleLength,  // Bink 1 bundle chunk counts
    DctIntra,      // Bink 1 intra DCT blocks
    DctInter,      // Bink 1 inter DCT blocks
    Copy,          // the chunk is its one sub-stream's bytes
    Bink2Video,    // Bink 2 video packet
};

// A short name of each kind, for the tools' reports.
constexpr const char* stageKindName(StageKind kind) {
    switch (kind) {
        case StageKind::Audio: return "audio";
        case StageKind::VideoFrame: return "video frame";
        case StageKind::BundleLength: return "bundle lengths";
        case StageKind::DctIntra: return "DCT intra";
        case StageKind::DctInter: return "DCT inter";
        case StageKind::Copy: return "copy";
        case StageKind::Bink2Video: return "Bink 2 video";
        case StageKind::None: break;
    }
    return "";
}

struct StageRow {
    uint8_t outputs[kMaxStageOutputs];  // sub-stream numbers 1..21, ended by 0
    StageRoutine routine;
    StageKind kind = StageKind::None;

    // Rows without outputs or routine create no stage.
    bool inUse() const { return outputs[0] != 0 && routine != nullptr; }
};

// 21 rows for Bink 1 files followed by 21 rows for Bink 2 files.
struct StageTable {
    StageRow rows[2 * kStageSlots];

    // The rows of one generation.
    const StageRow* generation(bool isBink2) const { return rows + kStageSlots * (isBink2 ? 1 : 0); }
    // The stages the driver creates for a generation (from slot 0, without
    // gaps): the rows in use.
    int stageCount(bool isBink2) const {
        int n = 0;
        for (int r = 0; r < kStageSlots; ++r) n += generation(isBink2)[r].inUse() ? 1 : 0;
        return n;
    }
    // The row of stage s of a generation (s < stageCount()).
    const StageRow& stageRow(bool isBink2, int s) const {
        const StageRow* row = generation(isBink2);
        for (;; ++row)
            if (row->inUse() && s-- == 0) return *row;
    }
};

// The combined table of the product (Bink 1 rows, then Bink 2 rows).
extern const StageTable kStageTable;

}  // namespace dev
