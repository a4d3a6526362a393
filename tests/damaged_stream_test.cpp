// Damaged DEV streams with real content through the product's stages: byte
// flips, cuts and insertions at seeded random places.  Whatever the damage, a
// run ends with one of the driver's results, every thread joined and nothing
// read or written out of bounds (the sanitizer build checks the last part).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <vector>

#include "driver/unpacker.h"
#include "testkit/bink_generator.h"
#include "pack/packer.h"
#include "stages/stage_table.h"
#include "tests/corpus.h"
#include "tests/test_bink.h"
#include "tools/stream_layout.h"

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

// Single flipped bits in a real file's stream, at places drawn with a fixed
// seed (DEV_FLIP_SWEEP=1 takes every bit): a run either fails or gives a
// file, and a flip that gives a wrong file and reports success never places
// the frames anywhere but where its frame index says: the driver checks
// that every frame starts where the restored index says and that the file
// ends where the header says.  What such a flip can still change is a value
// the stream carries (a header field, a key frame flag, a sample): a DEV
// stream holds no checksum.
TEST(DamagedStream, FlippedBitsNeverRestoreFramesAwayFromTheirIndex) {
    const CorpusFile* real = nullptr;
    for (const CorpusFile& f : corpusFiles())
        if (f.name == "p2ex207_dlc1_endmovie.bik") real = &f;
    if (!real) GTEST_SKIP() << "corpus not present";
    const PackResult packed = packBink(real->bytes);
    ASSERT_TRUE(packed.status.ok()) << packed.status.reason();
    DevLayout layout;
    ASSERT_TRUE(readDevLayout(packed.dev, layout).ok());
    const size_t headerEnd = layout.streamBytes - layout.chunkBytes;  // the chunks follow the header chunk
    const size_t headerStart = headerEnd - static_cast<size_t>(layout.headerChunkBytes);
    const uint64_t bits = uint64_t(packed.dev.size()) * 8;
    std::vector<uint64_t> flips;
    if (std::getenv("DEV_FLIP_SWEEP")) {
        for (uint64_t b = 0; b < bits; ++b) flips.push_back(b);
    } else {
        // Most flips in the header chunk, where a wrong index would come from.
        std::mt19937 rng(91);
        const uint64_t headerBits = uint64_t(headerEnd - headerStart) * 8;
        for (int k = 0; k < 300; ++k) flips.push_back(headerStart * 8 + rng() % headerBits);
        for (int k = 0; k < 100; ++k) flips.push_back(rng() % bits);
    }
    int failed = 0, same = 0, wrongInHeader = 0, wrongElsewhere = 0;
    for (const uint64_t b : flips) {
        std::vector<uint8_t> damaged = packed.dev;
        damaged[b / 8] ^= static_cast<uint8_t>(1u << (b % 8));
        MemorySource source(damaged.data(), damaged.size());
        test::VectorSink sink;
        RunOptions options;
        options.failureReport = FailureReport::None;
        if (Unpacker::run(kStageTable, sink, source, options) != kResultOk) {
            ++failed;
        } else if (sink.data == real->bytes) {
            ++same;
        } else {
            const size_t at = b / 8;
            (at >= headerStart && at < headerEnd ? wrongInHeader : wrongElsewhere) += 1;
            // A sound Bink file all the same: its frames lie where its
            // index says, one after the other, up to its end.
            BinkFile restored;
            EXPECT_EQ(readBinkFile(sink.data, restored).reason(), "") << "bit " << b;
        }
    }
    std::printf("%zu flips: %d failed, %d restored the file, %d a wrong file (%d in the header chunk)\n", flips.size(),
                failed, same, wrongInHeader + wrongElsewhere, wrongInHeader);
}

}  // namespace
}  // namespace dev
