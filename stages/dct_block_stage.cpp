// DCT block stage: rebuilds the quantiser index, DC value and coefficient list
// of every DCT-coded block of a Bink 1 video packet.  The stage table runs two
// instances with their own models, one for intra blocks and one for inter
// blocks; the inter one codes a DC sign.
#include "core/stage_protocol.h"
#include "stages/dct_block_grammar.h"
#include "stages/stages.h"

namespace dev {

bool DctBlockDecoder::setup(bool interBlocks, uint32_t planes) {
    inter = interBlocks;
    planeCount = planes;
    memory = dct::PositionMemory();
    return planes <= dct::kMaxPlanes && models.allocate(dct::kModelCount);
}

bool DctBlockDecoder::decodeChunk(const uint8_t* chunk, size_t length, ValueWriter& quantisers,
                                  ValueWriter& dcValues, ValueWriter& coefficients) {
    DecodeCoder c;
    c.rd.init(chunk, length);
    return dct::codePacket(c, models.data(), memory, inter, planeCount, dct::PlaneBlocks(), quantisers, dcValues,
                           coefficients);
}

namespace {

ValueWriter backWriterOf(const StreamBuffer* stream) { return stream ? stream->backWriter() : ValueWriter(); }

void commit(StreamBuffer* stream, const ValueWriter& w) {
    if (stream) stream->commitBack(w);
}

uint32_t runDctStage(Stage* stage, bool inter) {
    DctBlockDecoder decoder;
    return runStageLoop(
        stage, [&] { return stage->context && decoder.setup(inter, stage->context->planeCount); },
        [&](Stage* s) {
            if (!s->input && s->length) return false;
            ValueWriter w[3] = {backWriterOf(s->outputs[0]), backWriterOf(s->outputs[1]),
                                backWriterOf(s->outputs[2])};
            const bool ok = decoder.decodeChunk(s->input, s->length, w[0], w[1], w[2]);
            for (int i = 0; i < 3; ++i) commit(s->outputs[i], w[i]);
            return ok;
        },
        [&] { decoder.models.release(); });
}

}  // namespace

uint32_t DctIntraStage(Stage* stage) { return runDctStage(stage, false); }
uint32_t DctInterStage(Stage* stage) { return runDctStage(stage, true); }

}  // namespace dev
