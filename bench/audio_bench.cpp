// Decode rate of the audio packet stage: packs the audio of Bink files (or of
// synthetic packets) once, then decodes the chunks again and again, as the
// stage thread does, and reports megabytes of audio packets per second.
//
//   audio_bench [file.bik ...]    (default: synthetic 44.1 kHz stereo packets)
#include <chrono>
#include <ctime>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "driver/header_decoder.h"
#include "pack/audio_encoder.h"
#include "testkit/audio_generator.h"
#include "pack/bink_file.h"
#include "stages/audio_stage.h"

namespace {

struct Workload {
    std::string name;
    dev::BinkContext context;
    std::vector<dev::AudioTrackInfo> tracks;
    std::vector<std::vector<std::vector<uint8_t>>> frames;  // [frame][track] packet bytes
};

bool bench(Workload& w) {
    w.context.audioTrackCount = static_cast<uint32_t>(w.tracks.size());
    w.context.tracks = w.tracks.data();
    auto encoder = dev::makeAudioEncoder(w.context);
    std::vector<std::vector<uint8_t>> chunks;
    size_t audioBytes = 0, chunkBytes = 0;
    for (size_t f = 0; f < w.frames.size(); ++f) {
        dev::PackFrame frame;
        frame.index = static_cast<uint32_t>(f);
        for (const auto& p : w.frames[f]) {
            frame.audio.emplace_back(p.data(), p.size());
            audioBytes += p.size() + 4;
        }
        chunks.emplace_back();
        if (const dev::Status encoded = encoder->encode(frame, chunks.back()); !encoded.ok()) {
            std::printf("%s: %s\n", w.name.c_str(), encoded.reason().c_str());
            return false;
        }
        chunkBytes += chunks.back().size();
    }
    std::vector<uint8_t> out(1 << 22);
    dev::AudioDecoder decoder;
    int passes = 0;
    double seconds = 0, cpuSeconds = 0;
    // Each pass starts from fresh models, as a new run of the stage would;
    // the model setup is left out of the time.
    while (seconds < 2.0 || passes < 3) {
        if (!decoder.setup(w.context)) return false;
        const auto t0 = std::chrono::steady_clock::now();
        const std::clock_t c0 = std::clock();
        for (const auto& chunk : chunks) {
            dev::StreamArray<dev::ValueWriter> writers;
            writers[dev::kAudioStream] = dev::ValueWriter(out.data(), out.size());
            if (!decoder.decodeChunk(chunk.data(), chunk.size(), writers)) {
                std::printf("%s: a chunk does not decode\n", w.name.c_str());
                return false;
            }
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        cpuSeconds += double(std::clock() - c0) / CLOCKS_PER_SEC;
        ++passes;
    }
    // Wall time suffers when the machine is shared; processor time does not.
    std::printf("%-34s %s  audio %8zu B  chunks %8zu B  decode %6.2f MB/s wall, %6.2f MB/s cpu\n", w.name.c_str(),
                w.context.noDctTrack ? "raw" : "DCT", audioBytes, chunkBytes,
                double(audioBytes) * passes / seconds / 1e6, double(audioBytes) * passes / cpuSeconds / 1e6);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool ok = true;
    if (argc < 2) {
        Workload w;
        w.name = "synthetic 44.1 kHz stereo";
        w.tracks.emplace_back();
        dev::setTrackFields(w.context, w.tracks.back(), 44100, 0x3000);
        for (uint32_t f = 0; f < 200; ++f) w.frames.push_back({dev::makeAudioPacket(44100, true, f, 2)});
        ok = bench(w);
    }
    for (int a = 1; a < argc; ++a) {
        std::ifstream in(argv[a], std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        dev::BinkFile file;
        const dev::Status read = dev::readBinkFile(bytes, file);
        if (!read.ok()) {
            std::printf("%s: %s\n", argv[a], read.reason().c_str());
            ok = false;
            continue;
        }
        if (file.tracks.empty()) continue;
        Workload w;
        w.name = argv[a];
        if (w.name.rfind('/') != std::string::npos) w.name = w.name.substr(w.name.rfind('/') + 1);
        for (const auto& t : file.tracks) {
            w.tracks.emplace_back();
            dev::setTrackFields(w.context, w.tracks.back(), t.sampleRate, t.flags);
        }
        for (const auto& f : file.audio) {
            w.frames.emplace_back();
            for (const auto& p : f) w.frames.back().emplace_back(p.begin(), p.end());
        }
        ok = bench(w) && ok;
    }
    return ok ? 0 : 1;
}
