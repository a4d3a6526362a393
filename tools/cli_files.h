// Files of the command-line tools, handled so that a user's files are never
// lost: inputs are read through the platform layer (a directory is refused,
// never read), and an output is written to a new temporary file beside its
// target and renamed into place only after success, so a failed run leaves
// any earlier file exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/byte_io.h"
#include "pack/status.h"
#include "platform/platform.h"

namespace dev::cli {

// The name that stands for standard input or output on a command line.
inline bool isStandardName(const std::string& path) { return path == "-"; }

// Why path cannot be opened as an input, in the system's words where it has
// them ("No such file or directory", "Is a directory").
std::string inputProblem(const std::string& path);

class InputFile : public ByteSource {
public:
    InputFile() = default;
    ~InputFile() { close(); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens path ("-": standard input); the reason otherwise.
    Status open(const std::string& path);
    void close();
    // A name for messages: the path, or "(stdin)".
    const std::string& name() const { return name_; }
    bool isStandard() const { return standard_; }
    platform::File* file() const { return file_; }

    // The first count (at most 8) bytes without consuming them; fewer when
    // the input is shorter.
    size_t peek(uint8_t* out, size_t count);
    // Up to size bytes: the count delivered, 0 at the end of the input, -1
    // on a read error.
    int64_t read(void* buffer, size_t size);
    bool readExact(void* buffer, size_t size) override;
    // The rest of the input; false on a read error.
    bool readAll(std::vector<uint8_t>& out);
    // A read failed (as opposed to the input ending).
    bool readFailed() const { return readFailed_; }

private:
    platform::File* file_ = nullptr;
    std::string name_;
    bool standard_ = false;
    bool readFailed_ = false;
    uint8_t peeked_[8] = {};
    size_t peekedCount_ = 0;
    size_t peekedPos_ = 0;
};

class OutputFile : public ByteSink {
public:
    OutputFile() = default;
    ~OutputFile() { discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Prepares to write target ("-": standard output).  A named target gets a
    // new temporary file in its folder.  Refused, with the reason: a target
    // that is the input's own file (even with replace), an existing target
    // without replace, and a target that exists but is not a regular file.
    Status open(const std::string& target, bool replace, const InputFile* input);
    bool write(const void* buffer, size_t size) override;
    // A write has failed since open().
    bool writeFailed() const { return writeFailed_; }
    // Puts the output in place: flushes, closes and renames the temporary
    // file onto the target (replacing it only when allowed).  Otherwise the
    // reason, the temporary file removed and the target untouched.
    Status commit();
    // Drops an output that is not committed: the temporary file is removed.
    void discard();
    const std::string& name() const { return name_; }

private:
    platform::File* file_ = nullptr;
    std::string target_;
    std::string temporary_;
    std::string name_;
    bool standard_ = false;
    bool replace_ = false;
    bool writeFailed_ = false;
};

}  // namespace dev::cli
