#include "stages/stage_table.h"

#include <span>

#include "stages/audio_stage.h"
#include "stages/bink2_video_stage.h"
#include "stages/bundle_length_grammar.h"
#include "stages/dct_block_grammar.h"
#include "stages/stage_decoder.h"
#include "stages/stages.h"
#include "stages/video_frame_stage.h"
#include "writers/bink1/streams.h"

namespace dev {

namespace {

// Each row sits at the position of its first sub-stream.
constexpr void place(StageRow* rows, std::span<const int> streams, StageRoutine routine, StageKind kind) {
    StageRow& row = rows[streams[0] - 1];
    for (size_t i = 0; i < streams.size(); ++i) row.outputs[i] = static_cast<uint8_t>(streams[i]);
    row.routine = routine;
    row.kind = kind;
}

// The row of a stage decoder: its sub-streams and its routine.
template <class D>
constexpr void place(StageRow* rows, StageKind kind) {
    static_assert(D::kStreams.size() <= kMaxStageOutputs);
    place(rows, D::kStreams, runDecoderStage<D>, kind);
}

constexpr int kFormChoices[] = {bink1::kFormChoices};

constexpr StageTable buildTable() {
    StageTable t{};
    for (auto& row : t.rows) row = StageRow{{0}, nullptr};
    StageRow* bink1Rows = t.rows;
    place<AudioDecoder>(bink1Rows, StageKind::Audio);
    place<VideoFrameDecoder>(bink1Rows, StageKind::VideoFrame);
    place<BundleLengthDecoder>(bink1Rows, StageKind::BundleLength);
    place<DctStageDecoder<false>>(bink1Rows, StageKind::DctIntra);
    place<DctStageDecoder<true>>(bink1Rows, StageKind::DctInter);
    place(bink1Rows, kFormChoices, copyStage, StageKind::Copy);
    StageRow* bink2Rows = t.rows + kStageSlots;
    place<AudioDecoder>(bink2Rows, StageKind::Audio);
    place<Bink2VideoDecoder>(bink2Rows, StageKind::Bink2Video);
    return t;
}

}  // namespace

const StageTable kStageTable = buildTable();

}  // namespace dev
