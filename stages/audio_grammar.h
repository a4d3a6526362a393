// Element grammar of the audio packet stage, written once for both directions.
// The Bink bits of a packet are writers/audio_syntax.h.
//
// In the DEV stream each coefficient is range coded on its own (zero flag,
// sign, magnitude) under contexts of its band, quantiser and neighbours,
// optionally as a difference against a reference: the previous block of any
// channel of any track.  The run form carries no information of its own: it is
// recomputed from the coefficients, so the packer only accepts packets whose
// run form is the one we emit.
//
// The grammar is a template over the coder policy C (core/coder.h):
// DecodeCoder in the stage, which fills the values of a block for the stage
// to write with the audio syntax; EncodeCoder in the packer, which takes the
// values from AudioChannelValues.  Every context formula lives here and
// nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/bink_context.h"
#include "core/bits.h"
#include "core/models.h"
#include "core/range_decoder.h"
#include "core/value_stream.h"
#include "writers/audio_syntax.h"

namespace dev::audio {

constexpr uint32_t kMaxReferenceTracks = 128;  // the reference flag has one model per track
constexpr int kMaxMagnitudeLength = 16;        // magnitudes (and differences) below 2^16

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
// Under one large page: a file with audio touches a third of it, some 160
// small pages whose faults fell on the audio thread.  Backed as one.
constexpr platform::PageSpan kDenseSpan = denseModels(0, kModelCount);

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
struct AudioTrackState : AudioLayout {  // band layout by audio::setupTrack
    uint8_t exponentContext;
    uint8_t floatSignHistory;
    uint8_t quantisers[2][kMaxBands];  // clamped to 95
    int16_t history[2][kMaxCoefficients];
};

// One channel of one block as the packer parsed it (and as the stage decodes
// it): its Bink values and the reference the DEV stream codes it against.
struct AudioChannelValues : AudioChannelBits {
    uint8_t useReference;
    uint8_t selector;  // track x 2 + channel
};

// false when the file's audio cannot be coded: DCT coding with more tracks
// than the reference flag has models for, or a track count without its table.
inline bool carries(const BinkContext& context) {
    const bool rawMode = context.noDctTrack != 0;
    if (!rawMode && context.audioTrackCount > kMaxReferenceTracks) return false;
    return context.audioTrackCount == 0 || context.tracks != nullptr;
}

// The whole state of one coding context (the stage thread, or the packer's
// mirror of it): the models in one block and the track array.
struct AudioState {
    ModelSet models;
    AudioTrackState* tracks = nullptr;
    uint32_t trackCount = 0;
    bool rawMode = false;
    AudioChannelValues block[2];  // the block the stage decodes, by channel

    AudioState() = default;
    AudioState(const AudioState&) = delete;
    AudioState& operator=(const AudioState&) = delete;
    ~AudioState() { release(); }

    // Builds the models and the track layouts from the header's track table.
    // false when memory cannot be had, or when the file's audio cannot be
    // coded (carries).
    bool init(const BinkContext& context) {
        release();
        trackCount = context.audioTrackCount;
        rawMode = context.noDctTrack != 0;
        if (!carries(context)) return false;
        if (!models.allocate(kModelCount, &kDenseSpan, 1)) return false;
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

// Codes one float: exponent, mantissa in three trees, sign.
template <class C>
DEV_INLINE void codeFloat(C& c, BitModel* models, AudioTrackState& t, AudioChannelValues& v, int n) {
    uint32_t e = 0, mant = 0, s = 0;
    if constexpr (C::kEncoding) {
        e = v.exponent[n];
        mant = v.mantissa[n];
        s = v.sign[n];
    }
    e = c.tree(models + floatExponentBase(t.exponentContext), 5, e);
    t.exponentContext = static_cast<uint8_t>(e >> 2);
    BitModel* mm = models + floatMantissaBase(e >> 2, 0);
    const uint32_t m0 = c.tree(mm, 8, mant & 0xFF);
    const uint32_t m1 = c.tree(mm + 256, 8, (mant >> 8) & 0xFF);
    const uint32_t m2 = c.tree(mm + 512, 7, (mant >> 16) & 0x7F);
    s = c.bit(models[floatSignModel(e >> 2, t.floatSignHistory)], s);
    t.floatSignHistory = static_cast<uint8_t>((t.floatSignHistory * 2 + s) & 3);
    if constexpr (!C::kEncoding) {
        v.exponent[n] = static_cast<uint8_t>(e);
        v.mantissa[n] = m0 | (m1 << 8) | (m2 << 16);
        v.sign[n] = static_cast<uint8_t>(s);
    }
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
            diff = static_cast<int32_t>(withSign(magnitude, s));
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

// Codes one block of track j with its values, one entry per channel: taken
// from them when encoding, filled in when decoding.  Encoding:
// choose(channel, values) is called just before a channel's reference is
// coded, to fill useReference/selector.  false on a bound the format cannot
// express.
template <class C, class Choose>
inline bool codeBlock(C& c, AudioState& st, uint32_t j, AudioChannelValues* values, Choose&& choose) {
    BitModel* models = st.models.data();
    AudioTrackState& t = st.tracks[j];
    uint32_t k = 0;  // previous quantiser context, runs on across channels
    for (int ch = 0; ch < t.channels; ++ch) {
        AudioChannelValues* v = values + ch;
        codeFloat(c, models, t, *v, 0);
        codeFloat(c, models, t, *v, 1);
        for (int l = 0; l < t.bandCount; ++l) {
            uint32_t q = 0;
            if constexpr (C::kEncoding) q = v->quantisers[l];
            q = c.tree(models + quantiserContext(static_cast<uint32_t>(l), k), 8, q);
            if constexpr (!C::kEncoding) v->quantisers[l] = static_cast<uint8_t>(q);
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
        if constexpr (!C::kEncoding)
            std::memcpy(v->coefficients, hist, sizeof(int16_t) * static_cast<size_t>(t.frameLength - 2));
    }
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

}  // namespace dev::audio
