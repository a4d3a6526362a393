// The real Bink files of the corpus folder, read once per test program.
// Tests that use them skip when the folder is absent.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "core/bink_context.h"
#include "driver/header_decoder.h"
#include "pack/bink_file.h"

namespace dev {

// A whole file's bytes (empty when it cannot be read), and a file of bytes.
inline std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline bool writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

struct CorpusFile {
    std::string name;
    std::vector<uint8_t> bytes;
    BinkFile bink;          // its spans point into bytes
    BinkContext context{};  // the header fields the stages read (no track records)
};

// The smaller Bink 1 files of the corpus hold video without audio and with
// raw audio, at sizes up to 1280x720, in a small part of the corpus's bytes.
// Under a processor emulator (the build defines DEV_CORPUS_SMALL_ONLY) the
// corpus-wide tests take only these of the Bink 1 files, and the Bink 2
// files up to 1.5 MB (all but the one 1920x1088 file, whose alpha and
// extension the smaller ones share); the real DCT audio packets stay covered
// there by the audio tests, which read every file.
constexpr uintmax_t kSmallCorpusFileBytes = 300000;
constexpr uintmax_t kSmallCorpusBink2Bytes = 1500000;

inline bool corpusFileTaken(const std::filesystem::path& path) {
#if defined(DEV_CORPUS_SMALL_ONLY)
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    return size <= (path.extension() == ".bk2" ? kSmallCorpusBink2Bytes : kSmallCorpusFileBytes);
#else
    (void)path;
    return true;
#endif
}

// Every file of the folder that reads as a Bink file (and is taken), sorted
// by name; empty when the folder is absent.
inline const std::vector<CorpusFile>& corpusFiles() {
    static const std::vector<CorpusFile> files = [] {
        std::vector<CorpusFile> out;
        std::error_code ec;
        if (!std::filesystem::is_directory(DEV_CORPUS_DIR, ec)) return out;
        std::vector<std::filesystem::path> paths;
        for (const auto& e : std::filesystem::directory_iterator(DEV_CORPUS_DIR, ec))
            if ((e.path().extension() == ".bik" || e.path().extension() == ".bk2") && corpusFileTaken(e.path()))
                paths.push_back(e.path());
        std::sort(paths.begin(), paths.end());
        for (const auto& p : paths) {
            CorpusFile f;
            f.name = p.filename().string();
            f.bytes = readBytes(p);
            if (!readBinkFile(f.bytes, f.bink).ok()) continue;
            setHeaderFields(f.context, f.bink.header.data(), static_cast<uint32_t>(f.bink.header.size()));
            out.push_back(std::move(f));
        }
        return out;
    }();
    return files;
}

inline std::vector<std::reference_wrapper<const CorpusFile>> corpusBink1Files() {
    std::vector<std::reference_wrapper<const CorpusFile>> out;
    for (const CorpusFile& f : corpusFiles())
        if (!f.bink.isBink2) out.push_back(std::cref(f));
    return out;
}

}  // namespace dev
