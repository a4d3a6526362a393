// A Bink 1 file a benchmark works on: its bytes (which the file's packets
// point into), the file split into its parts, and its file-level fields as
// the header decoder derives them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "driver/header_decoder.h"
#include "pack/bink_file.h"

struct Bink1Input {
    std::vector<uint8_t> bytes;
    dev::BinkFile file;
    dev::BinkContext context{};
};

// Reads path into in; false, said on standard output, when it holds no
// Bink 1 file.
inline bool readBink1Input(const char* path, Bink1Input& in) {
    std::ifstream stream(path, std::ios::binary);
    in.bytes.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    const dev::Status read = dev::readBinkFile(in.bytes, in.file);
    if (!read.ok() || in.file.isBink2) {
        std::printf("%s: not a Bink 1 file %s\n", path, read.reason().c_str());
        return false;
    }
    dev::setHeaderFields(in.context, in.file.header.data(), static_cast<uint32_t>(in.file.header.size()));
    return true;
}
