// Decode rate of the Bink 1 video frame stage: takes the values of every
// coded frame of Bink 1 files, codes them once, then decodes the chunks again
// as the stage thread does, and reports blocks and chunk megabytes per second
// of processor time.
//
//   video_frame_bench file.bik ...
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "bink1_input.h"
#include "pack/bink1_parser.h"
#include "pack/stage_encoder.h"
#include "stages/video_frame_stage.h"

namespace {

bool bench(const char* path) {
    Bink1Input input;
    if (!readBink1Input(path, input)) return false;
    const dev::BinkFile& file = input.file;
    const dev::BinkContext& context = input.context;
    auto encoder = dev::makeVideoFrameEncoder(context);
    std::vector<std::vector<uint8_t>> chunks;
    size_t chunkBytes = 0, blocks = 0, maxStream = 0;
    for (uint32_t j = 0; j < file.frameCount; ++j) {
        dev::PackFrame frame;
        frame.video = file.video[j];
        if (!dev::bink1FrameValues(context, frame)) continue;
        chunks.emplace_back();
        if (const dev::Status encoded = encoder->encode(frame, chunks.back()); !encoded.ok()) {
            std::printf("%s: %s\n", path, encoded.reason().c_str());
            return false;
        }
        chunkBytes += chunks.back().size();
        if (!frame.stored) blocks += frame.streams[dev::bink1::kBlockTypes].size();
        for (int n : dev::vframe::kOutputs) maxStream = std::max(maxStream, frame.streams[n].size());
    }
    dev::StreamArray<std::vector<uint8_t>> out;
    for (int n : dev::vframe::kOutputs) out[n].resize(maxStream + 16);
    double cpu = 0;
    int passes = 0;
    while (cpu < 2.0 || passes < 2) {
        dev::VideoFrameDecoder decoder;  // fresh models per pass, set up outside the time
        if (!decoder.setup(context)) return false;
        const std::clock_t c0 = std::clock();
        for (const auto& chunk : chunks) {
            dev::StreamArray<dev::ValueWriter> w;
            for (int n : dev::vframe::kOutputs) w[n] = dev::ValueWriter(out[n].data(), out[n].size());
            if (!decoder.decodeChunk(chunk.data(), chunk.size(), w)) return false;
        }
        cpu += double(std::clock() - c0) / CLOCKS_PER_SEC;
        ++passes;
    }
    std::string name = path;
    if (name.size() > 34) name = name.substr(name.size() - 34);
    std::printf("%-34s chunks %4zu  blocks %8zu  %9zu B  %6.2f Mblocks/s  %6.2f MB/s (cpu)\n", name.c_str(),
                chunks.size(), blocks, chunkBytes, double(blocks) * passes / cpu / 1e6,
                double(chunkBytes) * passes / cpu / 1e6);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool ok = true;
    for (int a = 1; a < argc; ++a) ok = bench(argv[a]) && ok;
    return ok ? 0 : 1;
}
