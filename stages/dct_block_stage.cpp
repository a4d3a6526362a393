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
    return planes <= dct::kMaxPlanes && models.allocate(dct::kModelCount, &dct::kDenseSpan, 1);
}

namespace {

// The packet's decoding as a function of its own, over three writers the
// compiler knows nothing of: inlined into decodeChunk, where they are items of
// one array, the per-block loop runs some 8% slower.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
bool decodePacket(DctBlockDecoder& d, const uint8_t* chunk, size_t length, ValueWriter& quantisers,
                  ValueWriter& dcValues, ValueWriter& coefficients) {
    DecodeCoder c;
    c.rd.init(chunk, length);
    return dct::codePacket(c, d.models.data(), d.memory, d.inter, d.planeCount, dct::PlaneBlocks(), quantisers,
                           dcValues, coefficients);
}

}  // namespace

bool DctBlockDecoder::decodeChunk(const uint8_t* chunk, size_t length, StreamArray<ValueWriter>& out) {
    const bink1::DctStreams& n = bink1::dctStreams(inter);
    return decodePacket(*this, chunk, length, out[n.quantisers], out[n.dc], out[n.coefficients]);
}

uint32_t DctIntraStage(Stage* stage) { return runDecoderStage<DctStageDecoder<false>>(stage); }
uint32_t DctInterStage(Stage* stage) { return runDecoderStage<DctStageDecoder<true>>(stage); }

}  // namespace dev
