// DCT block stage: rebuilds the quantiser index, DC value and coefficient list
// of every DCT-coded block of a Bink 1 video packet.  The stage table runs two
// instances with their own models, one for intra blocks and one for inter
// blocks; the inter one codes a DC sign.
#include "stages/dct_block_grammar.h"
#include "stages/stage_decoder.h"
#include "stages/stages.h"

namespace dev {

bool DctBlockDecoder::setup(bool interBlocks, uint32_t planes) {
    inter = interBlocks;
    planeCount = planes;
    memory = dct::PositionMemory();
    return planes <= dct::kMaxPlanes && models.allocate(dct::kModelCount);
}

bool DctBlockDecoder::decodeChunk(const uint8_t* chunk, size_t length, StreamArray<ValueWriter>& out) {
    DecodeCoder c;
    c.rd.init(chunk, length);
    const bink1::DctStreams& n = bink1::dctStreams(inter);
    return dct::codePacket(c, models.data(), memory, inter, planeCount, dct::PlaneBlocks(), out[n.quantisers],
                           out[n.dc], out[n.coefficients]);
}

uint32_t DctIntraStage(Stage* stage) { return runDecoderStage<DctStageDecoder<false>>(stage); }
uint32_t DctInterStage(Stage* stage) { return runDecoderStage<DctStageDecoder<true>>(stage); }

}  // namespace dev
