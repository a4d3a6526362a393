// Packer side of the DCT block and bundle length stages: the same grammars as
// the stages (stages/*_grammar.h), driven by the encoding coder.
#include <array>

#include "core/models.h"
#include "pack/encode_coder.h"
#include "pack/stage_encoder.h"
#include "stages/bundle_length_grammar.h"
#include "stages/dct_block_grammar.h"
#include "writers/bink1/streams.h"

namespace dev {

namespace {

ValueReader readerOf(const std::vector<uint8_t>& values) { return ValueReader(values.data(), values.size()); }

bool usedUp(const ValueReader& r) { return !r.underflow && r.atEnd(); }

class DctBlockEncoder : public StageEncoder {
public:
    DctBlockEncoder(const BinkContext& context, bool inter) : context_(context), inter_(inter) {}

    bool accepts(const PackFrame& frame) override {
        if (!ready()) return false;
        CheckCoder c;
        dct::PositionMemory scratch = memory_;
        return run(c, models_.data(), scratch, frame);
    }

    Status encode(const PackFrame& frame, std::vector<uint8_t>& chunk) override {
        chunk.clear();
        if (!ready()) return "no memory for the DCT block models";
        if (!frame.accepted && !accepts(frame)) {
            return inter_ ? "inter DCT block values cannot be coded" : "intra DCT block values cannot be coded";
        }
        EncodeCoder c(chunk);
        const bool ok = run(c, models_.data(), memory_, frame);
        c.finish();
        if (!ok) return "DCT block values changed while coding";  // accepts() walked the same values
        return {};
    }

private:
    bool ready() {
        if (!models_) models_.allocate(dct::kModelCount);
        return static_cast<bool>(models_);
    }

    // The values of this instance's three sub-streams, all used up exactly.
    template <class C>
    bool run(C& c, BitModel* models, dct::PositionMemory& memory, const PackFrame& frame) {
        const std::vector<uint32_t>& counts = frame.dctBlocks[inter_ ? 1 : 0];
        const dct::PlaneBlocks blocks{counts.data(), counts.size()};
        for (size_t p = context_.planeCount; p < counts.size(); ++p)
            if (counts[p] != 0) return false;  // blocks in a plane the file does not have
        const bink1::DctStreams& n = bink1::dctStreams(inter_);
        ValueReader q = readerOf(frame.streams[n.quantisers]);
        ValueReader dc = readerOf(frame.streams[n.dc]);
        ValueReader coefficients = readerOf(frame.streams[n.coefficients]);
        if (!dct::codePacket(c, models, memory, inter_, context_.planeCount, blocks, q, dc, coefficients))
            return false;
        return usedUp(q) && usedUp(dc) && usedUp(coefficients);
    }

    const BinkContext& context_;
    bool inter_;
    ModelSet models_;  // allocated on first use
    dct::PositionMemory memory_;
};

class BundleLengthEncoder : public StageEncoder {
public:
    BundleLengthEncoder() { resetModels(models_.data(), models_.size()); }

    bool accepts(const PackFrame& frame) override {
        ValueReader r = readerOf(frame.streams[bink1::kChunkCounts]);
        CheckCoder c;
        std::array<BitModel, bundle::kModelCount> scratch{};
        return bundle::codeList(c, scratch.data(), r);
    }

    Status encode(const PackFrame& frame, std::vector<uint8_t>& chunk) override {
        chunk.clear();
        if (!frame.accepted && !accepts(frame)) return "bundle chunk counts cannot be coded";
        ValueReader r = readerOf(frame.streams[bink1::kChunkCounts]);
        EncodeCoder c(chunk);
        const bool ok = bundle::codeList(c, models_.data(), r);
        c.finish();
        if (!ok) return "bundle chunk counts changed while coding";
        return {};
    }

private:
    std::array<BitModel, bundle::kModelCount> models_;  // small: no page allocation
};

}  // namespace

std::unique_ptr<StageEncoder> makeBundleLengthEncoder(const BinkContext&) {
    return std::make_unique<BundleLengthEncoder>();
}

std::unique_ptr<StageEncoder> makeDctBlockEncoder(const BinkContext& context, bool inter) {
    return std::make_unique<DctBlockEncoder>(context, inter);
}

}  // namespace dev
