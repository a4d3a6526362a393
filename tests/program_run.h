// Runs one of our programs as a user would, with its standard output sent to
// a pipe or to a file, and returns what it printed and the low byte of its
// exit code (a result of -1 is 255, -2 is 254, on every system).  Standard
// error is discarded.  DEV_PROGRAM_EMULATOR, when defined, names the emulator
// that runs programs of a cross build (qemu for the 32-bit Linux build).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace dev::testing_support {

enum class StandardOutput { Pipe, File };

struct ProgramRun {
    std::string out;
    int status = -1;  // -1 when the program could not be run
};

inline std::string readWhole(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

#if defined(_WIN32)

// One command line for CreateProcessA: every argument quoted (our test paths
// hold no quotes or trailing backslashes).
inline ProgramRun runProgram(const std::vector<std::string>& argv, StandardOutput mode,
                             const std::string& outputFile) {
    ProgramRun r;
    std::string line;
    for (const std::string& a : argv) {
        if (!line.empty()) line += ' ';
        line += '"';
        line += a;
        line += '"';
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (mode == StandardOutput::Pipe) {
        if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return r;
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    } else {
        writeEnd = CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (writeEnd == INVALID_HANDLE_VALUE) return r;
    }
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = writeEnd;
    si.hStdError = nul;
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(writeEnd);  // the child holds its own copy
    CloseHandle(nul);
    if (started) {
        if (readEnd) {
            char buffer[4096];
            DWORD n = 0;
            while (ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n) r.out.append(buffer, n);
        }
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 0;
        if (GetExitCodeProcess(pi.hProcess, &code)) r.status = static_cast<int>(code & 0xFF);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    if (readEnd) CloseHandle(readEnd);
    if (started && mode == StandardOutput::File) r.out = readWhole(outputFile);
    return r;
}

#else

inline ProgramRun runProgram(const std::vector<std::string>& argv, StandardOutput mode,
                             const std::string& outputFile) {
    ProgramRun r;
    std::vector<std::string> command;
#if defined(DEV_PROGRAM_EMULATOR)
    command.push_back(DEV_PROGRAM_EMULATOR);
#endif
    command.insert(command.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& a : command) args.push_back(a.data());
    args.push_back(nullptr);

    int pipeEnds[2] = {-1, -1};
    int out = -1;
    if (mode == StandardOutput::Pipe) {
        if (::pipe(pipeEnds) != 0) return r;
        out = pipeEnds[1];
    } else {
        out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0) return r;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const int nul = ::open("/dev/null", O_RDWR);
        ::dup2(nul, 0);
        ::dup2(out, 1);
        ::dup2(nul, 2);
        if (pipeEnds[0] >= 0) ::close(pipeEnds[0]);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(out);
    if (pipeEnds[0] >= 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0) r.out.append(buffer, static_cast<size_t>(n));
        ::close(pipeEnds[0]);
    }
    if (child < 0) return r;
    int status = 0;
    if (::waitpid(child, &status, 0) == child && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    if (mode == StandardOutput::File) r.out = readWhole(outputFile);
    return r;
}

#endif

}  // namespace dev::testing_support
