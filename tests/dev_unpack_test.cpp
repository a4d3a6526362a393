// The console program as a user runs it: texts, their order, files and exit
// codes (a result of -1 is exit status 255, -2 is 254).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dev_stream_fixtures.h"
#include "pack/packer.h"

namespace dev {
namespace {

namespace fs = std::filesystem;

const std::string kBannerAndUsage =
    "DEV unpacker 1.0 - restores Bink video files from DEV streams\n"
    "Usage: dev_unpack.exe dev_file bik_file\n\n";
const std::string kOpenFailure = "Can't open/create input/output file\n";

struct Outcome {
    std::string out;
    int status = -1;
};

// Shell-quoted file names, joined by spaces (appended piecewise: GCC 12 warns
// falsely on chains of string operator+).
std::string quoted(std::initializer_list<std::string> names) {
    std::string s;
    for (const std::string& n : names) {
        if (!s.empty()) s += ' ';
        s += '\'';
        s += n;
        s += '\'';
    }
    return s;
}

Outcome runProgram(const std::string& arguments) {
    Outcome r;
    std::string command = quoted({DEV_UNPACK_PATH});
    command += ' ';
    command += arguments;
    command += " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return r;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
    const int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class DevUnpack : public testing::Test {
protected:
    void SetUp() override {
        dir = fs::path(DEV_BINARY_DIR) / "dev_unpack_test" / testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    std::string path(const char* name) const { return (dir / name).string(); }
    void writeFile(const std::string& p, const std::vector<uint8_t>& bytes) const {
        std::ofstream f(p, std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<uint8_t> readFile(const std::string& p) const {
        std::ifstream f(p, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
    }
    fs::path dir;
};

TEST_F(DevUnpack, WrongArgumentCountPrintsUsageAndTouchesNothing) {
    for (const std::string& args :
         {std::string(), quoted({path("a.dev")}), quoted({path("a.dev"), path("b.bik"), path("c.bik")})}) {
        const Outcome r = runProgram(args);
        EXPECT_EQ(r.out, kBannerAndUsage) << args;
        EXPECT_EQ(r.status, 255) << args;
    }
    EXPECT_TRUE(fs::is_empty(dir));
}

// A missing input: the output is still created (empty), the open failure is
// shown, exit -1.  An output that cannot be created fails the same way.
TEST_F(DevUnpack, OpenFailures) {
    Outcome r = runProgram(quoted({path("missing.dev"), path("out.bik")}));
    EXPECT_EQ(r.out, std::string(kBannerAndUsage).append(kOpenFailure));
    EXPECT_EQ(r.status, 255);
    ASSERT_TRUE(fs::exists(path("out.bik")));
    EXPECT_EQ(fs::file_size(path("out.bik")), 0u);

    writeFile(path("in.dev"), fixtures::emptyStream());
    r = runProgram(quoted({path("in.dev"), path("no/such/dir/out.bik")}));
    EXPECT_EQ(r.out, std::string(kBannerAndUsage).append(kOpenFailure));
    EXPECT_EQ(r.status, 255);
}

// A complete run: the Bink file is written, the last console text is the
// progress line for 1000 without a line feed, exit 0.  An existing output is
// replaced.
TEST_F(DevUnpack, RestoresAFileAndEndsWithTheFullProgressLine) {
    fixtures::SynthOptions o;
    o.frames = 0;
    o.tracks = 2;
    const std::vector<uint8_t> bink = fixtures::makeBink1(o);
    writeFile(path("in.dev"), fixtures::emptyStream(2));
    writeFile(path("out.bik"), std::vector<uint8_t>(5000, 7));
    const Outcome r = runProgram(quoted({path("in.dev"), path("out.bik")}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(kBannerAndUsage).append("100.0%    \r"));
    EXPECT_EQ(readFile(path("out.bik")), bink);
}

// A file with frames, packed by our packer: restored exactly, and the console
// shows only progress lines after the usage text ("47.3%    \r" each, rising),
// the last one for 1000.
TEST_F(DevUnpack, ProgressLinesOfAPackedFile) {
    fixtures::SynthOptions o;
    o.frames = 60;
    o.tracks = 0;
    const std::vector<uint8_t> bink = fixtures::makeBink1(o);
    const PackResult packed = packBink(bink);
    if (!packed.ok) GTEST_SKIP() << "packer cannot pack the file yet: " << packed.error;
    writeFile(path("in.dev"), packed.dev);
    const Outcome r = runProgram(quoted({path("in.dev"), path("out.bik")}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(path("out.bik")), bink);
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
    writeFile(path("bik.dev"), {'B', 'I', 'K', 'i', 0, 0, 0, 0});
    Outcome r = runProgram(quoted({path("bik.dev"), path("out.bik")}));
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, kBannerAndUsage);

    std::vector<uint8_t> dev = fixtures::emptyStream();
    dev.resize(dev.size() - 1);
    writeFile(path("cut.dev"), dev);
    r = runProgram(quoted({path("cut.dev"), path("out.bik")}));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, kBannerAndUsage);
}

}  // namespace
}  // namespace dev
