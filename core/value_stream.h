// Bounded readers and writers of the value sub-streams.
//
// Stages write plain values (bytes, 16-bit and 32-bit little-endian words) into
// a buffer of a sub-stream's ring; the driver and the frame writers read them
// from the front buffer.  Neither side may pass its buffer: a writer that runs
// out of room drops the value and remembers it (the stage then reports
// failure), a reader that runs out of data returns 0 and remembers it (the
// frame writer then fails).  Both checks are one compare per value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/little_endian.h"
namespace dev {

struct ValueWriter {
    uint8_t* start = nullptr;
    uint8_t* p = nullptr;
    uint8_t* end = nullptr;
    bool overflow = false;

    ValueWriter() = default;
    ValueWriter(uint8_t* begin, size_t capacity) : start(begin), p(begin), end(begin + capacity) {}

    size_t size() const { return static_cast<size_t>(p - start); }

    inline void put8(uint32_t v) {
        if (p < end) *p++ = static_cast<uint8_t>(v);
        else overflow = true;
    }
    inline void put16(uint32_t v) {
        if (end - p >= 2) {
            storeLe16(p, v);
            p += 2;
        } else {
            overflow = true;
        }
    }
    inline void put32(uint32_t v) {
        if (end - p >= 4) {
            storeLe32(p, v);
            p += 4;
        } else {
            overflow = true;
        }
    }
    // Room for n more bytes (for bulk copies).
    bool room(size_t n) const { return static_cast<size_t>(end - p) >= n; }
};

struct ValueReader {
    const uint8_t* p = nullptr;
    const uint8_t* end = nullptr;
    bool underflow = false;

    ValueReader() = default;
    ValueReader(const uint8_t* begin, size_t length) : p(begin), end(begin + length) {}

    size_t remaining() const { return static_cast<size_t>(end - p); }
    bool atEnd() const { return p >= end; }

    inline uint32_t get8() {
        if (p < end) return *p++;
        underflow = true;
        return 0;
    }
    inline uint32_t get16() {
        if (end - p >= 2) {
            const uint32_t v = loadLe16(p);
            p += 2;
            return v;
        }
        p = end;
        underflow = true;
        return 0;
    }
    inline uint32_t get32() {
        if (end - p >= 4) {
            const uint32_t v = loadLe32(p);
            p += 4;
            return v;
        }
        p = end;
        underflow = true;
        return 0;
    }
    // Takes n bytes for a bulk copy; nullptr (and underflow) when fewer remain.
    const uint8_t* take(size_t n) {
        if (remaining() >= n) {
            const uint8_t* q = p;
            p += n;
            return q;
        }
        p = end;
        underflow = true;
        return nullptr;
    }
};

}  // namespace dev
