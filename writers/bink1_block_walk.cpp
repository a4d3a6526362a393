// Block walk of one Bink 1 block row: per-block fields and bundle consumption.
#include "writers/bink1_coefficient_coder.h"
#include "writers/bink1_plane_state.h"
#include "writers/bink1_residue_coder.h"

namespace dev {

namespace {

// Bink 1 block types (bundle 0) and the sub-types of a scaled block (bundle 1).
enum : uint32_t {
    kSkip = 0,
    kScaled = 1,
    kMotion = 2,
    kRun = 3,
    kResidue = 4,
    kIntra = 5,
    kFill = 6,
    kInter = 7,
    kPattern = 8,
    kRaw = 9,
};

// Takes the next value of a bundle the walk reads (block types, sub-block
// types, runs); false when no chunk has filled it.
inline bool nextValue(Bink1Bundle& b, uint32_t& v) {
    if (b.consume >= b.fill) return false;
    v = b.data[b.consume++];
    return true;
}

inline void motion(Bink1PlaneState& s) {
    s.bundles[kBundleXOffsets].consume += 1;
    s.bundles[kBundleYOffsets].consume += 1;
}

// A run block: the scan index, then one fill bit per run.  A filled run takes
// one colour, an unfilled one a colour per pixel; when the runs stop one
// pixel short of the block, the last pixel takes a colour of its own.
bool runField(Bink1PlaneState& s) {
    s.putField(s.in[7], 4);
    Bink1Bundle& colours = s.bundles[kBundleColours];
    Bink1Bundle& runs = s.bundles[kBundleRuns];
    uint32_t covered = 0;
    uint32_t p = colours.consume;
    while (covered < 63) {
        uint32_t k;
        if (!nextValue(runs, k)) return false;
        covered += k + 1;
        if (covered > 64) return false;
        p += s.putField(s.in[7], 1) ? 1 : k + 1;
    }
    colours.consume = covered == 63 ? p + 1 : p;
    return true;
}

bool blockFields(Bink1PlaneState& s, uint32_t type) {
    switch (type) {
    case kSkip:
        return true;
    case kMotion:
        motion(s);
        return true;
    case kRun:
        return runField(s);
    case kResidue: {
        motion(s);
        const uint32_t budget = s.putField(s.in[4], 7);
        return Bink1ResidueCoder::write(s.w, s.in[13], budget);
    }
    case kIntra:
        s.bundles[kBundleIntraDc].consume += 1;
        if (!Bink1CoefficientCoder::write(s.w, s.in[17])) return false;
        s.putField(s.in[15], 4);
        return true;
    case kFill:
        s.bundles[kBundleColours].consume += 1;
        return true;
    case kInter:
        motion(s);
        s.bundles[kBundleInterDc].consume += 1;
        if (!Bink1CoefficientCoder::write(s.w, s.in[20])) return false;
        s.putField(s.in[18], 4);
        return true;
    case kPattern:
        s.bundles[kBundleColours].consume += 2;
        s.bundles[kBundlePatterns].consume += 8;
        return true;
    case kRaw:
        s.bundles[kBundleColours].consume += 64;
        return true;
    default:
        return false;
    }
}

}  // namespace

bool writeBink1BlockRow(Bink1PlaneState& s, uint32_t row) {
    for (uint32_t i = 0; i < s.blocksPerRow;) {
        uint32_t type;
        if (!nextValue(s.bundles[kBundleBlockTypes], type)) return false;
        if (type == kScaled) {
            // A scaled block covers two columns of two rows; on the odd row
            // its lower half is only marked, with no fields.
            if (!(row & 1)) {
                uint32_t sub;
                if (!nextValue(s.bundles[kBundleSubBlockTypes], sub)) return false;
                if (sub != kRun && sub != kIntra && sub != kFill && sub != kPattern && sub != kRaw) return false;
                if (!blockFields(s, sub)) return false;
            }
            i += 2;
            continue;
        }
        if (!blockFields(s, type)) return false;
        i += 1;
    }
    return true;
}

}  // namespace dev
