// Element grammar of the audio packet stage, written once for both directions.
//
// Bink DCT audio packet: 4 bytes of decoded-sample count, then blocks.  A block
// is two zero bits and, per channel, two floats (5-bit exponent, 23-bit
// mantissa, sign bit), one 8-bit quantiser per band and the coefficients
// 2 .. frame length - 1 in run form; the block is padded with zero bits to a
// 32-bit boundary.  Bits go least significant first into 32-bit little-endian
// words.
//
// In the DEV stream each coefficient is range coded on its own (zero flag,
// sign, magnitude) under contexts of its band, quantiser and neighbours,
// optionally as a difference against a reference: the previous block of any
// channel of any track.  The run form carries no information of its own: it is
// recomputed from the coefficients, so the packer only accepts packets whose
// run form is the one we emit.
//
// The grammar is a template over the coder policy C (core/coder.h):
// DecodeCoder in the stage, which emits the Bink bits; EncodeCoder in the
// packer, which takes the values from AudioChannelValues.  Every context
// formula lives here and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bink_context.h"
#include "core/bits.h"
#include "core/models.h"
#include "core/range_decoder.h"
#include "core/value_stream.h"

namespace dev::audio {

constexpr int kMaxBands = 25;
constexpr int kMaxFrameLength = 2048;
constexpr int kMaxCoefficients = kMaxFrameLength - 2;  // coefficients 2 .. frame length - 1
constexpr uint32_t kMaxReferenceTracks = 128;          // the reference flag has one model per track
constexpr int kMaxMagnitudeLength = 16;                // magnitudes (and differences) below 2^16
constexpr int32_t kMaxCoefficient = 32767;             // a 4-bit width expresses 15 bits

// Upper edges of the quantiser bands, in Hz.
inline constexpr uint16_t kCriticalFrequencies[kMaxBands] = {
    100,  200,  300,  400,  510,  630,  770,  920,  1080,  1270,  1480,  1720,  2000,
    2320, 2700, 3150, 3700, 4400, 5300, 6400, 7700, 9500, 12000, 15500, 24500};

// Run lengths, in groups of 8 coefficients, that a run index of 4 bits names.
inline constexpr uint8_t kRunGroups[16] = {2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15, 16, 32, 64};

// ---- Model table: one flat array, a base per table and the index function
// that is the plain sum of context terms the format defines.  Below them, a
// static_assert per table checks that its largest index (at the largest
// arguments a valid stream can produce) stays below the next base; where the
// format lets contexts share models, the overlap is asserted as such. ----
//
// Arguments: band 0..24, quantiser q (clamped) 0..95 and k = q / 2, track j,
// the magnitude class of the previous coefficient 0..16 (0 after a zero, 1
// after a one, else its length), lengths 2..16.
constexpr uint32_t kMaxQuantiser = 95;
constexpr uint32_t kMaxClass = kMaxMagnitudeLength;

constexpr size_t kSampleCount = 0;
constexpr size_t kFloatExponent = 1024;
constexpr size_t kFloatMantissa = 1280;
constexpr size_t kFloatSign = 7424;
constexpr size_t kQuantiser = 7456;
constexpr size_t kReferenceFlag = 105760;
constexpr size_t kReferenceSelector = 105888;
constexpr size_t kZeroFlag = 106144;
constexpr size_t kCoefficientSign = 630432;
constexpr size_t kMagnitudeOne = 630436;
constexpr size_t kMagnitudeLength = 646820;
constexpr size_t kMagnitudeBits = 663204;
constexpr size_t kPacketSize = 925348;  // IntegerModels block
constexpr size_t kRawByte = 925417;
constexpr size_t kModelCount = 925673;

// The four bytes of the decoded-sample count, by position; the three trees of
// a float mantissa (8, 8 and 7 bits) per exponent class (exponent >> 2).
DEV_INLINE constexpr size_t sampleCountBase(uint32_t position) { return kSampleCount + 256 * position; }
DEV_INLINE constexpr size_t floatExponentBase(uint32_t context) { return kFloatExponent + 32 * context; }
DEV_INLINE constexpr size_t floatMantissaBase(uint32_t exponentClass, uint32_t part) {
    return kFloatMantissa + 768 * exponentClass + 256 * part;
}
DEV_INLINE constexpr size_t floatSignModel(uint32_t exponentClass, uint32_t history) { return kFloatSign + 4 * exponentClass + history; }
DEV_INLINE constexpr size_t quantiserContext(uint32_t band, uint32_t k) { return kQuantiser + (band / 4 + 8 * k) * 256; }
DEV_INLINE constexpr size_t referenceFlagModel(uint32_t track) { return kReferenceFlag + track; }
DEV_INLINE constexpr size_t zeroFlagContext(uint32_t useRef, uint32_t zeroRun, uint32_t band, uint32_t quantiser,
                                 uint32_t zeroHistory, uint32_t prevClass) {
    return kZeroFlag + (useRef << 18) + (bitLength(zeroRun) << 15) + ((band / 4) << 12) + (quantiser / 4) * 32 +
           (zeroHistory >> 1) + 2 * prevClass;
}
DEV_INLINE constexpr size_t coefficientSignModel(uint32_t history) { return kCoefficientSign + history; }
DEV_INLINE constexpr size_t magnitudeOneContext(uint32_t useRef, uint32_t band, uint32_t oneHistory, uint32_t prevClass) {
    return kMagnitudeOne + useRef * 8192 + (band / 4) * 1024 + 16 * oneHistory + prevClass;
}
DEV_INLINE constexpr size_t magnitudeLengthContext(uint32_t useRef, uint32_t band, uint32_t prevClass) {
    return kMagnitudeLength + useRef * 8192 + band * 256 + 16 * prevClass;
}
DEV_INLINE constexpr size_t magnitudeBitsContext(uint32_t useRef, uint32_t band, uint32_t length, uint32_t prevClass) {
    return kMagnitudeBits + useRef * 131072 + band * 4096 + (length - 2) * 256 + 16 * prevClass;
}

static_assert(sampleCountBase(3) + 255 < kFloatExponent);
static_assert(floatExponentBase(7) + 31 < kFloatMantissa);
static_assert(floatMantissaBase(7, 2) + 127 < kFloatSign);
static_assert(floatSignModel(7, 3) < kQuantiser);
static_assert(quantiserContext(kMaxBands - 1, kMaxQuantiser / 2) + 255 < kReferenceFlag);
static_assert(referenceFlagModel(kMaxReferenceTracks - 1) < kReferenceSelector);
static_assert(kReferenceSelector + 255 < kZeroFlag);
static_assert(zeroFlagContext(1, 127, kMaxBands - 1, kMaxQuantiser, 3, kMaxClass) < kCoefficientSign);
static_assert(coefficientSignModel(3) < kMagnitudeOne);
static_assert(magnitudeOneContext(1, kMaxBands - 1, 63, kMaxClass) < kMagnitudeLength);
static_assert(magnitudeLengthContext(1, kMaxBands - 1, kMaxClass) + kMaxMagnitudeLength - 2 < kMagnitudeBits);
static_assert(magnitudeBitsContext(1, kMaxBands - 1, kMaxMagnitudeLength, kMaxClass) + kMaxMagnitudeLength - 2 <
              kPacketSize);
static_assert(kPacketSize + IntegerModels::kSize == kRawByte && kRawByte + 255 < kModelCount);
// Intended overlaps: the class of the previous coefficient runs to 16, past
// the room its term has before the next context of the term above it.
static_assert(2 * kMaxClass + 1 >= 32);               // zero flag: the next quantiser step
static_assert(kMaxClass >= 16);                       // magnitude-is-one: the next one history
static_assert(16 * kMaxClass + kMaxMagnitudeLength - 2 >= 256);  // magnitude length: the next band

// Per track: band layout from the sample rate, float contexts and the
// coefficients of the most recent block of each channel.
struct AudioTrackState {
    int bandCount;
    int frameLength;
    int channels;
    uint8_t exponentContext;
    uint8_t floatSignHistory;
    // Entry k - 1: first coefficient of band k (k = 1 .. bandCount - 1); the
    // entry after them holds the frame length.  Band 0 starts at 2.
    int boundaries[kMaxBands];
    uint8_t quantisers[2][kMaxBands];  // clamped to 95
    int16_t history[2][kMaxCoefficients];
};

// Band layout of a track as a Bink audio decoder derives it.
inline void setupTrack(AudioTrackState& t, uint32_t sampleRate, bool stereo) {
    t.frameLength = sampleRate < 22050 ? 512 : sampleRate < 44100 ? 1024 : 2048;
    t.channels = stereo ? 2 : 1;
    const uint32_t half = (sampleRate + 1) >> 1;
    int n = 1;
    while (n < kMaxBands && kCriticalFrequencies[n - 1] < half) ++n;
    t.bandCount = n;
    for (int k = 1; k < n; ++k)
        t.boundaries[k - 1] = static_cast<int>((uint32_t(kCriticalFrequencies[k - 1]) * uint32_t(t.frameLength) / half) & ~1u);
    t.boundaries[n - 1] = t.frameLength;
}

// The whole state of one coding context (the stage thread, or the packer's
// mirror of it): the models in one block and the track array.
struct AudioState {
    ModelSet models;
    AudioTrackState* tracks = nullptr;
    uint32_t trackCount = 0;
    bool rawMode = false;

    AudioState() = default;
    AudioState(const AudioState&) = delete;
    AudioState& operator=(const AudioState&) = delete;
    ~AudioState() { release(); }

    // Builds the models and the track layouts from the header's track table.
    // false when memory cannot be had, or when DCT coding meets more tracks
    // than the reference flag has models for.
    bool init(const BinkContext& context) {
        release();
        trackCount = context.audioTrackCount;
        rawMode = context.noDctTrack != 0;
        if (!rawMode && trackCount > kMaxReferenceTracks) return false;
        if (trackCount && !context.tracks) return false;
        if (!models.allocate(kModelCount)) return false;
        if (!rawMode && trackCount) {
            tracks = static_cast<AudioTrackState*>(platform::pageAlloc(sizeof(AudioTrackState) * trackCount));
            if (!tracks) return false;
            for (uint32_t j = 0; j < trackCount; ++j)
                setupTrack(tracks[j], context.tracks[j].sampleRate, context.tracks[j].stereo != 0);
        }
        return true;
    }
    void release() {
        if (tracks) platform::pageFree(tracks, sizeof(AudioTrackState) * trackCount);
        tracks = nullptr;
        models.release();
    }
};

// Bink bit order: least significant bit first into 32-bit little-endian words.
struct AudioBitWriter {
    ValueWriter& out;
    uint64_t acc = 0;
    uint32_t count = 0;

    explicit AudioBitWriter(ValueWriter& w) : out(w) {}
    DEV_INLINE void put(uint32_t value, uint32_t bits) {
        acc |= uint64_t(value) << count;
        count += bits;
        if (count >= 32) {
            out.put32(static_cast<uint32_t>(acc));
            acc >>= 32;
            count -= 32;
        }
    }
    // Pads the last word with zero bits.
    DEV_INLINE void align() {
        if (count) out.put32(static_cast<uint32_t>(acc));
        acc = 0;
        count = 0;
    }
};

// One channel of one block as the packer parsed it (and as the stage decodes it).
struct AudioChannelValues {
    uint8_t exponent[2];
    uint32_t mantissa[2];
    uint8_t sign[2];
    uint8_t quantisers[kMaxBands];
    uint8_t useReference;
    uint8_t selector;  // track x 2 + channel
    int16_t coefficients[kMaxCoefficients];
};

// Writes one channel's coefficients in Bink run form: groups of 8, runs of
// equal width as long as the run table allows.
inline void emitCoefficients(AudioBitWriter& w, const int16_t* c, int count) {
    const int groups = (count + 7) / 8;
    uint8_t widths[kMaxCoefficients / 8 + 1];
    for (int g = 0; g < groups; ++g) {
        uint32_t all = 0;
        const int end = g * 8 + 8 < count ? g * 8 + 8 : count;
        for (int i = g * 8; i < end; ++i) all |= static_cast<uint32_t>(c[i] < 0 ? -c[i] : c[i]);
        widths[g] = static_cast<uint8_t>(bitLength(all));
    }
    int g = 0;
    while (g < groups) {
        const uint32_t w0 = widths[g];
        int run = 1, index = -1;
        if (groups - g > 1) {
            int checked = g + 1;  // groups g .. checked - 1 are known to match
            for (int t = 0; t < 16; ++t) {
                const int want = g + kRunGroups[t] < groups ? g + kRunGroups[t] : groups;
                bool match = true;
                for (; checked < want; ++checked)
                    if (widths[checked] != w0) { match = false; break; }
                if (!match) break;
                run = kRunGroups[t];
                index = t;
                if (want == groups) break;
            }
        }
        if (index < 0) w.put(0, 1);
        else w.put(1 | (uint32_t(index) << 1), 5);
        w.put(w0, 4);
        const int first = g * 8;
        g = g + run < groups ? g + run : groups;
        if (w0) {
            const int last = g * 8 < count ? g * 8 : count;
            for (int i = first; i < last; ++i) {
                const int32_t v = c[i];
                if (v) w.put(static_cast<uint32_t>(v < 0 ? -v : v) | (uint32_t(v < 0) << w0), w0 + 1);
                else w.put(0, w0);
            }
        }
    }
}

// One float as the Bink bits have it: 5-bit exponent, 23-bit mantissa, sign.
DEV_INLINE void emitFloat(AudioBitWriter& w, uint32_t exponent, uint32_t mantissa, uint32_t sign) {
    w.put(exponent | ((mantissa & 0xFFFF) << 5), 21);
    w.put((mantissa >> 16) | (sign << 7), 8);
}

// The Bink bits of one block from its values (one entry per channel).
inline void emitBlock(AudioBitWriter& w, const AudioTrackState& t, const AudioChannelValues* values) {
    w.put(0, 2);
    for (int ch = 0; ch < t.channels; ++ch) {
        const AudioChannelValues& v = values[ch];
        for (int n = 0; n < 2; ++n) emitFloat(w, v.exponent[n], v.mantissa[n], v.sign[n]);
        for (int l = 0; l < t.bandCount; ++l) w.put(v.quantisers[l], 8);
        emitCoefficients(w, v.coefficients, t.frameLength - 2);
    }
    w.align();
}

// Codes one float: exponent, mantissa in three trees, sign.
template <class C>
DEV_INLINE void codeFloat(C& c, BitModel* models, AudioTrackState& t, const AudioChannelValues* v, int n,
                          AudioBitWriter* w) {
    uint32_t e = 0, mant = 0, s = 0;
    if constexpr (C::kEncoding) {
        e = v->exponent[n];
        mant = v->mantissa[n];
        s = v->sign[n];
    }
    e = c.tree(models + floatExponentBase(t.exponentContext), 5, e);
    t.exponentContext = static_cast<uint8_t>(e >> 2);
    BitModel* mm = models + floatMantissaBase(e >> 2, 0);
    const uint32_t m0 = c.tree(mm, 8, mant & 0xFF);
    const uint32_t m1 = c.tree(mm + 256, 8, (mant >> 8) & 0xFF);
    const uint32_t m2 = c.tree(mm + 512, 7, (mant >> 16) & 0x7F);
    s = c.bit(models[floatSignModel(e >> 2, t.floatSignHistory)], s);
    t.floatSignHistory = static_cast<uint8_t>((t.floatSignHistory * 2 + s) & 3);
    if constexpr (!C::kEncoding) emitFloat(*w, e, m0 | (m1 << 8) | (m2 << 16), s);
}

// Codes the coefficients of one channel against an optional reference.  The
// absolute coefficients land in hist (which may be ref itself: each entry is
// read before it is replaced).  false when a magnitude is longer than 16 bits
// or a coefficient leaves 15 bits.
template <class C>
DEV_INLINE bool codeCoefficients(C& c, BitModel* models, const AudioTrackState& t, const uint8_t* quantisers,
                                 uint32_t useRef, const int16_t* ref, int16_t* hist, const int16_t* values) {
    const int frameLength = t.frameLength;
    uint32_t band = t.boundaries[0] <= 2 ? 1 : 0;
    uint32_t bandEnd = static_cast<uint32_t>(t.boundaries[band]);
    uint32_t quant = quantisers[band];
    uint32_t zeroRun = 0, zeroHistory = 0, oneHistory = 0, signHistory = 0, prevClass = 0;
    for (int i = 2; i < frameLength; ++i) {
        const int32_t base = useRef ? ref[i - 2] : 0;
        int32_t diff = 0;
        if constexpr (C::kEncoding) diff = values[i - 2] - base;
        const uint32_t zero =
            c.bit(models[zeroFlagContext(useRef, zeroRun, band, quant, zeroHistory, prevClass)], diff == 0);
        if (zero) {
            zeroHistory = (2 * zeroHistory + 1) & 3;
            if (zeroRun < 127) ++zeroRun;
            prevClass = 0;
            diff = 0;
        } else {
            zeroHistory = (2 * zeroHistory) & 3;
            zeroRun = 0;
            const uint32_t s = c.bit(models[coefficientSignModel(signHistory)], diff < 0);
            signHistory = (2 * signHistory + s) & 3;
            const uint32_t want = static_cast<uint32_t>(diff < 0 ? -diff : diff);
            uint32_t magnitude;
            if (c.bit(models[magnitudeOneContext(useRef, band, oneHistory, prevClass)], want == 1)) {
                oneHistory = (2 * oneHistory + 1) & 63;
                prevClass = 1;
                magnitude = 1;
            } else {
                oneHistory = (2 * oneHistory) & 63;
                const uint32_t wantLength = bitLength(want);
                BitModel* lm = models + magnitudeLengthContext(useRef, band, prevClass);
                uint32_t length = 2;
                while (!c.bit(lm[length - 2], wantLength == length))
                    if (++length > kMaxMagnitudeLength) return false;
                BitModel* bm = models + magnitudeBitsContext(useRef, band, length, prevClass);
                magnitude = 1;
                for (uint32_t k = 0; k + 1 < length; ++k)
                    magnitude = 2 * magnitude + c.bit(bm[k], (want >> (length - 2 - k)) & 1);
                prevClass = length;
            }
            diff = s ? -static_cast<int32_t>(magnitude) : static_cast<int32_t>(magnitude);
        }
        const int32_t v = base + diff;
        if (v > kMaxCoefficient || v < -kMaxCoefficient) return false;
        hist[i - 2] = static_cast<int16_t>(v);
        if (static_cast<uint32_t>(i + 1) >= bandEnd && i + 1 < frameLength) {
            ++band;
            bandEnd = static_cast<uint32_t>(t.boundaries[band]);
            quant = quantisers[band];
        }
    }
    return true;
}

// Codes one block of track j.  Decoding (w set): writes the block's Bink bits.
// Encoding (values set, one per channel): choose(channel, values) is called
// just before a channel's reference is coded, to fill useReference/selector.
// false on a bound the format cannot express.
template <class C, class Choose>
inline bool codeBlock(C& c, AudioState& st, uint32_t j, AudioChannelValues* values, AudioBitWriter* w,
                      Choose&& choose) {
    BitModel* models = st.models.data();
    AudioTrackState& t = st.tracks[j];
    if constexpr (!C::kEncoding) w->put(0, 2);
    uint32_t k = 0;  // previous quantiser context, runs on across channels
    for (int ch = 0; ch < t.channels; ++ch) {
        AudioChannelValues* v = nullptr;
        if constexpr (C::kEncoding) v = values + ch;
        codeFloat(c, models, t, v, 0, w);
        codeFloat(c, models, t, v, 1, w);
        for (int l = 0; l < t.bandCount; ++l) {
            uint32_t q = 0;
            if constexpr (C::kEncoding) q = v->quantisers[l];
            q = c.tree(models + quantiserContext(static_cast<uint32_t>(l), k), 8, q);
            if constexpr (!C::kEncoding) w->put(q, 8);
            const uint32_t clamped = q < 95 ? q : 95;
            t.quantisers[ch][l] = static_cast<uint8_t>(clamped);
            k = clamped >> 1;
        }
        uint32_t useRef = 0, selector = 0;
        if constexpr (C::kEncoding) {
            choose(ch, *v);
            useRef = v->useReference;
            selector = v->selector;
        }
        useRef = c.bit(models[referenceFlagModel(j)], useRef);
        const int16_t* ref = nullptr;
        if (useRef) {
            selector = c.tree(models + kReferenceSelector, 8, selector);
            if ((selector >> 1) >= st.trackCount) return false;
            ref = st.tracks[selector >> 1].history[selector & 1];
        }
        int16_t* hist = t.history[ch];
        if (!codeCoefficients(c, models, t, t.quantisers[ch], useRef, ref, hist,
                              C::kEncoding ? v->coefficients : nullptr))
            return false;
        if constexpr (!C::kEncoding) emitCoefficients(*w, hist, t.frameLength - 2);
    }
    if constexpr (!C::kEncoding) w->align();
    return true;
}

// Packet size of a track (0 = no packet).
template <class C>
DEV_INLINE uint32_t codePacketSize(C& c, AudioState& st, uint32_t size) {
    uint8_t unusedHistory = 0;
    return static_cast<uint32_t>(
        c.integer(st.models.data() + kPacketSize, unusedHistory, false, static_cast<int32_t>(size)));
}

// One packet byte: raw mode, or one of the four sample-count bytes.
template <class C>
DEV_INLINE uint32_t codeRawByte(C& c, AudioState& st, uint32_t value) {
    return c.tree(st.models.data() + kRawByte, 8, value);
}
template <class C>
DEV_INLINE uint32_t codeSampleCountByte(C& c, AudioState& st, uint32_t position, uint32_t value) {
    return c.tree(st.models.data() + sampleCountBase(position), 8, value);
}

// Decodes one frame's chunk into the audio sub-stream (per track: 32-bit size, then
// the packet).  false on corrupt data or output beyond the writer's capacity;
// nothing is written past the writer's end.
bool decodeAudioChunk(AudioState& st, const uint8_t* chunk, size_t length, ValueWriter& out);

}  // namespace dev::audio
