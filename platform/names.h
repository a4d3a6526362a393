// Names of files as the programs hold them: the bytes as given on POSIX,
// UTF-8 text on Windows (the command line's UTF-16, converted without loss).
// std::filesystem takes and gives them only through these two, never through
// the ANSI code page of a narrow std::string.
#pragma once

#include <filesystem>
#include <string>

namespace dev::platform {

// The path a name stands for; empty when it has none (Windows: text that is
// not UTF-8), which names no file.
inline std::filesystem::path pathOf(const std::string& name) {
    try {
        return std::filesystem::path(std::u8string(name.begin(), name.end()));
    } catch (...) {
        return {};
    }
}

// The name of a path; empty when it has none (Windows: an unpaired surrogate).
inline std::string nameOf(const std::filesystem::path& path) {
    try {
        const std::u8string text = path.u8string();
        return std::string(text.begin(), text.end());
    } catch (...) {
        return {};
    }
}

}  // namespace dev::platform
