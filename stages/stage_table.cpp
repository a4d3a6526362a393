#include "core/pipeline.h"
#include "stages/stages.h"

namespace dev {

namespace {

constexpr StageRow kEmptyRow = {{0}, nullptr};

constexpr StageTable buildTable() {
    StageTable t{};
    for (auto& row : t.rows) row = kEmptyRow;
    // Bink 1 rows.
    t.rows[0] = {{1}, AudioStage};
    t.rows[1] = {{2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, VideoFrameStage};
    t.rows[13] = {{14}, BundleLengthStage};
    t.rows[14] = {{15, 16, 17}, DctBlockStage};
    t.rows[17] = {{18, 19, 20}, DctBlockStage};
    t.rows[20] = {{21}, copyStage};
    // Bink 2 rows.
    t.rows[kStageSlots + 0] = {{1}, AudioStage};
    t.rows[kStageSlots + 1] = {{2, 3, 4, 5, 6, 7, 8, 9, 10}, VideoStage};
    return t;
}

}  // namespace

const StageTable kStageTable = buildTable();

}  // namespace dev
