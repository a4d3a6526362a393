// DCT block stage: rebuilds the quantiser index, DC value and coefficient list
// of every DCT-coded block of a Bink 1 video packet.  The stage table runs two
// instances with their own models, intra blocks (sub-streams 15..17) and inter
// blocks (18..20); the inter one codes a DC sign.
#include "core/pipeline.h"
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

}  // namespace

uint32_t DctBlockStage(Stage* stage) {
    DctBlockDecoder decoder;
    return runStageLoop(
        stage,
        [&] {
            const BinkContext* context = stage->context;
            if (!context) return false;
            // The inter instance is the one whose first output is sub-stream 18.
            const bool inter = context->streams && stage->outputs[0] == &context->streams[17];
            return decoder.setup(inter, context->planeCount);
        },
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

}  // namespace dev
