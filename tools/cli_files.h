// Files of the command-line tools, handled so that a user's files are never
// lost: inputs are read through the platform layer (a directory is refused,
// never read), and an output is written to a new temporary file beside its
// target (platform::createBeside, held for its whole life) and renamed into
// place only after success, so a failed or interrupted run leaves any
// earlier file exactly as it was and no temporary file.  Every reason is the
// system's own words where it has them.
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
    // Why the first read failed, in the system's words.
    const std::string& readProblem() const { return readProblem_; }

private:
    platform::File* file_ = nullptr;
    std::string name_;
    bool standard_ = false;
    bool readFailed_ = false;
    std::string readProblem_;
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

    // Prepares to write target ("-": standard output, refused when it was
    // closed at start).  A regular or new target gets a new temporary file in
    // its folder, removed if an interrupt (INT, TERM, HUP) ends the process;
    // a target that is not a regular file (a device, a pipe) is written
    // directly.  Refused, with the reason: a target that is the input's own
    // file (even with replace), a folder, and an existing regular target
    // without replace.
    Status open(const std::string& target, bool replace, const InputFile* input);
    bool write(const void* buffer, size_t size) override;
    // A write has failed since open(); why, in the system's words.
    bool writeFailed() const { return writeFailed_; }
    const std::string& writeProblem() const { return writeProblem_; }
    // Puts the output in place: flushes, gives it the mode, owner and time of
    // attributesFrom when that is a named input, and renames the temporary
    // file onto the target (replacing it only when allowed).  Otherwise the
    // reason, the temporary file removed and the target untouched.
    Status commit(const InputFile* attributesFrom = nullptr);
    // Drops an output that is not committed: the temporary file is removed
    // (a device or a pipe keeps what it was given).
    void discard();
    const std::string& name() const { return name_; }

private:
    platform::File* file_ = nullptr;
    std::string target_;
    std::string temporary_;
    std::string name_;
    bool standard_ = false;
    bool direct_ = false;  // written into the target itself, a device or a pipe
    bool replace_ = false;
    bool writeFailed_ = false;
    std::string writeProblem_;
};

}  // namespace dev::cli
