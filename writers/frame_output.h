// The frame being assembled: the write cursor in the frame buffer and its
// bound, the frame number and the sub-streams whose front buffers hold the
// frame's values.  The driver's frame assembly owns it; the writers advance
// the cursor (a bitstream writer takes it for a BitWriter of its own and
// hands back where it ended).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/little_endian.h"
#include "core/sub_streams.h"

namespace dev {

struct FrameOutput {
    uint8_t* out = nullptr;     // write cursor in the frame buffer
    uint8_t* outEnd = nullptr;  // end of the frame buffer: nothing is written here or beyond
    uint32_t frameNumber = 0;
    StreamArray<StreamBuffer>* streams = nullptr;

    StreamBuffer& stream(int n) const { return (*streams)[n]; }

    // Takes a 32-bit word from sub-stream n; false when the stream is short.
    bool takeWord(int n, uint32_t& word) const {
        StreamBuffer& s = stream(n);
        ValueReader r = s.frontReader();
        word = r.get32();
        if (r.underflow) return false;
        s.consumeTo(r);
        return true;
    }
    // Writes a word as its four bytes; false when the buffer has no room.
    bool putWord(uint32_t word) {
        if (outEnd - out < 4) return false;
        storeLe32(out, word);
        out += 4;
        return true;
    }
    // Copies `count` bytes of sub-stream n; false when either side is short.
    bool copyBytes(int n, size_t count) {
        StreamBuffer& s = stream(n);
        ValueReader r = s.frontReader();
        const uint8_t* from = r.take(count);
        if (!from || static_cast<size_t>(outEnd - out) < count) return false;
        if (count) std::memcpy(out, from, count);
        out += count;
        s.consumeTo(r);
        return true;
    }
};

}  // namespace dev
