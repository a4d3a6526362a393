// Least-significant-bit-first reader over a Bink bitstream: stream bit k is
// bit (k mod 8) of byte k / 8, the layout every Bink decoder reads.
//
// The packer reads untrusted files, so a read past the end never touches
// memory beyond the buffer: it yields zero bits and sets a sticky overrun
// flag, which the caller checks once per plane instead of once per field.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/little_endian.h"

namespace dev {

class BitReader {
public:
    BitReader() = default;
    BitReader(const uint8_t* data, size_t size) : data_(data), bits_(size * 8) {}

    // Next n bits (0 <= n <= 25) as an unsigned value, first bit lowest.
    uint32_t get(int n) {
        const uint32_t v = peek(n);
        skip(n);
        return v;
    }
    uint32_t bit() { return get(1); }

    // The next n bits (0 <= n <= 25) without consuming them; bits past the
    // end read as 0 (and do not set the overrun flag by themselves).
    uint32_t peek(int n) const {
        const size_t byte = pos_ >> 3;
        const size_t total = bits_ >> 3;
        uint32_t window = 0;
        if (byte + 4 <= total) {
            window = loadLe32(data_ + byte);
        } else {
            for (size_t i = 0; byte + i < total && i < 4; ++i) window |= uint32_t(data_[byte + i]) << (8 * i);
        }
        window >>= (pos_ & 7);
        return window & ((uint32_t(1) << n) - 1);
    }
    void skip(int n) {
        pos_ += static_cast<size_t>(n);
        if (pos_ > bits_) overrun_ = true;
    }

    // Moves to the next multiple of 32 bits (no move when already there).
    void alignTo32() { skip(static_cast<int>((32 - (pos_ & 31)) & 31)); }

    size_t position() const { return pos_; }
    size_t sizeInBits() const { return bits_; }
    bool overrun() const { return overrun_; }

private:
    const uint8_t* data_ = nullptr;
    size_t bits_ = 0;
    size_t pos_ = 0;
    bool overrun_ = false;
};

}  // namespace dev
