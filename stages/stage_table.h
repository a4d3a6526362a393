// The stage tables: which routine each stage row runs and which sub-streams
// it writes, for each Bink generation.  The driver creates the stages of a
// run from them; the tools and the packer read the same rows.
#pragma once

#include <cstdint>

#include "core/stage_protocol.h"

namespace dev {

struct StageRow {
    uint8_t outputs[kMaxStageOutputs];  // sub-stream numbers 1..21, ended by 0
    StageRoutine routine;

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
};

// The combined table of the product (Bink 1 rows, then Bink 2 rows).
extern const StageTable kStageTable;

}  // namespace dev
