#include "testkit/bink_generator.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/bink_context.h"
#include "driver/header_decoder.h"
#include "testkit/audio_generator.h"
#include "pack/bink1_parser.h"
#include "pack/frame_view.h"
#include "testkit/generator_rng.h"
#include "testkit/value_bytes.h"
#include "pack/pack_frame.h"
#include "writers/bink1/plane_syntax.h"
#include "writers/bink_container.h"

namespace dev {

namespace {

using Rng = GeneratorRng;

using Streams = StreamArray<std::vector<uint8_t>>;
using namespace bink1;


// The kinds are the video frame stage's block-type symbols.
static_assert(kGenBlockKinds == int(kSymbolCount) && kGenScaledIntra == int(kFirstScaledSymbol));

bool kindReadsPrevious(int kind) {
    return kind == kGenSkip || kind == kGenMotion || kind == kGenResidue || kind == kGenInter;
}

// Bits for the plane syntax to read, each 1 with the given chance: tree
// descriptions and residue fields are drawn by parsing random bits, so each
// one is valid by construction.  Past the end the syntax reads zeros, which
// end a residue field soon and still make a valid one.
BitsIn randomBits(Rng& rng, std::vector<uint8_t>& bytes, size_t count, uint32_t onePercent) {
    bytes.assign(count, 0);
    for (uint8_t& b : bytes)
        for (int i = 0; i < 8; ++i) b = static_cast<uint8_t>(b | (rng.chance(onePercent) ? 1u : 0u) << i);
    return BitsIn(BitReader(bytes.data(), bytes.size()));
}

// Generates the values of one plane.  Values that travel in bundles are kept
// per bundle (walk order) with the count each block row consumes, so that the
// chunk counts can be planned once the whole plane is known; the per-block
// fields go straight to their sub-streams.
class PlaneGenerator {
public:
    PlaneGenerator(const GeneratorOptions& o, Rng& rng, Streams& s, GeneratedBink& stats, bool chroma, bool keyframe)
        : o_(o), rng_(rng), s_(s), stats_(stats), keyframe_(keyframe) {
        planeGeometry(o.width, o.height, chroma, g_);
        bw_ = g_.columns;
        bh_ = g_.rows;
    }

    void run() {
        trees();
        for (auto& v : rowEnd_) v.assign(bh_, 0);
        std::vector<uint8_t> scaledStart(bw_ + 2, 0), nextStart(bw_ + 2, 0);
        for (uint32_t r = 0; r < bh_; ++r) {
            std::fill(nextStart.begin(), nextStart.end(), 0);
            for (int b = 0; b < kBundleCount; ++b) rowStart_[b] = static_cast<uint32_t>(vals_[b].size());
            uint32_t x = 0;
            while (x < bw_) {
                if ((r & 1) && scaledStart[x]) {  // lower half of a scaled block
                    vals_[kBundleBlockTypes].push_back(kScaledBlock);
                    x += 2;
                    continue;
                }
                const int kind = pickKind(x, r);
                ++stats_.blockCounts[kind];
                const uint32_t type = kSymbolContent[kind];
                if (isScaledSymbol(kind)) {
                    vals_[kBundleBlockTypes].push_back(kScaledBlock);
                    vals_[kBundleSubBlockTypes].push_back(static_cast<int32_t>(type));
                    nextStart[x] = 1;
                    stats_.scaledInLastColumn += x + 1 == bw_;
                    content(type, x, r);
                    x += 2;
                } else {
                    vals_[kBundleBlockTypes].push_back(static_cast<int32_t>(type));
                    content(type, x, r);
                    x += 1;
                }
            }
            std::swap(scaledStart, nextStart);
            for (int b = 0; b < kBundleCount; ++b) rowEnd_[b][r] = static_cast<uint32_t>(vals_[b].size());
        }
        chunks();
        for (int b = 0; b < kBundleCount; ++b) {
            std::vector<uint8_t>& out = s_[kBundleSource[b]];
            for (int32_t v : vals_[b]) {
                if (b == kBundleIntraDc) stats_.limitsSeen |= v == 0 ? uint32_t(kGenLimitIntraDcZero) : v == 2047 ? uint32_t(kGenLimitIntraDcMax) : 0u;
                if (b == kBundleInterDc) stats_.limitsSeen |= v == -2047 ? uint32_t(kGenLimitInterDcMin) : v == 2047 ? uint32_t(kGenLimitInterDcMax) : 0u;
                if (b == kBundleIntraDc || b == kBundleInterDc) put16(out, v);
                else put8(out, static_cast<uint32_t>(v));
            }
        }
    }

private:
    // The plane's tree descriptions, drawn by parsing random bits.  A list
    // that names a value twice is valid Bink but cannot be rewritten: such a
    // draw is taken back and made again.
    void trees() {
        std::vector<uint8_t>& fields = s_[kTrees];
        std::vector<uint8_t> bits;
        Tree tree;
        for (uint32_t i = 0; i < kTreesPerPlane; ++i) {
            for (;;) {
                const size_t before = fields.size();
                BitsIn d = randomBits(rng_, bits, 16, 50);
                treeDescription(d, fields, tree);
                if (!d.failed()) break;
                fields.resize(before);
            }
        }
    }

    int pickKind(uint32_t x, uint32_t r) {
        uint32_t total = 0;
        uint32_t w[kGenBlockKinds];
        for (int k = 0; k < kGenBlockKinds; ++k) {
            w[k] = o_.blockWeights[k];
            if (keyframe_ && kindReadsPrevious(k)) w[k] = 0;
            // Scaled blocks start on even rows; a stock decoder also wants
            // them on even columns (the 16-pixel grid).
            if (isScaledSymbol(k) && ((r & 1) || ((x & 1) && !o_.scaledOnOddColumns))) w[k] = 0;
            total += w[k];
        }
        if (!total) return keyframe_ ? kGenFill : (r & 1 ? kGenFill : kGenSkip);
        uint32_t pick = rng_.below(total);
        for (int k = 0; k < kGenBlockKinds; ++k) {
            if (pick < w[k]) return k;
            pick -= w[k];
        }
        return kGenFill;
    }

    // A bundle value: often the previous one again, so uniform chunks occur.
    template <class Draw>
    int32_t bundleValue(BundleId b, Draw draw) {
        if (!vals_[b].empty() && rng_.chance(o_.repeatPercent)) return vals_[b].back();
        return draw();
    }

    void colour() {
        vals_[kBundleColours].push_back(bundleValue(kBundleColours, [&] { return static_cast<int32_t>(rng_.below(256)); }));
    }

    // Offsets keep the reference block inside the previous plane: a decoder
    // rejects copies from outside it.
    void motion(uint32_t x, uint32_t r) {
        const int32_t loY = std::max(-15, -8 * static_cast<int32_t>(r));
        const int32_t hiY = std::min(15, 8 * static_cast<int32_t>(bh_ - 1 - r));
        const int32_t loX = std::max(-15, -8 * static_cast<int32_t>(x));
        const int32_t hiX = std::min(15, 8 * static_cast<int32_t>(bw_ - 1 - x));
        auto offset = [&](BundleId b, int32_t lo, int32_t hi) {
            if (!vals_[b].empty() && rng_.chance(o_.repeatPercent)) {
                const int32_t v = vals_[b].back();
                if (v >= lo && v <= hi) return v;
            }
            if (rng_.chance(o_.extremePercent)) return rng_.below(2) ? lo : hi;
            return rng_.range(lo, hi);
        };
        vals_[kBundleXOffsets].push_back(offset(kBundleXOffsets, loX, hiX));
        vals_[kBundleYOffsets].push_back(offset(kBundleYOffsets, loY, hiY));
        stats_.xOffsetsSeen |= 1u << (vals_[kBundleXOffsets].back() + 15);
        stats_.yOffsetsSeen |= 1u << (vals_[kBundleYOffsets].back() + 15);
    }

    int32_t magnitude(uint32_t maxBits) {
        if (rng_.chance(o_.extremePercent)) return (1 << maxBits) - 1;
        if (rng_.chance(70)) return rng_.range(1, 3);
        const uint32_t bits = 1 + rng_.below(maxBits);
        return rng_.range(1 << (bits - 1), (1 << bits) - 1);
    }

    // Coefficient list: count, then the values in stored order; the last one
    // is non-zero and no magnitude reaches 1024.
    void coefficients(std::vector<uint8_t>& s) {
        uint32_t a;
        const uint32_t pick = rng_.below(100);
        if (rng_.chance(o_.extremePercent)) a = 63;
        else if (pick < 25) a = 0;
        else if (pick < 75) a = 1 + rng_.below(10);
        else a = 1 + rng_.below(63);
        put16(s, static_cast<int32_t>(a));
        if (a == 63) stats_.limitsSeen |= kGenLimitFullList;
        for (uint32_t i = 1; i <= a; ++i) {
            int32_t v = 0;
            if (i == a || rng_.chance(50)) v = magnitude(10);
            if (v == 1023) stats_.limitsSeen |= kGenLimitCoefficient;
            if (rng_.below(2)) v = -v;
            put16(s, v);
        }
    }

    void dct(bool inter, uint32_t x, uint32_t r) {
        if (inter) {
            motion(x, r);
            vals_[kBundleInterDc].push_back(bundleValue(kBundleInterDc, [&] {
                const int32_t m = rng_.chance(o_.extremePercent) ? 2047 : magnitude(11);
                return rng_.below(2) ? -m : (rng_.chance(10) ? 0 : m);
            }));
            coefficients(s_[kInterCoefficients]);
            put8(s_[kInterQuantisers], rng_.below(16));
        } else {
            vals_[kBundleIntraDc].push_back(bundleValue(kBundleIntraDc, [&] {
                if (rng_.chance(o_.extremePercent)) return rng_.below(2) ? 2047 : 0;
                return static_cast<int32_t>(rng_.below(2048));
            }));
            coefficients(s_[kIntraCoefficients]);
            put8(s_[kIntraQuantisers], rng_.below(16));
        }
    }

    // Run field: scan index, then runs of 1..16 pixels up to 63 or 64 pixels,
    // each filled by one colour or by one colour per pixel.
    void runBlock() {
        put8(s_[kRunFields], rng_.below(16));
        const bool longRuns = rng_.below(2);
        RunCover cover;
        while (cover.open()) {
            const uint32_t room = std::min<uint32_t>(15, 63 - cover.covered);
            uint32_t k = bundleValue(kBundleRuns, [&] { return static_cast<int32_t>(longRuns ? rng_.below(16) : rng_.below(4)); });
            if (k > room) k = rng_.chance(50) ? room : rng_.below(room + 1);
            // A row's runs travel in one chunk, whose count field bounds them:
            // past half of it the row continues with the longest runs.
            if (vals_[kBundleRuns].size() - rowStart_[kBundleRuns] > ((1u << g_.countWidth[kBundleRuns]) - 1) / 2) k = room;
            vals_[kBundleRuns].push_back(static_cast<int32_t>(k));
            cover.add(k);
            const uint32_t fill = rng_.below(2);
            put8(s_[kRunFields], fill);
            for (uint32_t i = 0; i < RunCover::colours(k, fill); ++i) colour();
        }
        for (uint32_t i = 0; i < cover.closingColours(); ++i) colour();
        ++(cover.closingColours() ? stats_.runsEndingOn63 : stats_.runsEndingOn64);
    }

    // Residue field: its budget, then the field drawn by parsing random bits
    // (a valid replay of the walk a decoder performs, ending when the budget
    // runs out or after the last pass).
    void residue() {
        const uint32_t budget = rng_.chance(o_.extremePercent) ? 0 : (rng_.chance(50) ? rng_.below(8) : rng_.below(128));
        put8(s_[kResidueBudgets], budget);
        stats_.residuesWithoutBudget += budget == 0;
        std::vector<uint8_t> bits;
        BitsIn d = randomBits(rng_, bits, 64, 30 + 20 * rng_.below(3));
        residueField(d, s_[kResidues], budget);
    }

    void content(int type, uint32_t x, uint32_t r) {
        switch (type) {
        case kMotionBlock: motion(x, r); break;
        case kRunBlock: runBlock(); break;
        case kResidueBlock:
            motion(x, r);
            residue();
            break;
        case kIntraBlock: dct(false, x, r); break;
        case kFillBlock: colour(); break;
        case kInterBlock: dct(true, x, r); break;
        case kPatternBlock:
            colour();
            colour();
            for (int i = 0; i < 8; ++i) vals_[kBundlePatterns].push_back(static_cast<int32_t>(rng_.below(256)));
            break;
        case kRawBlock:
            for (int i = 0; i < 64; ++i) colour();
            break;
        default: break;
        }
    }

    // Chunk counts in the order the plane bitstream needs them.  A chunk is
    // due when every value written so far has been used; it then carries the
    // values of whole block rows (so it is used up at a row boundary), at
    // least one row with values, and a zero count once nothing is left.
    void chunks() {
        Bundle bundles[kBundleCount];
        for (uint32_t r = 0; r < bh_; ++r) {
            for (int b = 0; b < kBundleCount; ++b) {
                Bundle& u = bundles[b];
                if (!u.due()) continue;
                if (u.fill == vals_[b].size()) {
                    put16(s_[kChunkCounts], 0);
                    u.ended = true;
                    continue;
                }
                const uint32_t limit = (1u << g_.countWidth[b]) - 1;
                uint32_t last = r;
                while (rowEnd_[b][last] == u.fill) ++last;  // rows without values
                while (last + 1 < bh_ && rowEnd_[b][last + 1] - u.fill <= limit && rng_.chance(o_.multiRowChunkPercent))
                    ++last;
                const uint32_t t = rowEnd_[b][last] - u.fill;
                put16(s_[kChunkCounts], static_cast<int32_t>(t));
                chunkValues(b, u.fill, t);
                u.fill += t;
            }
            for (int b = 0; b < kBundleCount; ++b) bundles[b].consume = rowEnd_[b][r];
        }
    }

    void chunkValues(int b, uint32_t from, uint32_t t) {
        std::vector<int32_t>& v = vals_[b];
        const int32_t firstInterDc = (1 << kInterDcBits) - 1;  // the first value has 10 bits and a sign
        if (b == kBundleInterDc && std::abs(v[from]) > firstInterDc) v[from] = v[from] < 0 ? -firstInterDc : firstInterDc;
        if (hasFormChoice(b)) {
            bool equal = true;
            for (uint32_t i = 1; i < t && equal; ++i) equal = v[from + i] == v[from];
            if (equal) put8(s_[kFormChoices], rng_.below(2));
        }
    }

    const GeneratorOptions& o_;
    Rng& rng_;
    Streams& s_;
    GeneratedBink& stats_;
    bool keyframe_;
    PlaneGeometry g_;
    uint32_t bw_ = 0, bh_ = 0;
    std::vector<int32_t> vals_[kBundleCount];
    std::vector<uint32_t> rowEnd_[kBundleCount];  // values used up to the end of each row
    uint32_t rowStart_[kBundleCount] = {};        // values before the current row
};

// Assembles one video packet from the frame's values with the unpacker's own
// frame assembly; false with a message when the writer fails or leaves values
// unused (the values would then not be what a packer reads back).
bool assemble(FrameView& view, PackFrame& values, std::vector<uint8_t>& packet, std::string& error) {
    size_t bytes = 0;
    for (const std::vector<uint8_t>& v : values.streams) bytes += v.size();
    view.bind(values, bytes * 4 + 65536);
    const std::string frame = "frame " + std::to_string(values.index);
    if (view.writeVideo() < 0) {
        error = frame + ": the Bink 1 frame assembly failed";
        return false;
    }
    for (int n = 1; n <= kStreamCount; ++n) {
        if (view.unread(n)) {
            error = frame + ": sub-stream " + std::to_string(n) + " has values left over";
            return false;
        }
    }
    const std::span<const uint8_t> w = view.written();
    packet.assign(w.begin(), w.end());
    return true;
}

bool makeVideo(const GeneratorOptions& o, Rng& rng, FrameView& view, uint32_t index, GeneratedBink& result,
               GeneratedFrame& frame) {
    PackFrame values;
    values.index = index;
    Streams& s = values.streams;
    // The packet record of a coded packet: its first word (set below), 0,
    // and with alpha the word after the alpha plane.
    std::vector<uint8_t>& record = s[kPacketRecords];
    appendLe32(record, 0);
    put8(record, 0);
    if (o.alpha) {
        PlaneGenerator(o, rng, s, result, false, frame.keyframe).run();
        appendLe32(record, static_cast<uint32_t>(rng.next()));
    }
    PlaneGenerator(o, rng, s, result, false, frame.keyframe).run();
    if (!o.grayscale) {
        PlaneGenerator(o, rng, s, result, true, frame.keyframe).run();
        PlaneGenerator(o, rng, s, result, true, frame.keyframe).run();
    }
    std::string error;
    if (!assemble(view, values, frame.video, error)) {
        result.error = error;
        return false;
    }
    // The first word holds the packet's size, as the frame's own bookkeeping.
    storeLe32(frame.video.data(), static_cast<uint32_t>(frame.video.size()));
    if (!o.grayscale && rng.chance(o.storedPercent)) {
        // Trailing bytes after the last plane: decoders stop before them, but
        // the packet no longer rewrites from its values, so it travels stored.
        std::vector<uint8_t> padded = frame.video;
        const uint32_t extra = 4 * (1 + rng.below(4));
        for (uint32_t i = 0; i < extra; ++i) padded.push_back(static_cast<uint8_t>(rng.below(256)));
        storeLe32(padded.data(), static_cast<uint32_t>(padded.size()));
        PackFrame stored;
        stored.index = index;
        stored.video = padded;
        storeBink1Packet(stored);
        if (!assemble(view, stored, frame.video, error)) {
            result.error = error;
            return false;
        }
        ++result.storedFrames;
    }
    return true;
}

// A packet of a track without the DCT flag.  Such a track codes the same
// block syntax without the two leading bits of each block, and a stereo track
// codes its channels interleaved, as one channel at twice the rate (whose
// block length and band count equal those of a mono DCT track at that rate
// for 11025..44099 Hz).  So each block is a one-block DCT packet's block moved
// two bits down, still padded to a 32-bit boundary.
std::vector<uint8_t> rawModePacket(const GeneratorAudioTrack& t, uint32_t blocks, Rng& rng) {
    std::vector<uint8_t> packet(4, 0);
    uint32_t decoded = 0;
    for (uint32_t b = 0; b < blocks; ++b) {
        // The block must keep its last word after the move: a block whose
        // bits end within the first two of its last word would shrink by a
        // word, and the padding is not told from zero-valued fields, so such
        // blocks are drawn again.
        std::vector<uint8_t> one;
        do {
            one = makeAudioPacket(t.stereo ? 2 * t.sampleRate : t.sampleRate, false, static_cast<uint32_t>(rng.next()), 1);
        } while (one.size() < 8 || (loadLe32(one.data() + one.size() - 4) >> 2) == 0);
        decoded += loadLe32(one.data());
        for (size_t i = 4; i < one.size(); ++i) {
            const uint32_t next = i + 1 < one.size() ? one[i + 1] : 0;
            packet.push_back(static_cast<uint8_t>((one[i] >> 2) | (next << 6)));
        }
    }
    storeLe32(packet.data(), decoded);
    return packet;
}

}  // namespace

const char* unsupportedAudio(const std::vector<GeneratorAudioTrack>& tracks) {
    for (const GeneratorAudioTrack& t : tracks) {
        if (t.sampleRate == 0 || t.sampleRate > 0xFFFF) return "audio sample rate outside 1..65535";
        if (!t.dct && t.stereo && (t.sampleRate < 11025 || t.sampleRate >= 44100))
            return "stereo raw-mode tracks are generated for 11025..44099 Hz only";
    }
    return nullptr;
}

std::vector<std::vector<uint8_t>> generateAudioPackets(const std::vector<GeneratorAudioTrack>& tracks, GeneratorRng& rng) {
    std::vector<std::vector<uint8_t>> packets;
    for (const GeneratorAudioTrack& t : tracks) {
        packets.emplace_back();
        if (!rng.chance(t.packetPercent)) continue;
        const uint32_t blocks = 1 + rng.below(3);  // decoders reject packets without blocks
        if (t.dct) {
            AudioPacketOptions a;
            a.sampleRate = t.sampleRate;
            a.stereo = t.stereo;
            a.seed = static_cast<uint32_t>(rng.next());
            a.blocks = blocks;
            a.correlated = static_cast<int>(rng.below(2));
            packets.back() = makeAudioPacket(a);
        } else {
            packets.back() = rawModePacket(t, blocks, rng);
        }
    }
    return packets;
}

std::vector<uint8_t> layOutBinkFile(const BinkFileLayout& l, const std::vector<GeneratorAudioTrack>& audio,
                                    const std::vector<GeneratedFrame>& frames) {
    const uint32_t tracks = static_cast<uint32_t>(audio.size());
    const uint32_t count = static_cast<uint32_t>(frames.size());
    const uint32_t headerLength = binkHeaderLength(reinterpret_cast<const uint8_t*>(l.signature));
    const BinkLayout parts = binkLayout(headerLength, tracks, count);
    std::vector<uint8_t> out(static_cast<size_t>(parts.frames), 0);
    std::vector<uint32_t> offsets;
    uint32_t largest = 0;
    for (const GeneratedFrame& f : frames) {
        offsets.push_back(static_cast<uint32_t>(out.size()) | (f.keyframe ? BinkFrameIndex::kKeyframe : 0));
        const size_t begin = out.size();
        for (const std::vector<uint8_t>& a : f.audio) {
            appendLe32(out, static_cast<uint32_t>(a.size()));
            out.insert(out.end(), a.begin(), a.end());
        }
        out.insert(out.end(), f.video.begin(), f.video.end());
        largest = std::max(largest, static_cast<uint32_t>(out.size() - begin));
    }
    offsets.push_back(static_cast<uint32_t>(out.size()));
    uint8_t* h = out.data();
    BinkHeaderFields fields;
    std::memcpy(fields.signature, l.signature, sizeof l.signature);
    fields.fileSize = static_cast<uint32_t>(out.size() - BinkHeader::kFileSizeFrom);
    fields.frameCount = count;
    fields.largestFrame = largest;
    fields.width = l.width;
    fields.height = l.height;
    fields.fpsNumerator = l.fpsNumerator;
    fields.fpsDenominator = l.fpsDenominator;
    fields.videoFlags = l.videoFlags;
    fields.trackCount = tracks;
    fields.extraWord = l.extraWord;
    writeBinkHeader(fields, h);
    // Track table: the largest decoded size of each track's packets, then
    // rate and flags (16-bit output, then DCT, or the raw-mode mark as real
    // raw-mode tracks have it, and stereo), then an identifier.
    uint8_t* table = h + parts.trackTable;
    for (uint32_t t = 0; t < tracks; ++t) {
        uint32_t decoded = 0;
        for (const GeneratedFrame& f : frames)
            if (f.audio[t].size() >= 4) decoded = std::max(decoded, loadLe32(f.audio[t].data()));
        const GeneratorAudioTrack& a = audio[t];
        const uint32_t flags = BinkTrackFlag::k16Bit | (a.dct ? BinkTrackFlag::kDct : BinkTrackFlag::kRawMode) |
                               (a.stereo ? BinkTrackFlag::kStereo : 0);
        storeLe32(table + BinkTrackTable::decodedSizeAt(tracks, t), decoded);
        storeLe32(table + BinkTrackTable::rateAndFlagsAt(tracks, t), BinkTrackTable::rateAndFlags(a.sampleRate, flags));
        storeLe32(table + BinkTrackTable::idAt(tracks, t), t);
    }
    uint8_t* index = h + parts.frameIndex;
    for (size_t k = 0; k < offsets.size(); ++k) storeLe32(index + BinkFrameIndex::kWordBytes * k, offsets[k]);
    return out;
}

GeneratedBink generateBink1File(const GeneratorOptions& o) {
    GeneratedBink result;
    if (bink1::planeBlocks(o.width, false) > bink1::kMaxBlockColumns) {
        result.error = "width above 8064 pixels (1008 block columns)";
        return result;
    }
    if (const char* why = unsupportedAudio(o.audio)) {
        result.error = why;
        return result;
    }
    Rng rng(o.seed);
    // The header fields the writer reads, as the unpacker derives them.
    BinkHeaderFields fields;
    std::memcpy(fields.signature, kBink1Signature, kSignatureLetters);
    fields.signature[BinkHeader::kVersion] = 'i';
    fields.frameCount = o.frames;
    fields.width = o.width;
    fields.height = o.height;
    fields.videoFlags = (o.alpha ? BinkVideoFlag::kAlpha : 0) | (o.grayscale ? BinkVideoFlag::kGrayscale : 0);
    uint8_t header[BinkHeader::kLongLength];
    BinkContext c;
    setHeaderFields(c, header, writeBinkHeader(fields, header));
    FrameView view(c);
    std::vector<GeneratedFrame> frames(o.frames);
    for (uint32_t j = 0; j < o.frames; ++j) {
        GeneratedFrame& f = frames[j];
        f.keyframe = j == 0 || rng.chance(o.keyframePercent);
        if (!makeVideo(o, rng, view, j, result, f)) return result;
        result.keyframes += f.keyframe;
        f.audio = generateAudioPackets(o.audio, rng);
    }

    BinkFileLayout layout;
    layout.width = o.width;
    layout.height = o.height;
    layout.fpsNumerator = o.fpsNumerator;
    layout.fpsDenominator = o.fpsDenominator;
    layout.videoFlags = c.videoFlags;
    result.bytes = layOutBinkFile(layout, o.audio, frames);
    result.ok = true;
    return result;
}

std::vector<uint8_t> generateBink1(const GeneratorOptions& options) {
    GeneratedBink r = generateBink1File(options);
    return r.ok ? std::move(r.bytes) : std::vector<uint8_t>();
}

}  // namespace dev
