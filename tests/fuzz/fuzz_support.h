// Pieces shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/bink_context.h"
#include "core/byte_io.h"
#include "driver/header_decoder.h"
#include "writers/bink_container.h"

// An invariant of a target.  When it does not hold the run stops at once,
// under libFuzzer (which keeps the input) and in the replay driver alike.
#define DEV_FUZZ_CHECK(condition)           \
    do {                                    \
        if (!(condition)) __builtin_trap(); \
    } while (0)

namespace dev::fuzz {

// The file a stage or writer target works in, from the first kBytes of its
// input (what the header decoder would have filled from a header chunk):
//   byte 0      the target's own choice (which stage, which generation)
//   byte 1      version letter
//   bytes 2-5   width and height, 16 bits each
//   bytes 6-9   video flags
//   byte 10     keyframe bits, frame k in bit k (frames above 7: not key)
//   byte 11     audio track count (low two bits)
//   bytes 12-23 three tracks: sample rate and flags (the track word's high
//               half), 16 bits each
// The frame count is given by the target.  false for flags the header
// decoder refuses (no stage ever sees them).
struct FuzzedFile {
    static constexpr size_t kBytes = 24;
    BinkContext context;
    std::vector<uint32_t> keyframes;
    AudioTrackInfo tracks[3];

    bool read(const uint8_t* in, bool isBink2, uint32_t frames) {
        const auto word16 = [&](size_t at) { return loadLe16(in + at); };
        BinkHeaderFields fields;
        std::memcpy(fields.signature, isBink2 ? kBink2Signature : kBink1Signature, kSignatureLetters);
        fields.signature[BinkHeader::kVersion] = static_cast<char>(in[1]);
        fields.frameCount = frames;
        fields.width = word16(2);
        fields.height = word16(4);
        fields.videoFlags = loadLe32(in + 6);
        fields.trackCount = in[11] & 3;
        uint8_t header[BinkHeader::kLongLength];
        setHeaderFields(context, header, writeBinkHeader(fields, header));
        if (!videoFlagsSupported(isBink2, context.videoFlags)) return false;
        keyframes.assign(frames + 1, 0);
        for (uint32_t k = 0; k < frames && k < 8; ++k) keyframes[k] = (in[10] >> k) & 1;
        context.keyframes = keyframes.data();
        for (uint32_t t = 0; t < context.audioTrackCount; ++t)
            setTrackFields(context, tracks[t], word16(12 + 4 * t), word16(14 + 4 * t));
        context.tracks = tracks;
        return true;
    }
};

// Cuts what follows a target's fixed bytes into at most `most` pieces, each
// a 16-bit length and that many bytes (fewer when the input ends), each in a
// block of exactly its size.
inline std::vector<std::vector<uint8_t>> pieces(const uint8_t* p, const uint8_t* end, size_t most) {
    std::vector<std::vector<uint8_t>> out;
    while (out.size() < most && end - p >= 2) {
        size_t n = loadLe16(p);
        p += 2;
        if (n > size_t(end - p)) n = size_t(end - p);
        out.emplace_back(p, p + n);
        p += n;
    }
    return out;
}

}  // namespace dev::fuzz
