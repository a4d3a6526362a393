// Replays saved inputs through a fuzz target without libFuzzer: every file
// named on the command line, and every file under every folder named there,
// in name order, goes once through LLVMFuzzerTestOneInput.  Linked into each
// target when the build has no libFuzzer, and run by ctest over the target's
// folder (its seeds and the inputs that once failed), so the Release and
// sanitizer builds replay them all in every test run.  A failing input ends
// the process (a trap, a signal or a sanitizer report) right after its name.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool collect(const std::filesystem::path& path, std::vector<std::filesystem::path>& files) {
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error)) {
        files.push_back(path);
        return true;
    }
    if (!std::filesystem::is_directory(path, error)) return false;
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path, error))
        if (entry.is_regular_file()) found.push_back(entry.path());
    if (error) return false;
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_FOLDER...\n", argv[0]);
        return 2;
    }
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], files)) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
            return 2;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "%s: no inputs to replay\n", argv[0]);
        return 2;
    }
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.eof() && !in) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], file.string().c_str());
            return 2;
        }
        std::fprintf(stderr, "%s (%zu bytes)\n", file.string().c_str(), bytes.size());
        // A block of exactly the input's size, as libFuzzer passes it, so
        // that the sanitizers see any read past its end.
        const std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        LLVMFuzzerTestOneInput(exact.get(), bytes.size());
    }
    std::fprintf(stderr, "%zu inputs replayed\n", files.size());
    return 0;
}
