// Runs one of the built programs as a user would, in a folder of its own,
// with its standard streams set up as the test asks: standard error (and,
// unless told otherwise, standard output) captured, standard input from a
// file.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace dev::test {

struct ProgramResult {
    int status = -1;  // the exit status; 1000 + the signal that ended the program
    std::string out, err;
};

// How the program's standard output is set up.
enum class Stdout {
    Capture,     // a file, read back into ProgramResult::out
    Closed,      // no descriptor 1 at all
    BrokenPipe,  // a pipe whose reading end is already closed
    File,        // the file named by outputFile (appended to)
};

struct ProgramStreams {
    Stdout out = Stdout::Capture;
    std::string outputFile;          // for Stdout::File
    std::string inputFile = "/dev/null";  // standard input, relative to the folder
};

inline std::string readText(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

inline ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                                const std::filesystem::path& folder, const ProgramStreams& streams = {}) {
    ProgramResult r;
    // Captures beside the folder, not in it: the folder holds only what the
    // program and the test put there.
    const std::filesystem::path outFile = folder.string() + ".stdout", errFile = folder.string() + ".stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, streams.inputFile.c_str(), O_RDONLY, 0);
    int pipeEnds[2] = {-1, -1};
    switch (streams.out) {
        case Stdout::Capture:
            posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            break;
        case Stdout::Closed:
            posix_spawn_file_actions_addclose(&actions, 1);
            break;
        case Stdout::BrokenPipe:
            if (::pipe(pipeEnds) != 0) return r;
            ::close(pipeEnds[0]);
            posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
            posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
            break;
        case Stdout::File:
            posix_spawn_file_actions_addopen(&actions, 1, streams.outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                             0644);
            break;
    }
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
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

}  // namespace dev::test
