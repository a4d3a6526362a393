// The Bink DCT audio packet bitstream, written once over a bit-direction
// policy D (writers/bit_direction.h): the audio stage writes its blocks with
// BitsOut, the packer's parser reads packets with BitsIn and proves each block
// by writing it again with BitsOut, and the test generator writes its packets
// through the same syntax.
//
// A packet: 4 bytes of decoded-sample count, then blocks.  A block is two zero
// bits and, per channel, two floats (5-bit exponent, 23-bit mantissa, sign
// bit), one 8-bit quantiser per band and the coefficients 2 .. frame length -
// 1 in run form; the block is padded with zero bits to a 32-bit boundary.
// Bits go least significant first into 32-bit little-endian words.
//
// The run form is the one choice the writer makes: groups of 8 coefficients,
// each group as wide as its largest magnitude, runs of equal width as long as
// the run table allows.  The parser reads whatever form the packet holds; the
// rewrite of the block, not the syntax, tells whether it is ours.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bits.h"
#include "core/range_decoder.h"  // DEV_INLINE

namespace dev::audio {

constexpr int kMaxBands = 25;
constexpr int kMaxFrameLength = 2048;
constexpr int kMaxCoefficients = kMaxFrameLength - 2;  // coefficients 2 .. frame length - 1
constexpr int32_t kMaxCoefficient = 32767;             // a 4-bit width expresses 15 bits

// Upper edges of the quantiser bands, in Hz.
inline constexpr uint16_t kCriticalFrequencies[kMaxBands] = {
    100,  200,  300,  400,  510,  630,  770,  920,  1080,  1270,  1480,  1720,  2000,
    2320, 2700, 3150, 3700, 4400, 5300, 6400, 7700, 9500, 12000, 15500, 24500};

// Run lengths, in groups of 8 coefficients, that a run index of 4 bits names.
inline constexpr uint8_t kRunGroups[16] = {2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15, 16, 32, 64};

// What a track's sample rate and channel count make of its blocks.
struct AudioLayout {
    int bandCount;
    int frameLength;
    int channels;
    // Entry k - 1: first coefficient of band k (k = 1 .. bandCount - 1); the
    // entry after them holds the frame length.  Band 0 starts at 2.
    int boundaries[kMaxBands];
};

// The layout as a Bink audio decoder derives it.
inline void setupTrack(AudioLayout& t, uint32_t sampleRate, bool stereo) {
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

// The values one channel of one block holds.
struct AudioChannelBits {
    uint8_t exponent[2];
    uint32_t mantissa[2];
    uint8_t sign[2];
    uint8_t quantisers[kMaxBands];
    int16_t coefficients[kMaxCoefficients];
};

// The most bytes one block of the layout can take: per channel two floats,
// every band's quantiser, a run header per group and each coefficient in 16
// bits, with room to spare.
constexpr size_t maxBlockBytes(const AudioLayout& t) {
    return (2 + size_t(t.channels) * (2 * 29 + 8 * kMaxBands + 9 * (kMaxCoefficients / 8 + 1) + 16 * kMaxCoefficients)) / 8 +
           8;
}

// One float: 5-bit exponent, 23-bit mantissa, sign.
template <class D>
DEV_INLINE void floatSyntax(D& d, uint8_t& exponent, uint32_t& mantissa, uint8_t& sign) {
    const uint32_t e = d.field(exponent, 5);
    const uint32_t m = d.field(mantissa, 23);
    const uint32_t s = d.field(sign, 1);
    if constexpr (!D::kWriting) {
        exponent = static_cast<uint8_t>(e);
        mantissa = m;
        sign = static_cast<uint8_t>(s);
    }
}

// One channel's coefficients (count of them) in run form: per run a flag,
// the run index when set (else the run is one group), the 4-bit width, then
// each coefficient of the run's groups as its magnitude in width bits and,
// when not zero, a sign bit.  A run of width 0 holds zeros only.
template <class D>
DEV_INLINE void coefficientSyntax(D& d, int16_t* c, int count) {
    const int groups = (count + 7) / 8;
    uint8_t widths[kMaxCoefficients / 8 + 1];
    if constexpr (D::kWriting) {
        for (int g = 0; g < groups; ++g) {
            uint32_t all = 0;
            const int end = g * 8 + 8 < count ? g * 8 + 8 : count;
            for (int i = g * 8; i < end; ++i) all |= static_cast<uint32_t>(c[i] < 0 ? -c[i] : c[i]);
            widths[g] = static_cast<uint8_t>(bitLength(all));
        }
    }
    int g = 0;
    while (g < groups) {
        uint32_t width = 0;
        int run = 1, index = -1;
        if constexpr (D::kWriting) {
            width = widths[g];
            if (groups - g > 1) {
                int checked = g + 1;  // groups g .. checked - 1 are known to match
                for (int t = 0; t < 16; ++t) {
                    const int want = g + kRunGroups[t] < groups ? g + kRunGroups[t] : groups;
                    bool match = true;
                    for (; checked < want; ++checked)
                        if (widths[checked] != width) {
                            match = false;
                            break;
                        }
                    if (!match) break;
                    index = t;
                    if (want == groups) break;
                }
            }
        }
        if (d.flag(index >= 0)) run = kRunGroups[d.field(static_cast<uint32_t>(index), 4)];
        width = d.field(width, 4);
        const int first = g * 8;
        g = g + run < groups ? g + run : groups;
        const int last = g * 8 < count ? g * 8 : count;
        if (width) {
            for (int i = first; i < last; ++i) {
                const int32_t v = d.signedMagnitude(D::kWriting ? c[i] : 0, width);
                if constexpr (!D::kWriting) c[i] = static_cast<int16_t>(v);
            }
        } else if constexpr (!D::kWriting) {
            for (int i = first; i < last; ++i) c[i] = 0;
        }
    }
}

// One block: two zero bits, each channel's floats, quantisers and
// coefficients, then zero bits to the next 32-bit boundary.  channels holds
// one entry per channel, channel 0 first (AudioChannelBits or a type made
// from it).  The writing direction only reads the values.
template <class D, class Channel>
DEV_INLINE void blockSyntax(D& d, const AudioLayout& t, Channel* channels) {
    d.field(0, 2);
    for (int ch = 0; ch < t.channels; ++ch) {
        AudioChannelBits& v = channels[ch];
        for (int n = 0; n < 2; ++n) floatSyntax(d, v.exponent[n], v.mantissa[n], v.sign[n]);
        for (int l = 0; l < t.bandCount; ++l) {
            const uint32_t q = d.field(v.quantisers[l], 8);
            if constexpr (!D::kWriting) v.quantisers[l] = static_cast<uint8_t>(q);
        }
        coefficientSyntax(d, v.coefficients, t.frameLength - 2);
    }
    d.align32();
}

}  // namespace dev::audio
