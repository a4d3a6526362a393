// The value sub-streams of a run: kStreamCount double-buffered byte streams
// that the stages write and the frame assembly reads, numbered 1..21 as the
// stage tables and each generation's enum number them (writers/bink1/streams.h,
// writers/bink2/streams.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/value_stream.h"

namespace dev {

constexpr int kStreamCount = 21;
// The audio packets of a frame: the same sub-stream in both generations, and
// assembled the same way (driver/frame_assembly.h).
constexpr int kAudioStream = 1;

// One T per sub-stream, indexed by sub-stream number 1..kStreamCount: the
// run's StreamBuffers, a packer frame's value vectors, a writer's readers.
// This is the one place where a sub-stream number becomes a position.
template <class T>
struct StreamArray {
    T items[kStreamCount]{};

    T& operator[](int n) { return items[n - 1]; }
    const T& operator[](int n) const { return items[n - 1]; }
    // The sub-stream number of an item of this array.
    int numberOf(const T* item) const { return static_cast<int>(item - items) + 1; }
    T* begin() { return items; }
    T* end() { return items + kStreamCount; }
    const T* begin() const { return items; }
    const T* end() const { return items + kStreamCount; }
};

struct StreamBuffer {
    uint8_t* cursor = nullptr;  // consumers' read position in the front buffer
    uint32_t capacity = 0;      // bytes in each of the two buffers
    uint8_t* buffers[2] = {nullptr, nullptr};
    uint8_t toggle = 0;         // index of the front buffer
    // Bytes the producing stage wrote into each buffer in its last cycle; the
    // consumers never read past it.
    uint32_t filled[2] = {0, 0};

    // Makes the size bytes at data the whole front buffer, unread, with no
    // back buffer: how values made outside the pipeline (the packer's proof,
    // tests, fuzz targets) reach the frame writers.
    void holdFront(uint8_t* data, uint32_t size) {
        buffers[0] = cursor = data;
        buffers[1] = nullptr;
        toggle = 0;
        capacity = size;
        filled[0] = size;
        filled[1] = 0;
    }

    uint8_t* back() const { return buffers[toggle ^ 1]; }
    // Reader over what the stages wrote into the front buffer, from the cursor.
    ValueReader frontReader() const {
        if (!buffers[toggle]) return ValueReader();
        const uint8_t* front = buffers[toggle];
        const size_t used = static_cast<size_t>(cursor - front);
        const size_t total = filled[toggle];
        return ValueReader(cursor, used <= total ? total - used : 0);
    }
    // Moves the cursor to where a reader taken with frontReader() stands.
    void consumeTo(const ValueReader& r) {
        if (buffers[toggle]) cursor = const_cast<uint8_t*>(r.p);
    }
    // Writer over the back buffer, from its first byte.
    ValueWriter backWriter() const { return ValueWriter(buffers[toggle ^ 1], buffers[toggle ^ 1] ? capacity : 0); }
    // Records what a stage wrote into the back buffer.
    void commitBack(const ValueWriter& w) { filled[toggle ^ 1] = static_cast<uint32_t>(w.size()); }
};

}  // namespace dev
