#include "tools/cli_files.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace dev::cli {

namespace fs = std::filesystem;

std::string inputProblem(const std::string& path) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec) return ec.message();
    if (fs::is_directory(st)) return "Is a directory";
    return "cannot be opened for reading";
}

// ---- InputFile ----

Status InputFile::open(const std::string& path) {
    close();
    standard_ = isStandardName(path);
    name_ = standard_ ? "(stdin)" : path;
    file_ = standard_ ? platform::standardInput() : platform::openForRead(path.c_str());
    if (!file_) return standard_ ? "standard input cannot be read" : inputProblem(path);
    return {};
}

void InputFile::close() {
    platform::closeFile(file_);
    file_ = nullptr;
    readFailed_ = false;
    peekedCount_ = peekedPos_ = 0;
}

size_t InputFile::peek(uint8_t* out, size_t count) {
    if (peekedCount_ == 0 && peekedPos_ == 0) {
        while (peekedCount_ < sizeof peeked_) {
            const int64_t got = platform::readFile(file_, peeked_ + peekedCount_, sizeof peeked_ - peekedCount_);
            if (got < 0) readFailed_ = true;
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
    if (got < 0) readFailed_ = true;
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
    replace_ = replace;
    standard_ = isStandardName(target);
    if (standard_) {
        name_ = "(stdout)";
        file_ = platform::standardOutput();
        if (!file_) return "standard output cannot be written";
        return {};
    }
    name_ = target_ = target;
    std::error_code ec;
    const fs::file_status st = fs::status(target, ec);
    if (fs::exists(st)) {
        // Never replace the file being read, whatever the options say.
        if (input && input->file() && !input->isStandard() && platform::isSameFile(input->file(), target.c_str())) {
            return "is the input file itself";
        }
        if (fs::is_directory(st)) {
            return "Is a directory";
        }
        if (!fs::is_regular_file(st)) {
            return "exists and is not a regular file";
        }
        if (!replace) {
            return "File exists";
        }
    }
    // A new file of our own beside the target; createNew never opens an
    // existing one, so no file of the user's is touched.
    for (int k = 0; k < 100 && !file_; ++k) {
        temporary_ = target + ".partial";
        if (k) {
            temporary_ += '-';
            temporary_ += std::to_string(k);
        }
        file_ = platform::createNew(temporary_.c_str());
        if (!file_ && !fs::exists(fs::symlink_status(temporary_, ec))) break;  // not a name clash
    }
    if (!file_) {
        const fs::path folder = fs::absolute(fs::path(target), ec).parent_path();
        const fs::file_status fst = fs::status(folder, ec);
        temporary_.clear();
        return ec ? "cannot be created: " + ec.message()
                  : fs::is_directory(fst) ? "cannot be created in its folder" : "cannot be created: no such folder";
    }
    return {};
}

bool OutputFile::write(const void* buffer, size_t size) {
    if (!file_ || !platform::writeFile(file_, buffer, size)) writeFailed_ = true;
    return !writeFailed_;
}

Status OutputFile::commit() {
    if (!file_) return "no output";
    const bool stored = !writeFailed_ && platform::flushFile(file_);
    if (standard_) {
        platform::closeFile(file_);
        file_ = nullptr;
        if (!stored) return "cannot be written";
        return {};
    }
    if (!stored) {
        discard();
        return "cannot be written";
    }
    platform::closeFile(file_);
    file_ = nullptr;
    if (!platform::moveFile(temporary_.c_str(), target_.c_str(), replace_)) {
        std::error_code ec;
        const char* why =
            !replace_ && fs::exists(fs::symlink_status(target_, ec)) ? "File exists" : "cannot be renamed into place";
        fs::remove(temporary_, ec);
        temporary_.clear();
        return why;
    }
    temporary_.clear();
    return {};
}

void OutputFile::discard() {
    if (file_) {
        if (standard_)
            platform::closeFile(file_);
        else
            platform::closeAndRemove(file_, temporary_.c_str());
    }
    file_ = nullptr;
    temporary_.clear();
}

}  // namespace dev::cli
