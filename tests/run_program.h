// Runs one of the built programs as a user would, in a folder of its own,
// with its standard streams set up as the test asks: standard error (and,
// unless told otherwise, standard output) captured, standard input from a
// file or the null device.  A Windows build starts the program with
// CreateProcessW (under Wine too), its arguments, UTF-8 here, given as the
// UTF-16 a user's shell gives; elsewhere posix_spawn starts it, through
// DEV_PROGRAM_EMULATOR when a cross build defines it (qemu for the 32-bit
// Linux build).
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
// windows.h makes MessageBox a macro, which would rename FailureReport's
// member of that name in headers included after this one.
#undef MessageBox
#else
#include <fcntl.h>
#include <spawn.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace dev::test {

struct ProgramResult {
    // The low byte of the exit code (a result of -1 is 255, -2 is 254, on
    // every system); 1000 + the signal, or 1000 for a Windows exception, that
    // ended the program; -1 when it could not be run.
    int status = -1;
    std::string out, err;
};

// How the program's standard output is set up.
enum class Stdout {
    Capture,     // a file, read back into ProgramResult::out
    Pipe,        // a pipe, read back into ProgramResult::out
    Closed,      // none at all
    BrokenPipe,  // a pipe whose reading end is already closed
    File,        // the file named by outputFile (appended to)
};

struct ProgramStreams {
    Stdout out = Stdout::Capture;
    std::string outputFile;  // for Stdout::File, relative to the folder
    std::string inputFile;   // standard input, relative to the folder; empty: the null device
};

inline std::string readText(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// The path for the test's own file calls at any length: on Windows the
// \\?\ form of the absolute path, past the old 260-character limit.
inline std::filesystem::path anyLength(const std::filesystem::path& p) {
#if defined(_WIN32)
    const std::wstring prefix = L"\\\\?\\";
    const std::wstring given = p.wstring();
    if (given.compare(0, prefix.size(), prefix) == 0) return p;
    return std::filesystem::path(prefix + std::filesystem::absolute(p).make_preferred().wstring());
#else
    return p;
#endif
}

// Removes a folder and all it holds, at any length (std::filesystem's
// remove_all does not reach past 260 characters on Windows).
inline void removeTree(const std::filesystem::path& p) {
#if defined(_WIN32)
    const std::wstring root = anyLength(p).wstring();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((root + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = root + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(root.c_str());
#else
    std::error_code ec;
    std::filesystem::remove_all(p, ec);
#endif
}

// Three nested folders of 100-letter names under dir, a path past 300
// characters: returns the deepest, with its path relative to dir (ending in
// '/') in relative.  removeTree(dir / std::string(100, 'a')) removes them.
inline std::filesystem::path deepFolder(const std::filesystem::path& dir, std::string& relative) {
    std::filesystem::path deep = dir;
    relative.clear();
    for (const char letter : {'a', 'b', 'c'}) {
        deep /= std::string(100, letter);
        relative += std::string(100, letter) + "/";
        std::filesystem::create_directory(anyLength(deep));
    }
    return deep;
}

#if defined(_WIN32)

namespace detail {

// UTF-8 text as UTF-16.
inline std::wstring wide(const std::string& text) {
    std::wstring w(text.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), w.data(), int(w.size()));
    w.resize(size_t(n > 0 ? n : 0));
    return w;
}

// CreateFileW for a handle the child inherits; INVALID_HANDLE_VALUE on failure.
inline HANDLE openInherited(const std::filesystem::path& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

inline void closeIfOpen(HANDLE h) {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

}  // namespace detail

inline ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                                const std::filesystem::path& folder, const ProgramStreams& streams = {}) {
    using detail::closeIfOpen;
    using detail::openInherited;
    ProgramResult r;
    std::filesystem::path outFile = folder, errFile = folder;
    outFile += ".stdout";
    errFile += ".stderr";
    // Every argument quoted: our test arguments hold no quotes and end in no
    // backslash.
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::wstring line;
    for (const std::string& w : words) {
        if (!line.empty()) line += L' ';
        line += L'"';
        line += detail::wide(w);
        line += L'"';
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE in = openInherited(streams.inputFile.empty() ? std::filesystem::path("NUL") : folder / streams.inputFile,
                              GENERIC_READ, OPEN_EXISTING);
    HANDLE out = nullptr, readEnd = nullptr;
    switch (streams.out) {
        case Stdout::Capture:
            out = openInherited(outFile, GENERIC_WRITE, CREATE_ALWAYS);
            break;
        case Stdout::Pipe:
        case Stdout::BrokenPipe:
            if (!CreatePipe(&readEnd, &out, &inherit, 0)) readEnd = out = nullptr;
            SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
            if (streams.out == Stdout::BrokenPipe) {
                CloseHandle(readEnd);
                readEnd = nullptr;
            }
            break;
        case Stdout::Closed:
            break;
        case Stdout::File:
            out = openInherited(folder / streams.outputFile, FILE_APPEND_DATA, OPEN_ALWAYS);
            break;
    }
    HANDLE err = openInherited(errFile, GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    const bool ready = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                       (streams.out == Stdout::Closed || out != nullptr);
    const std::wstring here = folder.wstring();
    const BOOL started =
        ready && CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, here.c_str(), &si, &pi);
    // The child holds its own copies.
    closeIfOpen(in);
    closeIfOpen(out);
    closeIfOpen(err);
    if (started) {
        if (readEnd) {
            char buffer[4096];
            DWORD n = 0;
            while (ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n) r.out.append(buffer, n);
        }
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 0;
        if (GetExitCodeProcess(pi.hProcess, &code)) {
            // A result of the program is a small number, negative ones as
            // 0xFFFFFFxx; an exception code is neither.
            const DWORD high = code & 0xFFFFFF00u;
            r.status = high == 0 || high == 0xFFFFFF00u ? static_cast<int>(code & 0xFF) : 1000;
        }
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    closeIfOpen(readEnd);
    if (started && streams.out == Stdout::Capture) r.out = readText(outFile);
    if (started) {
        // Standard error stays text: its line ends come back as "\n".
        const std::string text = readText(errFile);
        for (size_t i = 0; i < text.size(); ++i)
            if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') r.err += text[i];
    }
    std::error_code ec;
    std::filesystem::remove(outFile, ec);
    std::filesystem::remove(errFile, ec);
    return r;
}

#else

inline ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                                const std::filesystem::path& folder, const ProgramStreams& streams = {}) {
    ProgramResult r;
    // Captures beside the folder, not in it: the folder holds only what the
    // program and the test put there.
    const std::filesystem::path outFile = folder.string() + ".stdout", errFile = folder.string() + ".stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, streams.inputFile.empty() ? "/dev/null" : streams.inputFile.c_str(),
                                     O_RDONLY, 0);
    int pipeEnds[2] = {-1, -1};
    switch (streams.out) {
        case Stdout::Capture:
            posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            break;
        case Stdout::Pipe:
        case Stdout::BrokenPipe:
            if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
                posix_spawn_file_actions_destroy(&actions);
                return r;
            }
            if (streams.out == Stdout::BrokenPipe) {
                ::close(pipeEnds[0]);
                pipeEnds[0] = -1;
            }
            posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
            break;
        case Stdout::Closed:
            posix_spawn_file_actions_addclose(&actions, 1);
            break;
        case Stdout::File:
            posix_spawn_file_actions_addopen(&actions, 1, streams.outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                             0644);
            break;
    }
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> command;
#if defined(DEV_PROGRAM_EMULATOR)
    command.push_back(DEV_PROGRAM_EMULATOR);
#endif
    command.push_back(program);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : command) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
    if (spawned == 0 && pipeEnds[0] >= 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0) r.out.append(buffer, static_cast<size_t>(n));
    }
    if (pipeEnds[0] >= 0) ::close(pipeEnds[0]);
    if (spawned != 0) return r;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 1000 + WTERMSIG(status) : -1;
    if (streams.out == Stdout::Capture) r.out = readText(outFile);
    r.err = readText(errFile);
    std::filesystem::remove(outFile);
    std::filesystem::remove(errFile);
    return r;
}

#endif

#if !defined(_WIN32)
// Runs of a cross build go through a processor emulator, whose process is
// the one a signal reaches: tests that interrupt a run skip there (the
// 32-bit build checks word sizes, not the emulator's signal handling).
#if defined(DEV_PROGRAM_EMULATOR)
constexpr bool kUnderEmulator = true;
#else
constexpr bool kUnderEmulator = false;
#endif

// Starts program in folder with the interrupts (INT, TERM, HUP) at their
// default actions and its standard streams on the null device, and returns
// at once: for tests that interrupt a run, whose input is then a named pipe
// that holds it in the middle of its input.  -1 when it cannot be started.
inline pid_t startHeld(const std::string& program, const std::vector<std::string>& args,
                       const std::filesystem::path& folder) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t interrupts;
    sigemptyset(&interrupts);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&interrupts, s);
    posix_spawnattr_setsigdefault(&attributes, &interrupts);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    if (posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), environ) != 0) child = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return child;
}
#endif


}  // namespace dev::test
