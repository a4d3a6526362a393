// Damaged DEV streams with real content through the product's stages: byte
// flips, cuts and insertions at seeded random places.  Whatever the damage, a
// run ends with one of the driver's results, every thread joined and nothing
// read or written out of bounds (the sanitizer build checks the last part).
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <vector>

#include "driver/unpacker.h"
#include "testkit/bink_generator.h"
#include "pack/packer.h"
#include "stages/stage_table.h"
#include "tests/corpus.h"

namespace dev {
namespace {

class NullSink : public ByteSink {
public:
    bool write(const void*, size_t) override { return true; }
};

std::vector<uint8_t> generatedStream() {
    GeneratorOptions o;
    o.width = 48;
    o.height = 40;
    o.frames = 6;
    o.seed = 77;
    GeneratorAudioTrack stereo;
    stereo.sampleRate = 22050;
    stereo.stereo = true;
    o.audio = {stereo};
    const PackResult r = packBink(generateBink1(o));
    return r.status.ok() ? r.dev : std::vector<uint8_t>();
}

std::vector<uint8_t> sampleStream() {
    return readBytes(std::filesystem::path(DEV_SOURCE_DIR) / "samples" / "sample.dev");
}

int32_t unpack(const std::vector<uint8_t>& stream) {
    MemorySource source(stream.data(), stream.size());
    NullSink sink;
    RunOptions options;
    options.failureReport = FailureReport::None;
    return Unpacker::run(kStageTable, sink, source, options);
}

TEST(DamagedStream, EveryDamageEndsWithAResult) {
    const std::vector<std::vector<uint8_t>> streams = {generatedStream(), sampleStream()};
    std::mt19937 rng(2026);
    int failures = 0, runs = 0;
    for (const auto& original : streams) {
        ASSERT_GT(original.size(), 64u);
        ASSERT_EQ(unpack(original), 0);
        for (int k = 0; k < 60; ++k) {
            std::vector<uint8_t> damaged = original;
            switch (k % 3) {
                case 0:  // flip a few bytes, past the magic
                    for (int n = 1 + int(rng() % 4); n > 0; --n) damaged[4 + rng() % (damaged.size() - 4)] ^= uint8_t(1 + rng() % 255);
                    break;
                case 1:  // cut
                    damaged.resize(5 + rng() % (damaged.size() - 5));
                    break;
                default:  // insert random bytes
                    damaged.insert(damaged.begin() + 4 + long(rng() % (damaged.size() - 4)), 1 + rng() % 16, uint8_t(rng()));
                    break;
            }
            const int32_t r = unpack(damaged);
            EXPECT_TRUE(r == 0 || r == -1 || r == -2 || r == -4) << "variant " << k << " gave " << r;
            failures += r != 0;
            ++runs;
        }
    }
    // Most damage is caught; what is not decodes to some Bink file.
    EXPECT_GT(failures, runs / 2);
}

}  // namespace
}  // namespace dev
