// Decode rate of the Bink 1 DCT block stage (both instances) and the bundle
// length stage: takes the values of every frame of Bink 1 files (or synthetic
// values), codes them once, then decodes the chunks again and again as the
// stage threads do, and reports DCT blocks and chunk megabytes per second.
//
//   dct_bench [file.bik ...]    (default: synthetic frames)
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "driver/header_decoder.h"
#include "pack/bink1_parser.h"
#include "pack/bink_file.h"
#include "pack/stage_encoder.h"
#include "stages/bundle_length_grammar.h"
#include "stages/dct_block_grammar.h"
#include "testkit/value_bytes.h"
#include "writers/bink1/streams.h"

namespace {

using dev::put16;

struct Workload {
    std::string name;
    dev::BinkContext context{};
    std::vector<dev::PackFrame> frames;
};

// Frames shaped like real ones: most coefficients small, zeros growing with
// the position, a few hundred blocks per plane.
Workload synthetic() {
    Workload w;
    w.name = "synthetic 3 planes";
    w.context.planeCount = 3;
    std::mt19937 rng(42);
    for (int f = 0; f < 60; ++f) {
        dev::PackFrame frame;
        for (int inter = 0; inter < 2; ++inter) {
            const dev::bink1::DctStreams& n = dev::bink1::dctStreams(inter);
            const int q = n.quantisers, dcs = n.dc, lists = n.coefficients;
            for (int p = 0; p < 3; ++p) {
                const uint32_t blocks = 100 + rng() % 300;
                frame.dctBlocks[inter].push_back(blocks);
                for (uint32_t b = 0; b < blocks; ++b) {
                    frame.streams[q].push_back(static_cast<uint8_t>(rng() % 16));
                    const int32_t dc = static_cast<int32_t>(rng() % 2048);
                    put16(frame.streams[dcs], static_cast<uint32_t>(inter && (rng() & 1) ? -(dc >> 1) : dc));
                    std::vector<int32_t> list(rng() % 40);
                    for (size_t i = 0; i < list.size(); ++i) {
                        if (rng() % 64 < i * 2 && i + 1 < list.size()) continue;
                        const int32_t m = 1 + static_cast<int32_t>(rng() % (1 + 200 / (i + 1)));
                        list[i] = (rng() & 1) ? -m : m;
                    }
                    if (!list.empty() && list.back() == 0) list.back() = 1;
                    put16(frame.streams[lists], static_cast<uint32_t>(list.size()));
                    for (int32_t c : list) put16(frame.streams[lists], static_cast<uint32_t>(c));
                }
            }
        }
        for (int k = 0; k < 400; ++k) put16(frame.streams[dev::bink1::kChunkCounts], rng() % 64);
        w.frames.push_back(std::move(frame));
    }
    return w;
}

bool fromFile(const char* path, Workload& w, std::vector<std::vector<uint8_t>>& keep) {
    std::ifstream in(path, std::ios::binary);
    keep.emplace_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    dev::BinkFile file;
    const dev::Status read = dev::readBinkFile(keep.back(), file);
    if (!read.ok() || file.isBink2) {
        std::printf("%s: not a Bink 1 file %s\n", path, read.reason().c_str());
        return false;
    }
    w.name = path;
    if (w.name.size() > 34) w.name = w.name.substr(w.name.size() - 34);
    dev::setHeaderFields(w.context, file.header.data(), static_cast<uint32_t>(file.header.size()));
    for (uint32_t j = 0; j < file.frameCount; ++j) {
        dev::PackFrame frame;
        frame.index = j;
        frame.video = file.video[j];
        if (dev::bink1FrameValues(w.context, frame) && !frame.stored) w.frames.push_back(std::move(frame));
    }
    return true;
}

bool bench(Workload& w) {
    std::unique_ptr<dev::StageEncoder> encoders[3] = {dev::makeDctBlockEncoder(w.context, false),
                                                      dev::makeDctBlockEncoder(w.context, true),
                                                      dev::makeBundleLengthEncoder(w.context)};
    std::vector<std::vector<uint8_t>> chunks[3];
    size_t chunkBytes[3] = {}, blocks = 0, lengths = 0;
    for (const auto& frame : w.frames) {
        for (int s = 0; s < 3; ++s) {
            chunks[s].emplace_back();
            if (const dev::Status encoded = encoders[s]->encode(frame, chunks[s].back()); !encoded.ok()) {
                std::printf("%s: %s\n", w.name.c_str(), encoded.reason().c_str());
                return false;
            }
            chunkBytes[s] += chunks[s].back().size();
        }
        for (int inter = 0; inter < 2; ++inter)
            for (uint32_t b : frame.dctBlocks[inter]) blocks += b;
        lengths += frame.streams[dev::bink1::kChunkCounts].size() / 2;
    }
    std::vector<uint8_t> out[3];  // reused by every stage's outputs
    for (auto& o : out) o.resize(1 << 22);
    auto writersOf = [&](std::span<const int> streams) {
        dev::StreamArray<dev::ValueWriter> writers;
        for (size_t i = 0; i < streams.size(); ++i) writers[streams[i]] = dev::ValueWriter(out[i].data(), out[i].size());
        return writers;
    };
    double seconds = 0, cpuSeconds = 0;
    int passes = 0;
    // Each pass starts from fresh models, as a new run of the stages would;
    // the model setup is left out of the time.
    while (seconds < 2.0 || passes < 3) {
        dev::DctStageDecoder<false> intra;
        dev::DctStageDecoder<true> inter;
        dev::BundleLengthDecoder bundle;
        if (!intra.setup(w.context) || !inter.setup(w.context) || !bundle.setup(w.context)) return false;
        const auto t0 = std::chrono::steady_clock::now();
        const std::clock_t c0 = std::clock();
        for (size_t f = 0; f < w.frames.size(); ++f) {
            auto intraOut = writersOf(intra.kStreams);
            if (!intra.decodeChunk(chunks[0][f].data(), chunks[0][f].size(), intraOut)) return false;
            auto interOut = writersOf(inter.kStreams);
            if (!inter.decodeChunk(chunks[1][f].data(), chunks[1][f].size(), interOut)) return false;
            auto lengthOut = writersOf(bundle.kStreams);
            if (!bundle.decodeChunk(chunks[2][f].data(), chunks[2][f].size(), lengthOut)) return false;
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        cpuSeconds += double(std::clock() - c0) / CLOCKS_PER_SEC;
        ++passes;
    }
    const double total = double(chunkBytes[0] + chunkBytes[1] + chunkBytes[2]);
    // Wall time suffers when the machine is shared; processor time does not.
    std::printf("%-34s frames %4zu  blocks %8zu  lengths %7zu  chunks %8.0f B  %6.2f Mblocks/s cpu  %6.2f MB/s cpu"
                "  (%6.2f MB/s wall)\n",
                w.name.c_str(), w.frames.size(), blocks, lengths, total, double(blocks) * passes / cpuSeconds / 1e6,
                total * passes / cpuSeconds / 1e6, total * passes / seconds / 1e6);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool ok = true;
    if (argc < 2) {
        Workload w = synthetic();
        ok = bench(w);
    }
    std::vector<std::vector<uint8_t>> keep;
    for (int a = 1; a < argc; ++a) {
        Workload w;
        if (!fromFile(argv[a], w, keep) || !bench(w)) ok = false;
    }
    return ok ? 0 : 1;
}
