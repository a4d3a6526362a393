// Range encoder: the exact inverse of RangeDecoder.
//
// Carry propagation as in LZMA-style encoders: low is kept in 33 bits, the last
// emitted byte is held back in cache together with a run of 0xFF bytes that a
// later carry may still turn into 0x00.  The decoder starts from four bytes, so
// the encoder's first byte, which is always 0 (the interval never leaves
// [0, 2^32)), is not emitted.  Normalisation happens before each decision, as
// in the decoder.
#pragma once

#include <cstdint>
#include <vector>

#include "core/range_decoder.h"

namespace dev {

class RangeEncoder {
public:
    explicit RangeEncoder(std::vector<uint8_t>& out) : out_(out), start_(out.size()) {}

    DEV_INLINE void encodeBit(BitModel& model, uint32_t bit) {
        while (range_ < kTopValue) {
            range_ <<= 8;
            shiftLow();
        }
        const uint32_t p = probabilityOf(model);
        const uint32_t bound = static_cast<uint32_t>((uint64_t(range_) * p) >> 16);
        if (bit == 0) {
            range_ = bound;
            model = modelWith(afterZero(p));
        } else {
            low_ += bound;
            range_ -= bound;
            model = modelWith(afterOne(p));
        }
    }

    DEV_INLINE void encodeTree(BitModel* models, int n, uint32_t value) {
        treeDecisions(models, n, value, [this](BitModel& m, uint32_t b) { encodeBit(m, b); });
    }

    // Inverse of RangeDecoder::decodeInteger.  Any 32-bit value can be coded;
    // the decoder returns it as the same two's-complement value.
    void encodeInteger(BitModel* block, uint8_t& signHistory, bool isSigned, int32_t value) {
        integerDecisions(block, signHistory, isSigned, value, [this](BitModel& m, uint32_t b) { encodeBit(m, b); });
    }

    // The decisions that code value in an n-bit tree, in order: bit(model, b).
    template <class Bit>
    static DEV_INLINE void treeDecisions(BitModel* models, int n, uint32_t value, Bit&& bit) {
        uint32_t node = 1;
        for (int i = n - 1; i >= 0; --i) {
            const uint32_t b = (value >> i) & 1;
            bit(models[node], b);
            node = 2 * node + b;
        }
    }

    // The decisions of the integer code for value, in order (signHistory
    // advances as the decoder's does).
    template <class Bit>
    static void integerDecisions(BitModel* block, uint8_t& signHistory, bool isSigned, int32_t value, Bit&& bit) {
        if (value == 0) {
            bit(block[IntegerModels::kZero], 1);
            return;
        }
        bit(block[IntegerModels::kZero], 0);
        uint32_t magnitude = static_cast<uint32_t>(value);
        if (isSigned) {
            const uint32_t s = value < 0 ? 1 : 0;
            bit(block[IntegerModels::kSign + signHistory], s);
            signHistory = static_cast<uint8_t>(((signHistory * 2) + s) & 3);
            if (s) magnitude = 0u - magnitude;
        }
        uint32_t e = 31;
        while (!(magnitude >> e)) --e;
        uint32_t node = 1;
        for (int i = 4; i >= 0; --i) {
            const uint32_t b = (e >> i) & 1;
            bit(block[IntegerModels::kExponent + node], b);
            node = 2 * node + b;
        }
        uint32_t t = 1;
        for (uint32_t i = 0; i < e; ++i) {
            const uint32_t b = (magnitude >> i) & 1;
            bit(block[IntegerModels::kMantissa + t], b);
            t = nextMantissaContext(t, b);
        }
    }

    // Ends the chunk with the fewest bytes that decode the same.  Any final
    // value in [low, low + range) decodes every decision coded so far; the one
    // with the most trailing zero bits is taken, and since the decoder reads
    // zero bytes past the end of a chunk, the zero bytes that end the output
    // are dropped.  A chunk that codes nothing takes no bytes at all.
    void finish() {
        const uint64_t last = low_ + range_ - 1;  // below 2^33
        for (int k = 32; k > 0; --k) {
            const uint64_t mask = (uint64_t(1) << k) - 1;
            const uint64_t rounded = (low_ + mask) & ~mask;
            if (rounded <= last) {
                low_ = rounded;
                break;
            }
        }
        for (int i = 0; i < 5; ++i) shiftLow();
        while (out_.size() > start_ && out_.back() == 0) out_.pop_back();
    }

private:
    void shiftLow() {
        if (static_cast<uint32_t>(low_) < 0xFF000000u || (low_ >> 32) != 0) {
            const uint8_t carry = static_cast<uint8_t>(low_ >> 32);
            uint8_t temp = cache_;
            do {
                emit(static_cast<uint8_t>(temp + carry));
                temp = 0xFF;
            } while (--cacheSize_ != 0);
            cache_ = static_cast<uint8_t>(low_ >> 24);
        }
        ++cacheSize_;
        low_ = (low_ & 0x00FFFFFFu) << 8;
    }
    void emit(uint8_t byte) {
        if (first_) {
            first_ = false;  // always 0: the decoder's code starts one byte later
            return;
        }
        out_.push_back(byte);
    }

    std::vector<uint8_t>& out_;
    size_t start_;  // the chunk's first byte in out_
    uint64_t low_ = 0;
    uint32_t range_ = 0xFFFFFFFFu;
    uint8_t cache_ = 0;
    uint64_t cacheSize_ = 1;
    bool first_ = true;
};

}  // namespace dev
