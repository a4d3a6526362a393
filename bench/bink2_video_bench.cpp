// Decode rate of the Bink 2 video stage on generated 1920x1088 frames: codes
// the frames' values once, then decodes the chunks again and again as the
// stage thread does, and reports macroblocks, decisions and chunk megabytes
// per second of processor time.  The peer in the same run is a plain loop of
// as many decisions on the same chunks under a small context (the cost of the
// range decoder alone), so the ratio shows what the grammar adds.
//
//   bink2_video_bench [frames]    (default 30)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "driver/header_decoder.h"
#include "writers/bink_container.h"
#include "testkit/bink2_value_maker.h"
#include "pack/encode_coder.h"
#include "pack/stage_encoder.h"
#include "stages/bink2_video_grammar.h"
#include "stages/bink2_video_stage.h"

namespace {

using namespace dev;

// Counts the decisions of a walk of the grammar.
struct CountingCoder : CheckCoder {
    uint64_t decisions = 0;
    uint32_t bit(BitModel&, uint32_t v) {
        ++decisions;
        return v;
    }
    uint32_t tree(BitModel*, int n, uint32_t v) {
        decisions += static_cast<uint32_t>(n);
        return v;
    }
    int32_t integer(BitModel* block, uint8_t& history, bool isSigned, int32_t v) {
        decisions += 8;  // about: zero, sign, exponent (the offsets are a handful per frame)
        return CheckCoder::integer(block, history, isSigned, v);
    }
};

struct Workload {
    const char* name;
    uint32_t flags;  // slice selector and alpha
};

double cpuSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

bool bench(const Workload& w, uint32_t frameCount) {
    BinkHeaderFields fields;
    std::memcpy(fields.signature, "KB2j", 4);
    fields.frameCount = frameCount;
    fields.width = 1920;
    fields.height = 1088;
    fields.videoFlags = w.flags;
    uint8_t header[BinkHeader::kLongLength];
    const uint32_t headerLength = writeBinkHeader(fields, header);
    BinkContext context{};
    setHeaderFields(context, header, headerLength);
    std::vector<uint32_t> keyframes(frameCount + 1, 0);
    for (uint32_t j = 0; j < frameCount; j += 10) keyframes[j] = 1;
    context.keyframes = keyframes.data();

    // Inter frames mostly skip and motion, coefficients sparse and small.
    Bink2ValueOptions options;
    const uint32_t weights[4] = {1, 4, 3, 2};
    std::copy(weights, weights + 4, options.typeWeights);
    options.codedPercent = 35;
    options.maxCount = 24;
    options.zeroPercent = 50;
    options.largePercent = 10;
    Bink2ValueMaker maker(context, 7, options);
    auto encoder = makeBink2VideoEncoder(context);
    const b2video::Geometry geometry = b2video::readGeometry(context);
    b2video::VideoState counted;
    ModelSet walkModels(b2video::kModelCount);  // addressed by the counting walk, never touched
    std::vector<std::vector<uint8_t>> chunks(frameCount);
    uint64_t decisions = 0, chunkBytes = 0, macroblocks = 0;
    size_t largest = 0;
    for (uint32_t j = 0; j < frameCount; ++j) {
        const PackFrame f = maker.make(j, j % 4, j % 2 == 0);
        if (const Status encoded = encoder->encode(f, chunks[j]); !encoded.ok()) {
            std::printf("frame %u: %s\n", j, encoded.reason().c_str());
            return false;
        }
        StreamArray<ValueReader> readers;
        for (int n : bink2::kVideoStreams) {
            readers[n] = ValueReader(f.streams[n].data(), f.streams[n].size());
            largest = std::max(largest, f.streams[n].size());
        }
        CountingCoder counter;
        b2video::FrameGrammar<CountingCoder> walk(counter, walkModels.data(), counted, geometry, readers);
        walk.frame(keyframes[j] != 0);
        decisions += counter.decisions;
        chunkBytes += chunks[j].size();
        macroblocks += uint64_t(geometry.columns) * (geometry.sliceEnds[geometry.sliceCount - 1] / bink2::kMacroblockSize);
    }

    StreamArray<std::vector<uint8_t>> out;
    for (int n : bink2::kVideoStreams) out[n].resize(largest + 16);
    double stageTime = 0, plainTime = 0;
    int passes = 0;
    uint32_t sink = 0;
    while (stageTime < 2.0 || passes < 2) {
        Bink2VideoDecoder decoder;  // fresh models per pass, set up outside the time
        if (!decoder.setup(context)) return false;
        const double t0 = cpuSeconds();
        for (const auto& chunk : chunks) {
            StreamArray<ValueWriter> writers;
            for (int n : bink2::kVideoStreams) writers[n] = ValueWriter(out[n].data(), out[n].size());
            if (!decoder.decodeChunk(chunk.data(), chunk.size(), writers)) {
                std::printf("decoding failed\n");
                return false;
            }
        }
        stageTime += cpuSeconds() - t0;

        // The peer: the same number of decisions, 12-bit context of the last bits.
        std::vector<BitModel> models(4096, kModelStart);
        const double t1 = cpuSeconds();
        const uint64_t perChunk = decisions / chunks.size();
        for (const auto& chunk : chunks) {
            RangeDecoder rd;
            rd.init(chunk.data(), chunk.size());
            uint32_t context12 = 0;
            for (uint64_t i = 0; i < perChunk; ++i) context12 = ((context12 << 1) | rd.decodeBit(models[context12])) & 4095;
            sink += context12;
        }
        plainTime += cpuSeconds() - t1;
        ++passes;
    }
    const double stageRate = double(decisions) * passes / stageTime;
    const double plainRate = double(decisions) * passes / plainTime;
    std::printf("%-22s %u frames  %6.2f decisions/macroblock  %7.2f kB/frame\n", w.name, frameCount,
                double(decisions) / double(macroblocks), double(chunkBytes) / frameCount / 1e3);
    std::printf("  stage  %7.2f Mdecisions/s  %7.3f Mmacroblocks/s  %6.2f frames/s  %6.2f MB/s of chunks (cpu)\n",
                stageRate / 1e6, double(macroblocks) * passes / stageTime / 1e6, double(frameCount) * passes / stageTime,
                double(chunkBytes) * passes / stageTime / 1e6);
    std::printf("  plain  %7.2f Mdecisions/s   stage / plain = %.2f%s\n", plainRate / 1e6, stageRate / plainRate,
                sink == 0xFFFFFFFF ? " " : "");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t frames = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 30;
    if (frames == 0) return 1;
    const Workload workloads[] = {{"1920x1088, 8 slices", 3}, {"1920x1088 alpha, 2 sl.", BinkVideoFlag::kAlpha}};
    bool ok = true;
    for (const Workload& w : workloads) ok = bench(w, frames) && ok;
    return ok ? 0 : 1;
}
