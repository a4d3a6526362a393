#include "core/frame_assembly.h"

#include <cstring>

#include "core/pipeline.h"
#include "platform/platform.h"
#include "writers/bink1_plane_writer.h"
#include "writers/bink2/frame_assembly.h"

namespace dev {

namespace {

// Copies n bytes from a sub-stream's front buffer to the frame.
bool copyBytes(BinkContext& c, StreamBuffer& s, size_t n) {
    ValueReader r = s.frontReader();
    const uint8_t* src = r.take(n);
    if (!src || static_cast<size_t>(c.outEnd - c.out) < n) return false;
    if (n) std::memcpy(c.out, src, n);
    c.out += n;
    s.cursor += n;
    return true;
}

bool takeWord(StreamBuffer& s, uint32_t& word) {
    ValueReader r = s.frontReader();
    word = r.get32();
    if (r.underflow) return false;
    s.cursor += 4;
    return true;
}

bool putWord(BinkContext& c, uint32_t word) {
    if (c.outEnd - c.out < 4) return false;
    c.out[0] = static_cast<uint8_t>(word);
    c.out[1] = static_cast<uint8_t>(word >> 8);
    c.out[2] = static_cast<uint8_t>(word >> 16);
    c.out[3] = static_cast<uint8_t>(word >> 24);
    c.out += 4;
    return true;
}

bool copyWord(BinkContext& c, StreamBuffer& s) {
    uint32_t w;
    return takeWord(s, w) && putWord(c, w);
}

}  // namespace

int32_t assembleAudio(BinkContext& c) {
    StreamBuffer& s = c.streams[0];
    for (uint32_t t = 0; t < c.audioTrackCount; ++t) {
        uint32_t n;
        if (!takeWord(s, n) || !putWord(c, n)) return -1;
        if (n && !copyBytes(c, s, n)) return -1;
    }
    return 0;
}

int32_t assembleBink1Video(BinkContext& c) {
    StreamBuffer& s = c.streams[10];  // sub-stream 11: packet records
    if (!copyWord(c, s)) return -1;
    c.bitBuffer = 0;
    c.bitCount = 0;
    ValueReader r = s.frontReader();
    const uint32_t raw = r.get8();
    if (r.underflow) return -1;
    s.cursor += 1;
    if (raw) {
        uint32_t n;
        if (!takeWord(s, n) || !copyBytes(c, s, n)) return -1;
        return 0;
    }
    if (c.hasAlpha) {
        if (Bink1PlaneWriter::writePlane(c, 0) < 0) return -1;
        if (!copyWord(c, s)) return -1;
    }
    if (Bink1PlaneWriter::writePlane(c, 0) < 0) return -1;
    if (!c.grayscale) {
        if (Bink1PlaneWriter::writePlane(c, 1) < 0) return -1;
        if (Bink1PlaneWriter::writePlane(c, 1) < 0) return -1;
    }
    return 0;
}

int32_t assembleFrame(BinkContext& c) {
    if (assembleAudio(c) < 0) return -1;
    return c.isBink2 ? assembleBink2Video(c) : assembleBink1Video(c);
}

bool allocateBundleAreas(BinkContext& c) {
    const size_t size = (size_t((c.width + 7) / 8) * 64) * ((c.height + 7) / 8);
    for (BundleArea& b : c.bundles) {
        b.start = static_cast<uint8_t*>(platform::heapAlloc(size));
        if (!b.start) {
            releaseBundleAreas(c);
            return false;
        }
        b.end = b.start + size;
    }
    return true;
}

void releaseBundleAreas(BinkContext& c) {
    for (BundleArea& b : c.bundles) {
        platform::heapFree(b.start);
        b.start = b.end = nullptr;
    }
}

}  // namespace dev
