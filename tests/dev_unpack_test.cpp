// The console program as a user runs it: texts, their order, files and exit
// codes (a result of -1 is exit status 255, -2 is 254).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#if !defined(_WIN32)
#include <csignal>
#include <sys/stat.h>
#endif

#include "dev_stream_fixtures.h"
#include "pack/packer.h"
#include "platform/names.h"
#include "run_program.h"
#include "tests/corpus.h"

namespace dev {
namespace {

namespace fs = std::filesystem;
using test::ProgramResult;
using test::Stdout;

const std::string kBannerAndUsage =
    "DEV unpacker 1.0 - restores Bink video files from DEV streams\n"
    "Usage: dev_unpack.exe dev_file bik_file\n\n";
const std::string kOpenFailure = "Can't open/create input/output file\n";

class DevUnpack : public testing::Test {
protected:
    void SetUp() override {
        dir = fs::path(DEV_BINARY_DIR) / "dev_unpack_test" / testing::UnitTest::GetInstance()->current_test_info()->name();
        test::removeTree(dir);
        fs::create_directories(dir);
    }
    std::string path(const char* name) const { return (dir / name).string(); }
    // A name in any script (UTF-8) in the test's folder.
    fs::path at(const std::string& name) const { return dir / platform::pathOf(name); }
    // A generated Bink 1 file without audio (random audio bytes are no DCT
    // packets a packer can rebuild).
    static std::vector<uint8_t> silentBink(uint32_t frames) {
        fixtures::SynthOptions o;
        o.frames = frames;
        o.tracks = 0;
        return fixtures::makeBink1(o);
    }
    // Runs the program in the test's folder.
    ProgramResult runUnpack(const std::vector<std::string>& args, Stdout out = Stdout::Capture) const {
        test::ProgramStreams streams;
        streams.out = out;
        return test::runProgram(DEV_UNPACK_PATH, args, dir, streams);
    }
    fs::path dir;
};

TEST_F(DevUnpack, WrongArgumentCountPrintsUsageAndTouchesNothing) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {path("a.dev")}, {path("a.dev"), path("b.bik"), path("c.bik")}}) {
        const ProgramResult r = runUnpack(args);
        EXPECT_EQ(r.out, kBannerAndUsage) << args.size();
        EXPECT_EQ(r.status, 255) << args.size();
    }
    EXPECT_TRUE(fs::is_empty(dir));
}

// Every open failure shows the same text and exits -1, and touches no file:
// a missing input, an input that is a directory, an output that is the input
// itself (by its name or a hard link), an output that cannot be created.
TEST_F(DevUnpack, OpenFailuresTouchNoFile) {
    const std::vector<uint8_t> dev = fixtures::emptyStream();
    const std::vector<uint8_t> precious(300, 'p');
    writeBytes(path("in.dev"), dev);
    writeBytes(path("out.bik"), precious);
    fs::create_directory(path("folder"));
    fs::create_hard_link(path("in.dev"), path("link.dev"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {path("missing.dev"), path("out.bik")},  {path("missing.dev"), path("new.bik")},
        {path("folder"), path("new.bik")},       {path("in.dev"), path("in.dev")},
        {path("in.dev"), path("link.dev")},      {path("in.dev"), path("no/such/dir/out.bik")},
        {path("in.dev"), path("folder")},
    };
    for (const auto& [in, out] : cases) {
        const ProgramResult r = runUnpack({in, out});
        EXPECT_EQ(r.out, std::string(kBannerAndUsage).append(kOpenFailure)) << in << " " << out;
        EXPECT_EQ(r.status, 255) << in << " " << out;
    }
    EXPECT_EQ(readBytes(path("in.dev")), dev);
    EXPECT_EQ(readBytes(path("out.bik")), precious);
    EXPECT_FALSE(fs::exists(path("new.bik")));
}

// No partial output, and an earlier file kept: a failed run (empty, not a
// DEV stream, truncated after frames were written) leaves the target exactly
// as it was and no file beside it, and names its reason on standard error; a
// file beside the target that looks like another run's partial output is
// not touched.  A closed standard output cannot hand its descriptor to the
// output file, and a standard output whose reader is gone does not end the
// run: in both the file is restored and the exit code is 0.
TEST_F(DevUnpack, FailedRunsAndBrokenConsolesKeepFilesRight) {
    const std::vector<uint8_t> bink = silentBink(30);
    const PackResult packed = packBink(bink);
    ASSERT_TRUE(packed.status.ok()) << packed.status.reason();
    writeBytes(path("in.dev"), packed.dev);
    writeBytes(path("cut.dev"), std::vector<uint8_t>(packed.dev.begin(), packed.dev.end() - 40));
    writeBytes(path("old.bik"), std::vector<uint8_t>(100, 'o'));

    writeBytes(path("empty.dev"), {});
    writeBytes(path("bik.dev"), bink);
    const std::vector<uint8_t> old(100, 'o');
    const std::vector<uint8_t> otherRun(7, 'x');
    writeBytes(path("old.bik"), old);
    writeBytes(path("old.bik.partial"), otherRun);
    for (const auto& [input, status, reason] : std::vector<std::tuple<std::string, int, std::string>>{
             {"cut.dev", 255, "the stream ends inside the chunk"},
             {"empty.dev", 255, "the stream ends early"},
             {"bik.dev", 254, "not a DEV stream"}}) {
        const ProgramResult r = runUnpack({input, "old.bik"});
        EXPECT_EQ(r.status, status) << input;
        EXPECT_NE(r.err.find("dev_unpack: " + input + ": "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
        EXPECT_EQ(readBytes(path("old.bik")), old) << input;
    }
    EXPECT_EQ(readBytes(path("old.bik.partial")), otherRun);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 6);  // nothing new

    ProgramResult r = runUnpack({"in.dev", "old.bik"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readBytes(path("old.bik")), bink);
    EXPECT_EQ(readBytes(path("old.bik.partial")), otherRun);
    EXPECT_FALSE(fs::exists(path("old.bik.partial-1")));

    r = runUnpack({"in.dev", "closed.bik"}, Stdout::Closed);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readBytes(path("closed.bik")), bink);

    r = runUnpack({"in.dev", "piped.bik"}, Stdout::BrokenPipe);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readBytes(path("piped.bik")), bink);
}

// A complete run: the Bink file is written, the last console text is the
// progress line for 1000 without a line feed, exit 0.  An existing output is
// replaced.
TEST_F(DevUnpack, RestoresAFileAndEndsWithTheFullProgressLine) {
    fixtures::SynthOptions o;
    o.frames = 0;
    o.tracks = 2;
    const std::vector<uint8_t> bink = fixtures::makeBink1(o);
    writeBytes(path("in.dev"), fixtures::emptyStream(2));
    writeBytes(path("out.bik"), std::vector<uint8_t>(5000, 7));
    const ProgramResult r = runUnpack({path("in.dev"), path("out.bik")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(kBannerAndUsage).append("100.0%    \r"));
    EXPECT_EQ(readBytes(path("out.bik")), bink);
}

// A file with frames, packed by our packer: restored exactly, and the console
// shows only progress lines after the usage text ("47.3%    \r" each, rising),
// the last one for 1000.
TEST_F(DevUnpack, ProgressLinesOfAPackedFile) {
    const std::vector<uint8_t> bink = silentBink(60);
    const PackResult packed = packBink(bink);
    if (!packed.status.ok()) GTEST_SKIP() << "packer cannot pack the file yet: " << packed.status.reason();
    writeBytes(path("in.dev"), packed.dev);
    const ProgramResult r = runUnpack({path("in.dev"), path("out.bik")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readBytes(path("out.bik")), bink);
    ASSERT_EQ(r.out.compare(0, kBannerAndUsage.size(), kBannerAndUsage), 0);
    std::string rest = r.out.substr(kBannerAndUsage.size());
    ASSERT_GE(rest.size(), 11u);
    EXPECT_EQ(rest.substr(rest.size() - 11), "100.0%    \r");
    int last = -1;
    size_t pos = 0;
    while (pos < rest.size()) {
        const size_t end = rest.find('\r', pos);
        ASSERT_NE(end, std::string::npos);
        const std::string line = rest.substr(pos, end - pos);
        ASSERT_GE(line.size(), 8u) << line;
        EXPECT_EQ(line.substr(line.size() - 5), "%    ");
        const std::string number = line.substr(0, line.size() - 5);  // "47.3"
        const size_t dot = number.find('.');
        ASSERT_EQ(dot, number.size() - 2) << line;
        EXPECT_TRUE(dot == 1 || number[0] != '0') << line;  // no leading zeros
        const int whole = std::stoi(number.substr(0, dot));
        const int tenth = number[dot + 1] - '0';
        EXPECT_GE(whole * 10 + tenth, last);
        last = whole * 10 + tenth;
        pos = end + 1;
    }
    EXPECT_EQ(last, 1000);
}

// The driver's result is the exit code: -2 for a file that is not a DEV
// stream, -1 for a truncated one; nothing else is printed.
TEST_F(DevUnpack, ExitCodesOfFailedRuns) {
    writeBytes(path("bik.dev"), {'B', 'I', 'K', 'i', 0, 0, 0, 0});
    ProgramResult r = runUnpack({path("bik.dev"), path("out.bik")});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, kBannerAndUsage);

    std::vector<uint8_t> dev = fixtures::emptyStream();
    ASSERT_FALSE(dev.empty());
    dev.pop_back();
    writeBytes(path("cut.dev"), dev);
    r = runUnpack({path("cut.dev"), path("out.bik")});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, kBannerAndUsage);
}

// Standard output redirected to a file carries the same texts as a pipe (on
// Windows neither is a console, so the program falls back from the console
// call to a plain write).
TEST_F(DevUnpack, SameTextsWithStandardOutputInAFile) {
    writeBytes(path("in.dev"), fixtures::emptyStream(1));
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"in.dev", "out.bik"}, {"missing.dev", "out.bik"}, {}}) {
        const ProgramResult piped = runUnpack(args, Stdout::Pipe);
        const ProgramResult filed = runUnpack(args, Stdout::Capture);
        EXPECT_EQ(filed.out, piped.out) << args.size();
        EXPECT_EQ(filed.status, piped.status) << args.size();
    }
    EXPECT_EQ(runUnpack({"in.dev", "out.bik"}, Stdout::Pipe).out, std::string(kBannerAndUsage).append("100.0%    \r"));
}

// Every real file the packer takes (every Bink 1 file) comes back byte for
// byte through the program itself on Windows, whose file layer is the one
// the deliverables use.  Elsewhere the packer's corpus test proves every file
// in memory, and the smaller files are enough to prove the program's own
// file handling.
TEST_F(DevUnpack, RestoresEveryCorpusFile) {
    if (corpusFiles().empty()) GTEST_SKIP() << "corpus not present";
    for (const CorpusFile& file : corpusFiles()) {
#if !defined(_WIN32)
        if (file.bytes.size() > kSmallCorpusFileBytes) continue;
#endif
        PackOptions extended;
        extended.extended = true;
        const PackResult packed = packBink(file.bytes, nullptr, nullptr, extended);
        if (!file.bink.isBink2) {
            EXPECT_TRUE(packed.status.ok()) << file.name << ": " << packed.status.reason();
        }
        if (!packed.status.ok()) continue;
        writeBytes(path("in.dev"), packed.dev);
        const ProgramResult r = runUnpack({path("in.dev"), path("out.bik")});
        EXPECT_EQ(r.status, 0) << file.name;
        EXPECT_TRUE(readBytes(path("out.bik")) == file.bytes) << file.name;
    }
}

// Bytes after the end of the stream do not change the result: the file is
// restored, the exit code is 0, and standard error says they were ignored.
TEST_F(DevUnpack, TrailingBytesAreIgnoredWithAWarning) {
    fixtures::SynthOptions o;
    o.frames = 0;
    o.tracks = 1;
    std::vector<uint8_t> dev = fixtures::emptyStream(1);
    const std::vector<uint8_t> alone = dev;
    dev.insert(dev.end(), alone.begin(), alone.end());  // a second stream
    writeBytes(path("two.dev"), dev);
    const ProgramResult r = runUnpack({"two.dev", "out.bik"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readBytes(path("out.bik")), fixtures::makeBink1(o));
    EXPECT_EQ(r.err, "dev_unpack: two.dev: bytes after the end of the DEV stream were ignored\n");
}

// Names reach the file they name, in any script and at any length: never
// one that a narrower character set spells alike ("vid\u0113o.dev" is not
// "video.dev", "t\u0113st.bik" not "test.bik"), and messages show them as
// given.  A path past Windows' old limit of 260 characters works, relative
// and absolute.  A read-only target is replaced as any other (on Windows a
// hidden and system one too, which keeps those two attributes).
TEST_F(DevUnpack, NamesInAnyScriptAndLongPaths) {
    const std::vector<uint8_t> bink = silentBink(8);
    const PackResult packed = packBink(bink);
    ASSERT_TRUE(packed.status.ok()) << packed.status.reason();
    const std::vector<uint8_t> other(80, 'o');
    writeBytes(at("video.dev"), other);
    writeBytes(at("test.bik"), other);
    for (const auto& [in, out] : std::vector<std::pair<std::string, std::string>>{
             {"видео.dev", "выход.bik"},
             {"動画.dev", "出力.bik"},
             {"e\xcc\x81x.dev", "o\xcc\x88ut.bik"},  // combining marks
             {"vidēo.dev", "tēst.bik"}}) {
        writeBytes(at(in), packed.dev);
        const ProgramResult r = runUnpack({in, out});
        EXPECT_EQ(r.status, 0) << in << ": " << r.err;
        EXPECT_EQ(readBytes(at(out)), bink) << out;
    }
    EXPECT_EQ(readBytes(at("video.dev")), other);
    EXPECT_EQ(readBytes(at("test.bik")), other);
    ProgramResult r = runUnpack({"нет.dev", "x.bik"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err.rfind("dev_unpack: нет.dev: ", 0), 0u) << r.err;

    writeBytes(at("guarded.bik"), other);
    fs::permissions(at("guarded.bik"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
#if defined(_WIN32)
    const DWORD hidden = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    ASSERT_TRUE(SetFileAttributesW(at("guarded.bik").c_str(), hidden | FILE_ATTRIBUTE_READONLY));
#endif
    r = runUnpack({"vidēo.dev", "guarded.bik"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readBytes(at("guarded.bik")), bink);
#if defined(_WIN32)
    EXPECT_EQ(GetFileAttributesW(at("guarded.bik").c_str()) & (hidden | FILE_ATTRIBUTE_READONLY), hidden);
#endif

    std::string relative;
    const fs::path deep = test::deepFolder(dir, relative);
    writeBytes(test::anyLength(deep / "in.dev"), packed.dev);
    r = runUnpack({relative + "in.dev", relative + "relative.bik"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readBytes(test::anyLength(deep / "relative.bik")), bink);
    const std::string absolute = platform::nameOf(fs::absolute(deep));
    EXPECT_GT(absolute.size(), 300u);
    r = runUnpack({absolute + "/in.dev", absolute + "/absolute.bik"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readBytes(test::anyLength(deep / "absolute.bik")), bink);
    test::removeTree(dir / std::string(100, 'a'));
}

#if !defined(_WIN32)
// Targets that are not a plain new file: standard output named as the target
// gets the Bink file alone (no console text in it); a target reached through
// a symbolic link is written through it (the link stays, the file it names
// is replaced), and a failed run leaves that file as it was.
TEST_F(DevUnpack, StandardOutputAndLinkedTargets) {
    const std::vector<uint8_t> bink = silentBink(20);
    const PackResult packed = packBink(bink);
    ASSERT_TRUE(packed.status.ok()) << packed.status.reason();
    writeBytes(path("in.dev"), packed.dev);
    writeBytes(path("cut.dev"), std::vector<uint8_t>(packed.dev.begin(), packed.dev.end() - 40));

    test::ProgramStreams toFile;
    toFile.out = Stdout::File;
    toFile.outputFile = "k.bik";
    ProgramResult r = test::runProgram(DEV_UNPACK_PATH, {"in.dev", "/dev/stdout"}, dir, toFile);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(readBytes(path("k.bik")) == bink);
    r = runUnpack({"in.dev", "/dev/stdout"}, Stdout::Pipe);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::vector<uint8_t>(r.out.begin(), r.out.end()) == bink);

    fs::create_directory(path("real"));
    const std::vector<uint8_t> old(50, 'o');
    writeBytes(path("real/target.bik"), old);
    fs::create_symlink("real/target.bik", path("link.bik"));
    r = runUnpack({"cut.dev", "link.bik"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(readBytes(path("real/target.bik")), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(path("real")), fs::directory_iterator()), 1);
    r = runUnpack({"in.dev", "link.bik"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(path("link.bik"))));
    EXPECT_TRUE(readBytes(path("real/target.bik")) == bink);
}

// An interrupted run (INT, TERM, HUP) ends as the signal ends it and leaves
// the target as it was, with no partial file.  The input is a pipe that
// holds the run in the middle of the stream until the signal comes.
TEST_F(DevUnpack, InterruptedRunsLeaveNoPartialFile) {
    if (test::kUnderEmulator) GTEST_SKIP() << "signals reach the emulator, not the program";
    const PackResult packed = packBink(silentBink(20));
    ASSERT_TRUE(packed.status.ok()) << packed.status.reason();
    const std::vector<uint8_t> old(60, 'o');
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        writeBytes(path("out.bik"), old);
        const std::string fifo = path("in.dev");
        fs::remove(fifo);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        const std::string target = path("out.bik");
        const pid_t child = test::startHeld(DEV_UNPACK_PATH, {fifo, target}, dir);
        ASSERT_GT(child, 0);
        const int writer = ::open(fifo.c_str(), O_WRONLY);  // waits for the program to open it
        ASSERT_GE(writer, 0);
        ASSERT_EQ(::write(writer, packed.dev.data(), packed.dev.size() / 2), ssize_t(packed.dev.size() / 2));
        for (int wait = 0; wait < 5000 && !fs::exists(path("out.bik.partial")); ++wait) ::usleep(1000);
        EXPECT_TRUE(fs::exists(path("out.bik.partial"))) << signal;
        ::kill(child, signal);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(writer);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal;
        EXPECT_EQ(readBytes(target), old) << signal;
        EXPECT_FALSE(fs::exists(path("out.bik.partial"))) << signal;
    }
}
#endif

}  // namespace
}  // namespace dev
