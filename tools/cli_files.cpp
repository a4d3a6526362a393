#include "tools/cli_files.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/names.h"

namespace dev::cli {

namespace fs = std::filesystem;

namespace {

std::string systemReason() {
    char text[256];
    platform::lastErrorText(text, sizeof text);
    return text;
}

}  // namespace

std::string inputProblem(const std::string& path) {
    const std::string why = systemReason();  // first, before another call changes it
    if (platform::pathKind(path.c_str()) == platform::PathKind::Directory) return "Is a directory";
    return why;
}

// ---- InputFile ----

Status InputFile::open(const std::string& path) {
    close();
    standard_ = isStandardName(path);
    name_ = standard_ ? "(stdin)" : path;
    file_ = standard_ ? platform::standardInput() : platform::openForRead(path.c_str());
    if (!file_) return standard_ ? "standard input is closed" : inputProblem(path);
    return {};
}

void InputFile::close() {
    platform::closeFile(file_);
    file_ = nullptr;
    readFailed_ = false;
    readProblem_.clear();
    peekedCount_ = peekedPos_ = 0;
}
size_t InputFile::peek(uint8_t* out, size_t count) {
    if (peekedCount_ == 0 && peekedPos_ == 0) {
        while (peekedCount_ < sizeof peeked_) {
            const int64_t got = platform::readFile(file_, peeked_ + peekedCount_, sizeof peeked_ - peekedCount_);
            if (got < 0 && !readFailed_) readFailed_ = true, readProblem_ = systemReason();
            if (got <= 0) break;
            peekedCount_ += static_cast<size_t>(got);
        }
    }
    const size_t n = std::min(count, peekedCount_ - peekedPos_);
    std::memcpy(out, peeked_ + peekedPos_, n);
    return n;
}

int64_t InputFile::read(void* buffer, size_t size) {
    if (size == 0) return 0;
    if (peekedPos_ < peekedCount_) {
        const size_t n = std::min(size, peekedCount_ - peekedPos_);
        std::memcpy(buffer, peeked_ + peekedPos_, n);
        peekedPos_ += n;
        return static_cast<int64_t>(n);
    }
    const int64_t got = platform::readFile(file_, buffer, size);
    if (got < 0 && !readFailed_) readFailed_ = true, readProblem_ = systemReason();
    return got;
}

bool InputFile::readExact(void* buffer, size_t size) {
    uint8_t* p = static_cast<uint8_t*>(buffer);
    while (size) {
        const int64_t got = read(p, size);
        if (got <= 0) return false;
        p += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

bool InputFile::readAll(std::vector<uint8_t>& out) {
    constexpr size_t kStep = size_t(1) << 20;
    for (;;) {
        const size_t used = out.size();
        out.resize(used + kStep);
        const int64_t got = read(out.data() + used, kStep);
        out.resize(used + static_cast<size_t>(std::max<int64_t>(got, 0)));
        if (got < 0) return false;
        if (got == 0) return true;
    }
}

// ---- OutputFile ----

Status OutputFile::open(const std::string& target, bool replace, const InputFile* input) {
    discard();
    writeFailed_ = false;
    writeProblem_.clear();
    replace_ = replace;
    direct_ = false;
    standard_ = isStandardName(target);
    if (standard_) {
        name_ = "(stdout)";
        file_ = platform::standardOutput();
        // Data for a closed standard output would be lost without a word.
        if (!file_) return "standard output is closed";
        return {};
    }
    name_ = target_ = target;
    const platform::PathKind kind = platform::pathKind(target.c_str());
    if (kind != platform::PathKind::Missing) {
        // Never replace the file being read, whatever the options say.
        if (input && input->file() && !input->isStandard() && platform::isSameFile(input->file(), target.c_str())) {
            return "is the input file itself";
        }
        if (kind == platform::PathKind::Directory) return "Is a directory";
        if (kind == platform::PathKind::Other) {
            // A device or a pipe: nothing is replaced, its reader takes the data.
            direct_ = true;
            file_ = platform::createForWrite(target.c_str());
            if (!file_) return systemReason();
            return {};
        }
        if (!replace) return "File exists";
    }
    // A new file of our own beside the target; createBeside never writes a
    // file that is not a stale temporary of ours.
    std::string temporary(target.size() + 32, '\0');
    file_ = platform::createBeside(target.c_str(), temporary.data(), temporary.size());
    if (!file_) return "cannot be created: " + systemReason();
    temporary_ = temporary.c_str();
    return {};
}

bool OutputFile::write(const void* buffer, size_t size) {
    if (writeFailed_) return false;
    if (!file_ || !platform::writeFile(file_, buffer, size)) {
        writeFailed_ = true;
        writeProblem_ = file_ ? systemReason() : "no output";
    }
    return !writeFailed_;
}

Status OutputFile::commit(const InputFile* attributesFrom) {
    if (!file_) return "no output";
    if (!writeFailed_ && !platform::flushFile(file_)) {
        writeFailed_ = true;
        writeProblem_ = systemReason();
    }
    if (standard_ || direct_) {
        if (!platform::closeFile(file_) && !writeFailed_) {
            writeFailed_ = true;
            writeProblem_ = systemReason();
        }
        file_ = nullptr;
        if (writeFailed_) return writeProblem_;
        return {};
    }
    if (writeFailed_) {
        discard();
        return writeProblem_;
    }
    if (attributesFrom && attributesFrom->file() && !attributesFrom->isStandard() &&
        !platform::copyAttributes(attributesFrom->file(), file_)) {
        const Status why = "cannot take the input's mode and time: " + systemReason();
        discard();
        return why;
    }
    platform::File* file = file_;
    file_ = nullptr;
    if (!platform::moveIntoPlace(file, temporary_.c_str(), target_.c_str(), replace_)) {
        const std::string why = systemReason();
        std::error_code ec;
        const bool taken = !replace_ && fs::exists(fs::symlink_status(platform::pathOf(target_), ec));
        temporary_.clear();
        return taken ? "File exists" : "cannot be renamed into place: " + why;
    }
    temporary_.clear();
    return {};
}

void OutputFile::discard() {
    if (file_) {
        if (standard_ || direct_)
            platform::closeFile(file_);
        else
            platform::closeAndRemove(file_, temporary_.c_str());
    }
    file_ = nullptr;
    temporary_.clear();
}

}  // namespace dev::cli
