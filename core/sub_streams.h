// The value sub-streams of a run: kStreamCount byte streams, each a ring of
// kPipelineDepth buffers (one per frame in flight), that the stages write and
// the frame assembly reads, numbered 1..21 as the
// stage tables and each generation's enum number them (writers/bink1/streams.h,
// writers/bink2/streams.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/value_stream.h"

namespace dev {

constexpr int kStreamCount = 21;
// Frames in flight in a run: the frame being assembled and the ones the
// stages may decode ahead of it (core/stage_protocol.h).
constexpr int kPipelineDepth = 4;
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
    uint32_t capacity = 0;      // bytes in each buffer of the ring
    uint8_t* buffers[kPipelineDepth] = {};
    uint32_t front = 0;         // index of the buffer the consumers read
    // Bytes the producing stage wrote into each buffer for its chunk; the
    // consumers never read past it.
    uint32_t filled[kPipelineDepth] = {};

    // Makes the size bytes at data the whole front buffer, unread, with no
    // other buffer: how values made outside the pipeline (the packer's
    // proof, tests, fuzz targets) reach the frame writers.
    void holdFront(uint8_t* data, uint32_t size) {
        for (uint8_t*& b : buffers) b = nullptr;
        for (uint32_t& f : filled) f = 0;
        buffers[0] = cursor = data;
        front = 0;
        capacity = size;
        filled[0] = size;
    }

    // Consumers' side: buffer `slot` becomes the front, unread.
    void showFront(uint32_t slot) {
        front = slot;
        cursor = buffers[slot];
    }
    // Reader over what the stages wrote into the front buffer, from the cursor.
    ValueReader frontReader() const {
        if (!buffers[front]) return ValueReader();
        const uint8_t* start = buffers[front];
        const size_t used = static_cast<size_t>(cursor - start);
        const size_t total = filled[front];
        return ValueReader(cursor, used <= total ? total - used : 0);
    }
    // Moves the cursor to where a reader taken with frontReader() stands.
    void consumeTo(const ValueReader& r) {
        if (buffers[front]) cursor = const_cast<uint8_t*>(r.p);
    }

    // Producer's side: writer over buffer `slot`, from its first byte, and
    // the record of what was written into it.
    ValueWriter writerAt(uint32_t slot) const {
        return ValueWriter(buffers[slot], buffers[slot] ? capacity : 0);
    }
    void commitAt(uint32_t slot, const ValueWriter& w) { filled[slot] = static_cast<uint32_t>(w.size()); }
};

}  // namespace dev
