#include "testkit/bink2_generator.h"

#include <algorithm>
#include <cstring>

#include "driver/header_decoder.h"
#include "pack/frame_view.h"
#include "testkit/generator_rng.h"
#include "testkit/value_bytes.h"
#include "pack/pack_frame.h"
#include "writers/bink2/frame_assembly.h"
#include "writers/bink2/frame_syntax.h"
#include "writers/bink_container.h"

namespace dev {

namespace {

using bink2::Value;

class Draws;

// A sub-stream seen by the drawing policy: values are read from the vector
// while it has them and drawn (appended) when it runs out.
struct DrawnValues {
    std::vector<uint8_t>* v = nullptr;
    size_t pos = 0;
    bool underflow = false;
    Draws* draws = nullptr;

    bool atEnd() const { return pos >= v->size(); }
    uint32_t get8() {
        if (pos < v->size()) return (*v)[pos++];
        underflow = true;
        return 0;
    }
    uint32_t get16() {
        const uint32_t lo = get8();
        return lo | get8() << 8;
    }
    const uint8_t* take(size_t n) {
        if (v->size() - pos < n) {
            underflow = true;
            pos = v->size();
            return nullptr;
        }
        pos += n;
        return v->data() + pos - n;
    }
};


// The value distributions.  Each draw keeps to what the syntax can write and
// what a decoder accepts; `extreme` draws go to the limits.
class Draws {
public:
    Draws(const Bink2GeneratorOptions& o, GeneratorRng& rng) : o_(o), rng_(rng) {}

    void value(DrawnValues& s, Value what, int32_t hint) {
        std::vector<uint8_t>& v = *s.v;
        switch (what) {
            case Value::kType: put8(v, type()); break;
            case Value::kVectorCount: put8(v, rng_.below(2)); break;
            case Value::kVector: put16(v, vector()); break;
            case Value::kQuantiser: put8(v, quantiser(hint)); break;
            case Value::kExtraBit: put8(v, rng_.below(2)); break;
            case Value::kChromaChoice: put8(v, hint && rng_.chance(75)); break;
            case Value::kDc: put16(v, dc()); break;
            case Value::kChromaPresent: put8(v, rng_.chance(70)); break;
            case Value::kListMode: put8(v, rng_.chance(o_.runListPercent)); break;
            default: put8(v, 0); break;  // lists and flags come whole, see below
        }
    }

    // `count` coefficient lists.  A chroma plane (4 lists) is told the blocks
    // its prediction names, and often gets exactly those.
    void lists(DrawnValues& s, uint32_t count, uint32_t predicted) {
        uint32_t pattern = 0;
        if (!rng_.chance(o_.emptyPlanePercent)) {
            static constexpr uint32_t kDensity[3] = {20, 50, 90};
            const uint32_t density = kDensity[rng_.below(3)];
            for (uint32_t i = 0; i < count; ++i)
                if (rng_.chance(density)) pattern |= 1u << i;
        }
        if (count == 4 && rng_.chance(50)) pattern = predicted;
        for (uint32_t i = 0; i < count; ++i) list(*s.v, (pattern >> i) & 1);
    }

    // n flags packed in bytes: all alike, long runs, short runs or noise.
    void flags(DrawnValues& s, size_t bytes, uint32_t n) {
        std::vector<uint8_t>& v = *s.v;
        const size_t at = v.size();
        v.resize(at + bytes, 0);
        const uint32_t style = rng_.below(4);
        uint32_t value = rng_.below(2);
        uint32_t left = 0;
        for (uint32_t i = 0; i < n; ++i) {
            if (style == 3) {
                value = rng_.below(2);
            } else if (style > 0 && left-- == 0) {
                value ^= 1;
                left = style == 1 ? rng_.below(40) : rng_.below(4);
            }
            if (value) v[at + i / 8] |= static_cast<uint8_t>(1u << (i & 7));
        }
    }

private:
    uint32_t type() {
        uint32_t total = 0;
        for (uint32_t w : o_.typeWeights) total += w;
        uint32_t r = rng_.below(total);
        for (uint32_t t = 0; t < 4; ++t) {
            if (r < o_.typeWeights[t]) return t;
            r -= o_.typeWeights[t];
        }
        return bink2::kSkip;
    }

    int32_t signedValue(int32_t m) { return rng_.below(2) ? -m : m; }

    int32_t vector() {
        if (rng_.chance(o_.zeroVectorPercent)) return 0;
        if (rng_.chance(o_.extremePercent)) {
            static constexpr int32_t kLimits[5] = {16383, 16384, 32767, 8192, 24576};
            return signedValue(kLimits[rng_.below(5)]);
        }
        return signedValue(rng_.chance(65) ? rng_.range(1, 7) : rng_.range(8, 300));
    }

    uint32_t quantiser(int32_t predictor) {
        const int32_t lo = std::max(0, predictor - int32_t(bink2::kMaxQuantiserDelta));
        const int32_t hi = std::min(int32_t(bink2::kMaxQuantiser), predictor + int32_t(bink2::kMaxQuantiserDelta));
        if (rng_.chance(o_.extremePercent)) return static_cast<uint32_t>(rng_.below(2) ? lo : hi);
        if (rng_.chance(50)) return static_cast<uint32_t>(std::clamp(predictor + rng_.range(-2, 2), lo, hi));
        return static_cast<uint32_t>(rng_.range(lo, hi));
    }

    // A Bink 2 decoder reads at most 11 one bits of a DC or coefficient
    // magnitude: DC values reach 513, coefficients 1025.
    static constexpr int32_t kLargestDc = 513;
    static constexpr int32_t kLargestCoefficient = 1025;

    int32_t dc() {
        if (rng_.chance(o_.extremePercent)) return signedValue(rng_.chance(30) ? kLargestDc : rng_.range(256, kLargestDc));
        const uint32_t r = rng_.below(100);
        if (r < 35) return 0;
        if (r < 75) return signedValue(rng_.range(1, 4));
        return signedValue(rng_.range(5, 300));
    }

    // One list: a count, then that many values with zeros among them, the
    // last non-zero.
    void list(std::vector<uint8_t>& v, bool coded) {
        if (!coded) {
            put8(v, 0);
            return;
        }
        uint32_t n;
        const uint32_t r = rng_.below(100);
        if (r < 30) n = rng_.range(1, 3);
        else if (r < 60) n = rng_.range(4, 15);
        else if (r < 85) n = rng_.range(16, int32_t(bink2::kMaxCoefficients) - 1);
        else n = bink2::kMaxCoefficients;
        static constexpr uint32_t kZeros[4] = {0, 30, 70, 96};
        const uint32_t zeros = kZeros[rng_.below(4)];
        put8(v, n);
        for (uint32_t p = 1; p <= n; ++p) put16(v, p < n && rng_.chance(zeros) ? 0 : coefficient());
    }

    int32_t coefficient() {
        if (rng_.chance(o_.extremePercent))
            return signedValue(rng_.chance(30) ? kLargestCoefficient : rng_.range(512, kLargestCoefficient));
        return signedValue(rng_.chance(75) ? rng_.range(1, 3) : rng_.range(4, 60));
    }

    const Bink2GeneratorOptions& o_;
    GeneratorRng& rng_;
};

// The drawing policy: writes bits like the writer (so the slice offsets can
// be measured) and draws every value the first time the syntax takes it.
struct BitsDraw {
    static constexpr bool kWriting = true;
    static constexpr bool kGenerating = true;
    using Values = DrawnValues;

    BitWriter w;
    const uint8_t* begin;
    bool bad = false;
    uint32_t sliceStarts[kMaxSlices] = {};  // bytes from the start of the bitstream
    std::bitset<bink2::cases::kCaseCount>* seen;

    BitsDraw(uint8_t* out, uint8_t* end, std::bitset<bink2::cases::kCaseCount>& cases)
        : w(out, end), begin(out), seen(&cases) {}

    uint32_t field(uint32_t value, uint32_t n) {
        w.put(value, n);
        return value;
    }
    void expect(bool ok, const char* = nullptr) { bad |= !ok; }
    bool failed() const { return bad || w.overflow; }
    void note(uint32_t c) { seen->set(c); }
    void sliceBegins(uint32_t k, bool) { sliceStarts[k] = static_cast<uint32_t>(w.out - begin); }

    static uint32_t take8(Values& s, Value what, int32_t hint) {
        if (s.atEnd()) s.draws->value(s, what, hint);
        return s.get8();
    }
    static uint32_t take16(Values& s, Value what, int32_t hint) {
        if (s.atEnd()) s.draws->value(s, what, hint);
        return s.get16();
    }
    static void emit8(Values&, uint32_t) {}
    static void emit16(Values&, uint32_t) {}
    static void prepareLists(Values& ac, uint32_t count, uint32_t hint) {
        if (ac.atEnd()) ac.draws->lists(ac, count, hint);
    }
    static uint8_t* takeFlags(Values& s, size_t bytes, uint32_t n, uint32_t) {
        if (s.atEnd()) s.draws->flags(s, bytes, n);
        return const_cast<uint8_t*>(s.take(bytes));
    }
};

// The frame flags word: the bits that shape the bitstream, drawn.
//
// Our column flag count follows the width rounded up to 32 pixels; the Bink 2
// decoder we check files with counts from the width rounded up to 16, which
// gives two flags fewer when the width leaves 1 to 16 pixels over a multiple
// of 32.  Such files get no column list, so that the decoder reads them as
// written.
uint32_t frameFlags(const Bink2GeneratorOptions& o, GeneratorRng& rng) {
    uint32_t flags = 0;
    if (o.extended && rng.chance(o.noAlphaPercent)) flags |= bink2::kNoAlphaPlane;
    if (rng.chance(o.bareEmptyPercent)) flags |= bink2::kEmptyPlaneSymbol;
    if (rng.chance(o.flagListPercent)) {
        static constexpr uint32_t kLists[4] = {0, bink2::kNoRowFlags, bink2::kNoColumnFlags,
                                               bink2::kNoRowFlags | bink2::kNoColumnFlags};
        flags |= bink2::kFlagListsPresent | kLists[rng.below(4)];
        const uint32_t over = o.width % 32;
        if (over >= 1 && over <= 16) flags |= bink2::kNoColumnFlags;
    }
    return flags;
}

bool makeVideo(const Bink2GeneratorOptions& o, const BinkContext& c, GeneratorRng& rng, FrameView& view,
               std::vector<uint8_t>& scratch, uint32_t index, GeneratedFrame& frame, GeneratedBink2& result) {
    const std::string where = "frame " + std::to_string(index);
    PackFrame values;
    values.index = index;
    const uint32_t flags = frameFlags(o, rng);
    std::vector<uint8_t>& header = values.streams[bink2::kFrameHeader];
    const uint32_t leadWords = bink2::leadWordCount(c);
    for (uint32_t k = 0; k < leadWords; ++k) appendLe32(header, k == 0 ? flags : 0);  // offsets set below

    Draws draws(o, rng);
    StreamArray<DrawnValues> in;
    for (int n : bink2::kVideoStreams) {
        in[n].v = &values.streams[n];
        in[n].pos = values.streams[n].size();
        in[n].draws = &draws;
    }
    BitsDraw d(scratch.data(), scratch.data() + scratch.size(), result.seen);
    std::vector<uint8_t> rows(bink2::quantiserRowBytes(c.width));
    bink2::Bink2FrameSyntax<BitsDraw> syntax(d, in, c, rows.data());
    syntax.frame(frame.keyframe, flags);
    if (syntax.stopped()) {
        result.error = where + ": the drawn values do not write";
        return false;
    }
    for (uint32_t k = 1; k < leadWords; ++k) storeLe32(header.data() + 4 * k, bink2::sliceOffsetWord(c, d.sliceStarts[k]));

    // The packet comes from the product's own frame assembly.
    const size_t lead = bink2::leadBytes(c);
    const size_t bytes = lead + static_cast<size_t>(d.w.out - scratch.data());
    view.bind(values, bytes);
    if (view.writeVideo() < 0 || !view.allConsumed(bink2::kMacroblockTypes)) {
        result.error = where + ": the frame assembly does not take the drawn values";
        return false;
    }
    const auto written = view.written();
    frame.video.assign(written.begin(), written.end());
    if (frame.video.size() != bytes || !std::equal(frame.video.begin() + lead, frame.video.end(), scratch.begin())) {
        result.error = where + ": the frame assembly writes other bits than the drawing syntax";
        return false;
    }
    auto& kept = result.values.emplace_back();
    for (int n : bink2::kVideoStreams) kept[n] = std::move(values.streams[n]);
    return true;
}

}  // namespace

GeneratedBink2 generateBink2File(const Bink2GeneratorOptions& o) {
    GeneratedBink2 result;
    if (o.width == 0 || o.height == 0 || o.width > 4096 || o.height > 4096) {
        result.error = "frame size outside 1..4096 pixels per side";
        return result;
    }
    if (o.sliceChoice > 3) {
        result.error = "slice choice outside 0..3";
        return result;
    }
    if (const char* why = unsupportedAudio(o.audio)) {
        result.error = why;
        return result;
    }
    BinkFileLayout layout;
    std::memcpy(layout.signature, kBink2Signature, kSignatureLetters);
    layout.signature[BinkHeader::kVersion] = o.version;
    layout.width = o.width;
    layout.height = o.height;
    layout.videoFlags =
        (o.alpha ? BinkVideoFlag::kAlpha : 0) | (o.extended ? BinkVideoFlag::kBink2Extended : 0) | o.sliceChoice;
    layout.extraWord = 0x02070000;  // as the Bink 2 encoder writes it

    // The header fields the writer reads, as the unpacker derives them.
    BinkHeaderFields fields;
    std::memcpy(fields.signature, layout.signature, sizeof layout.signature);
    fields.width = o.width;
    fields.height = o.height;
    fields.videoFlags = layout.videoFlags;
    uint8_t header[BinkHeader::kLongLength];
    BinkContext c{};
    setHeaderFields(c, header, writeBinkHeader(fields, header));
    GeneratorRng rng(o.seed);
    std::vector<uint32_t> keyframes(size_t(o.frames) + 1, 0);
    for (uint32_t j = 0; j < o.frames; ++j) keyframes[j] = j == 0 || rng.chance(o.keyframePercent);
    c.keyframes = keyframes.data();
    FrameView view(c);
    const size_t macroblocks = size_t(bink2::macroblockColumns(o.width)) * bink2::macroblockRows(o.height);
    std::vector<uint8_t> scratch(macroblocks * 24576 + 4096);  // more than a macroblock can take
    std::vector<GeneratedFrame> frames(o.frames);
    for (uint32_t j = 0; j < o.frames; ++j) {
        GeneratedFrame& f = frames[j];
        f.keyframe = keyframes[j] != 0;
        if (!makeVideo(o, c, rng, view, scratch, j, f, result)) return result;
        result.keyframes += f.keyframe;
        f.audio = generateAudioPackets(o.audio, rng);
    }
    result.bytes = layOutBinkFile(layout, o.audio, frames);
    result.ok = true;
    return result;
}

}  // namespace dev
