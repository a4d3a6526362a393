// The random source of the synthetic Bink generators: splitmix64, small, fast
// and the same on every platform, so a seed always names the same file.
#pragma once

#include <cstdint>

namespace dev {

class GeneratorRng {
public:
    explicit GeneratorRng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return n ? static_cast<uint32_t>(next() % n) : 0; }
    int32_t range(int32_t lo, int32_t hi) { return lo + static_cast<int32_t>(below(static_cast<uint32_t>(hi - lo + 1))); }
    bool chance(uint32_t percent) { return below(100) < percent; }

private:
    uint64_t state_;
};

}  // namespace dev
