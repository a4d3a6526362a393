// Whole processes against a Bink decoder on the same file, in the same run:
// packs each Bink file with dev_pack (with --extended, which changes nothing
// for a file without Bink 2 video flag 0x40000), then times dev_unpack restoring it and
// a Bink decoder turning the same file into pixels, alternately, and prints
// the median wall and processor times, the peak memory and the ratios.
//
//   versus_decoder [--runs N] [--decoder PATH] FILE.bik...
//
// The decoder defaults to ffmpeg on the PATH, run on one thread as
// `ffmpeg -threads 1 -i FILE -map 0 -f null -`; without it only our own
// figures are printed.  dev_pack's time (its proof run included) is the
// median of the same number of runs.
//
// Then the limit: the same DEV stream restored in this process with every
// thread's processor time taken (the fastest of the runs).  Each stage is one
// adaptive chain, so the longest thread is what the run would take with a
// processor per thread, and on two processors the run takes at least the
// larger of that and all threads' time over two.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/timed_restore.h"
#include "driver/unpacker.h"
#include "stages/stage_table.h"

namespace {

namespace fs = std::filesystem;

struct Sample {
    double wall = 0;
    double cpu = 0;
    long peakKb = 0;
    int status = -1;
};

// Runs argv with standard output and error sent to /dev/null.
Sample runProcess(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    Sample s;
    std::fflush(nullptr);  // nothing buffered may be written twice
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) _exit(127);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) return s;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return s;
    s.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    s.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    s.peakKb = usage.ru_maxrss;
    s.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return s;
}

Sample median(std::vector<Sample> v) {
    Sample m;
    if (v.empty()) return m;
    auto mid = [&](auto key) {
        std::sort(v.begin(), v.end(), [&](const Sample& a, const Sample& b) { return key(a) < key(b); });
        return key(v[v.size() / 2]);
    };
    m.wall = mid([](const Sample& s) { return s.wall; });
    m.cpu = mid([](const Sample& s) { return s.cpu; });
    m.peakKb = static_cast<long>(mid([](const Sample& s) { return double(s.peakKb); }));
    m.status = 0;
    for (const Sample& s : v)
        if (s.status != 0) m.status = s.status;
    return m;
}

bool onPath(const std::string& program) {
    if (program.find('/') != std::string::npos) return access(program.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    if (!path) return false;
    std::string dirs = path;
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        if (access((dirs.substr(start, end - start) + "/" + program).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

// Whether the restored file holds exactly the bytes of the original.
bool sameBytes(const std::string& a, const std::string& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    if (!x || !y) return false;
    return std::equal(std::istreambuf_iterator<char>(x), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(y), std::istreambuf_iterator<char>());
}

// The longest thread, all threads, and the wall-time floors they set.
void printLimit(const dev::RunTimings& t, double decoderWall) {
    const bool bink2 = dev::bench::restoredBink2(t);
    uint64_t longest = t.driverProcessor, sum = t.driverProcessor;
    const char* name = "driver";
    for (int s = 0; s < dev::kStageTable.stageCount(bink2); ++s) {
        sum += t.stageProcessor[s];
        if (t.stageProcessor[s] > longest) {
            longest = t.stageProcessor[s];
            name = dev::stageKindName(dev::kStageTable.stageRow(bink2, s).kind);
        }
    }
    const double longestS = longest / 1e9, sumS = sum / 1e9, twoCores = std::max(longestS, sumS / 2);
    std::printf("  in-process  wall %.3f s  longest thread %.3f s (%s)  all threads %.3f s\n", t.total / 1e9,
                longestS, name, sumS);
    std::printf("  floor: 2 cores %.3f s", twoCores);
    if (decoderWall > 0) std::printf(" (%.2fx)", twoCores / decoderWall);
    std::printf("  enough cores %.3f s", longestS);
    if (decoderWall > 0) std::printf(" (%.2fx)", longestS / decoderWall);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    std::string decoder = "ffmpeg";
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--decoder" && i + 1 < argc) decoder = argv[++i];
        else if (!a.empty() && a[0] == '-') files.clear(), i = argc;  // an option we do not know: usage
        else files.push_back(a);
    }
    if (files.empty()) {
        std::fprintf(stderr, "Usage: versus_decoder [--runs N] [--decoder PATH] FILE.bik...\n");
        return 1;
    }
    const bool haveDecoder = onPath(decoder);
    if (!haveDecoder) std::printf("%s not found: only dev_pack and dev_unpack are timed\n", decoder.c_str());

    const fs::path work = fs::temp_directory_path() / ("versus_decoder." + std::to_string(getpid()));
    fs::create_directories(work);
    int failures = 0;
    for (const std::string& file : files) {
        std::error_code ec;
        if (!fs::is_regular_file(file, ec)) {
            std::printf("%s: not a readable file\n", file.c_str());
            ++failures;
            continue;
        }
        const std::string dev = (work / "in.dev").string(), out = (work / "out.bik").string();
        fs::remove(dev);
        std::vector<Sample> pack, unpack, decode;
        for (int r = 0; r < runs; ++r) {
            fs::remove(dev);
            pack.push_back(runProcess({DEV_PACK_PATH, "-q", "-x", "-o", dev, file}));
        }
        for (int r = 0; r < runs; ++r) {
            fs::remove(out);
            unpack.push_back(runProcess({DEV_UNPACK_PATH, dev, out}));
            if (haveDecoder)
                decode.push_back(runProcess({decoder, "-nostdin", "-v", "quiet", "-threads", "1", "-i", file, "-map",
                                             "0", "-f", "null", "-"}));
        }
        const Sample p = median(pack), u = median(unpack), d = median(decode);
        const double binkMb = double(fs::file_size(file, ec)) / 1e6;
        const bool same = sameBytes(out, file);
        std::printf("%s (%.2f MB, median of %d)\n", fs::path(file).filename().c_str(), binkMb, runs);
        std::printf("  dev_pack    wall %.3f s  cpu %.3f s  peak %6.1f MB  %.2f MB/s of Bink input%s\n", p.wall, p.cpu,
                    p.peakKb / 1024.0, binkMb / p.wall, p.status ? "  FAILED" : "");
        std::printf("  dev_unpack  wall %.3f s  cpu %.3f s  peak %6.1f MB%s\n", u.wall, u.cpu, u.peakKb / 1024.0,
                    u.status || !same ? "  FAILED" : "");
        if (haveDecoder) {
            std::printf("  decoder     wall %.3f s  cpu %.3f s  peak %6.1f MB%s\n", d.wall, d.cpu, d.peakKb / 1024.0,
                        d.status ? "  FAILED" : "");
            std::printf("  ratio dev_unpack / decoder: wall %.2fx  cpu %.2fx  peak %.2fx\n", u.wall / d.wall,
                        u.cpu / d.cpu, double(u.peakKb) / double(d.peakKb));
        }
        std::ifstream in(dev, std::ios::binary);
        const std::vector<uint8_t> stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        dev::bench::TimedRestore fastest;
        int32_t result = 0;
        if (dev::bench::fastestRestore(stream, runs, fastest, result)) printLimit(fastest.timings, haveDecoder ? d.wall : 0);
        failures += (p.status || u.status || !same) ? 1 : 0;
    }
    fs::remove_all(work);
    return failures ? 1 : 0;
}
