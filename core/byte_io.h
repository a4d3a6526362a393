// Sequential byte input and output of one run: files for the console program,
// the host callback for the plug-in, memory for the packer's check and tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dev {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads exactly size bytes; false when fewer arrive or the read fails.
    virtual bool readExact(void* buffer, size_t size) = 0;
};

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Writes size bytes; false when the write fails.
    virtual bool write(const void* buffer, size_t size) = 0;
};

// Memory implementations.
class MemorySource : public ByteSource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool readExact(void* buffer, size_t size) override;
    size_t position() const { return pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Keeps nothing and counts what is written: for runs whose output only has
// to be checked (the packer's proof, inspection, benchmarks, fuzzing).
class DiscardingSink : public ByteSink {
public:
    bool write(const void*, size_t size) override {
        written += size;
        return true;
    }
    size_t written = 0;
};

}  // namespace dev
