#include "stages/stage_table.h"
#include "stages/stages.h"
#include "stages/video_frame_layout.h"
#include "writers/bink1/streams.h"
#include "writers/bink2/streams.h"

namespace dev {

namespace {

// Each row sits at the position of its first sub-stream.
template <size_t N>
constexpr void place(StageRow* rows, const int (&streams)[N], StageRoutine routine) {
    static_assert(N <= kMaxStageOutputs);
    StageRow& row = rows[streams[0] - 1];
    for (size_t i = 0; i < N; ++i) row.outputs[i] = static_cast<uint8_t>(streams[i]);
    row.routine = routine;
}

constexpr StageTable buildTable() {
    StageTable t{};
    for (auto& row : t.rows) row = StageRow{{0}, nullptr};
    StageRow* bink1Rows = t.rows;
    place(bink1Rows, {bink1::kAudio}, AudioStage);
    place(bink1Rows, vframe::kOutputs, VideoFrameStage);
    place(bink1Rows, {bink1::kChunkCounts}, BundleLengthStage);
    for (bool inter : {false, true}) {
        const bink1::DctStreams& d = bink1::dctStreams(inter);
        place(bink1Rows, {d.quantisers, d.dc, d.coefficients}, inter ? DctInterStage : DctIntraStage);
    }
    place(bink1Rows, {bink1::kFormChoices}, copyStage);
    StageRow* bink2Rows = t.rows + kStageSlots;
    place(bink2Rows, {bink2::kAudio}, AudioStage);
    place(bink2Rows,
          {bink2::kMacroblockTypes, bink2::kMotionVectors, bink2::kFrameHeader, bink2::kIntraQuantisers,
           bink2::kIntraBlockData, bink2::kIntraCoefficients, bink2::kResidueQuantisers, bink2::kResidueBlockData,
           bink2::kResidueCoefficients},
          VideoStage);
    return t;
}

}  // namespace

const StageTable kStageTable = buildTable();

}  // namespace dev
