// Pieces shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/byte_io.h"

// An invariant of a target.  When it does not hold the run stops at once,
// under libFuzzer (which keeps the input) and in the replay driver alike.
#define DEV_FUZZ_CHECK(condition)           \
    do {                                    \
        if (!(condition)) __builtin_trap(); \
    } while (0)

namespace dev::fuzz {

// Counts what is written, keeps nothing.
class CountingSink : public ByteSink {
public:
    bool write(const void*, size_t size) override {
        written += size;
        return true;
    }
    size_t written = 0;
};

}  // namespace dev::fuzz
