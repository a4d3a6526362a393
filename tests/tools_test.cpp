// dev_pack and dev_inspect as a user runs them, each case in a folder of its
// own: outputs, statuses, messages, and above all what becomes of the files
// that were there before.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "testkit/bink_generator.h"
#include "pack/packer.h"
#include "pack/record_writer.h"
#include "run_program.h"
#include "tests/corpus.h"
#include "tools/stream_layout.h"

namespace dev {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Small files made once: a generated Bink file, its DEV stream, a record
// stream carrying it and a note, and damaged copies.
struct Files {
    Bytes bink, dev, records, note, precious, cutBink, cutDev, cutRecords, restoredRecords;
    Files() {
        GeneratorOptions g;
        g.frames = 4;
        g.audio.push_back(GeneratorAudioTrack());
        bink = generateBink1(g);
        dev = packBink(bink).dev;
        const std::string text = "a note, stored as it stands\n";
        note.assign(text.begin(), text.end());
        records = buildRecordStream({{"a.bik", bink}, {"n.txt", note}}, nullptr);
        precious.assign(100, 'p');
        cutBink.assign(bink.begin(), bink.end() - 10);
        cutDev.assign(dev.begin(), dev.end() - 30);
        cutRecords.assign(records.begin(), records.end() - 5);
        restoredRecords = bink;
        restoredRecords.insert(restoredRecords.end(), note.begin(), note.end());
    }
};

const Files& files() {
    static const Files f;
    return f;
}

// Stand-ins in the tables: a folder and a named pipe instead of a file.
const Bytes kFolder{'/'};
const Bytes kFifo{'|'};

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

class Tools : public testing::Test {
protected:
    fs::path folder(const std::string& name) {
        const fs::path dir = fs::path(DEV_BINARY_DIR) / "tools_test" / name;
        fs::remove_all(dir);
        fs::create_directories(dir);
        return dir;
    }
    static void put(const fs::path& p, const Bytes& b) {
        if (&b == &kFolder) {
            fs::create_directory(p);
        } else if (&b == &kFifo) {
#if !defined(_WIN32)
            ::mkfifo(p.c_str(), 0644);
#endif
        } else {
            writeBytes(p, b);
        }
    }
};

struct PackCase {
    const char* what;
    std::vector<std::pair<std::string, const Bytes*>> before;
    std::vector<std::string> args;
    int status;
    std::string err;  // a part of standard error; empty: nothing at all on it
    // Files afterwards; nullptr: absent.
    std::vector<std::pair<std::string, const Bytes*>> after;
    const Bytes* out = nullptr;  // standard output, exactly
    std::string outHas;          // a part of standard output
    std::string input;           // standard input from this file; empty: the null device
    std::string outputFile;      // standard output to this file instead
    test::Stdout stdoutTo = test::Stdout::Capture;  // or to no reader at all
};

// Why a case cannot run on this system; nullptr when it can.
const char* unsupportedHere(const PackCase& c) {
#if defined(_WIN32)
    for (const auto& [name, bytes] : c.before)
        if (bytes == &kFifo) return "no named pipes on Windows";
    if (c.outputFile == "/dev/full") return "no /dev/full on Windows";
#else
    (void)c;
#endif
    return nullptr;
}

TEST_F(Tools, DevPackCommandLine) {
    const Files& f = files();
    ASSERT_FALSE(f.bink.empty());
    ASSERT_FALSE(f.dev.empty());
    const std::string summary = "a.bik: frames 4 coded 4 stored 0 bink " + std::to_string(f.bink.size()) + " dev " +
                                std::to_string(f.dev.size()) + "\n";
    // Where the cut in cutDev falls: the driver names that frame and stage.
    DevLayout layout;
    ASSERT_TRUE(readDevLayout(f.dev, layout).ok());
    std::string cutAt;
    uint64_t pos = layout.streamBytes - layout.chunkBytes;
    for (size_t c = 0; c < layout.cycles.size() && cutAt.empty(); ++c)
        for (size_t s = 0; s < layout.cycles[c].size() && cutAt.empty(); ++s)
            if ((pos += std::max(layout.cycles[c][s], 0)) > f.cutDev.size())
                cutAt = "frame " + std::to_string(c) + ", stage " + std::to_string(s) + ": the stream ends inside";

    const Bytes* none = nullptr;
    const std::vector<PackCase> cases = {
        {"packs FILE to FILE.dev and keeps FILE", {{"a.bik", &f.bink}}, {"a.bik"}, 0, summary,
         {{"a.bik", &f.bink}, {"a.bik.dev", &f.dev}}},
        {"-k is accepted; -q silences the summary", {{"a.bik", &f.bink}}, {"-kq", "a.bik"}, 0, "",
         {{"a.bik.dev", &f.dev}}},
        {"an existing output stays without -f", {{"a.bik", &f.bink}, {"a.bik.dev", &f.precious}}, {"a.bik"}, 1,
         "dev_pack: a.bik.dev: File exists", {{"a.bik.dev", &f.precious}}},
        {"-f replaces it", {{"a.bik", &f.bink}, {"a.bik.dev", &f.precious}}, {"-f", "a.bik"}, 0, summary,
         {{"a.bik.dev", &f.dev}}},
        {"never the input, even with -f", {{"a.bik", &f.bink}}, {"-f", "-o", "a.bik", "a.bik"}, 1,
         "a.bik: is the input file itself", {{"a.bik", &f.bink}}},
        {"a named pipe is never replaced", {{"a.bik", &f.bink}, {"p", &kFifo}}, {"-f", "-o", "p", "a.bik"}, 1,
         "p: exists and is not a regular file", {}},
        {"a folder is skipped with a warning", {{"d", &kFolder}}, {"d"}, 2, "dev_pack: d: Is a directory, skipping",
         {}},
        {"a .dev file is not packed again", {{"a.dev", &f.dev}}, {"a.dev"}, 2, "already has the .dev suffix",
         {{"a.dev.dev", none}}},
        {"an error outranks a warning; nothing is written for it", {{"d", &kFolder}, {"n.txt", &f.note}},
         {"d", "n.txt"}, 1, "dev_pack: n.txt: not a Bink file", {{"n.txt.dev", none}}},
        {"a damaged Bink file leaves the earlier output", {{"a.bik", &f.cutBink}, {"a.bik.dev", &f.precious}},
         {"-f", "a.bik"}, 1, "dev_pack: a.bik: frame 3", {{"a.bik.dev", &f.precious}}},
        {"-c writes the stream to standard output", {{"a.bik", &f.bink}}, {"-c", "a.bik"}, 0, summary,
         {{"a.bik.dev", none}}, &f.dev},
        {"a failed write to standard output is an error", {{"a.bik", &f.bink}}, {"-c", "a.bik"}, 1,
         "dev_pack: (stdout): cannot be written", {}, nullptr, "", "", "/dev/full"},
        {"so is standard output without a reader", {{"a.bik", &f.bink}}, {"-c", "a.bik"}, 1,
         "dev_pack: (stdout): cannot be written", {}, nullptr, "", "", "", test::Stdout::BrokenPipe},
        {"-d restores NAME.dev to NAME", {{"a.bik.dev", &f.dev}}, {"-d", "a.bik.dev"}, 0, "",
         {{"a.bik", &f.bink}, {"a.bik.dev", &f.dev}}},
        {"-d keeps an existing file without -f", {{"a.bik.dev", &f.dev}, {"a.bik", &f.precious}},
         {"-d", "a.bik.dev"}, 1, "dev_pack: a.bik: File exists", {{"a.bik", &f.precious}}},
        {"a failed restore leaves the earlier file", {{"a.bik.dev", &f.cutDev}, {"a.bik", &f.precious}},
         {"-df", "a.bik.dev"}, 1, "dev_pack: a.bik.dev: " + cutAt, {{"a.bik", &f.precious}}},
        {"-d skips a name without .dev", {{"a.bik", &f.bink}}, {"-d", "a.bik"}, 2, "unknown suffix", {}},
        {"-d -o names the output", {{"s.dev", &f.dev}}, {"-d", "-o", "out.bik", "s.dev"}, 0, "",
         {{"out.bik", &f.bink}}},
        {"- reads standard input, writes standard output", {}, {"-d", "-"}, 0, "", {}, &f.bink, "", "../in.dev"},
        {"-d restores a record stream to its bytes", {{"r.rec", &f.records}}, {"-d", "--output=r.out", "r.rec"}, 0,
         "", {{"r.out", &f.restoredRecords}}},
        {"-t checks DEV and record streams, writes nothing", {{"a.dev", &f.dev}, {"r.rec", &f.records}},
         {"-t", "a.dev", "r.rec"}, 0, "", {{"a", none}}},
        {"-t names the frame and stage of a failure", {{"cut.dev", &f.cutDev}}, {"-t", "cut.dev"}, 1,
         "dev_pack: cut.dev: " + cutAt, {}},
        {"-t names the record of a failure", {{"cut.rec", &f.cutRecords}}, {"-t", "cut.rec"}, 1,
         "dev_pack: cut.rec: record 1: the stream ends early", {}},
        {"-l lists streams and a total", {{"a.dev", &f.dev}, {"r.rec", &f.records}}, {"-l", "a.dev", "r.rec"}, 0, "",
         {}, nullptr, "records 2"},
        {"-l -v lists every record", {{"r.rec", &f.records}}, {"-lv", "r.rec"}, 0, "", {}, nullptr,
         "record 1 at"},
        {"-l refuses a damaged stream", {{"cut.rec", &f.cutRecords}}, {"-l", "cut.rec"}, 1,
         "dev_pack: cut.rec: damaged: record 1", {}},
        {"--records builds a record stream", {{"a.bik", &f.bink}, {"n.txt", &f.note}},
         {"--records", "a.bik", "n.txt", "r.rec"}, 0, "records 2 coded 1 stored 1", {{"r.rec", &f.records}}},
        {"--records never writes over an input", {{"a.bik", &f.bink}, {"n.txt", &f.note}},
         {"--records", "-f", "a.bik", "n.txt", "a.bik"}, 1, "dev_pack: a.bik: is one of the inputs",
         {{"a.bik", &f.bink}}},
        {"-h shows the help on standard output", {}, {"-h"}, 0, "", {}, nullptr, "Usage: dev_pack [OPTION]..."},
        {"-V shows the version", {}, {"--version"}, 0, "", {}, nullptr, std::string("dev_pack ") + DEV_VERSION},
        {"an unknown option is a usage error", {}, {"--bogus"}, 1, "unknown option '--bogus'", {}},
        {"-o names the output of one input only", {{"a.bik", &f.bink}}, {"-o", "x", "a.bik", "a.bik"}, 1,
         "exactly one input", {{"x", none}}},
    };
    int n = 0;
    for (const PackCase& c : cases) {
        const fs::path dir = folder("pack" + std::to_string(n++));
        if (const char* reason = unsupportedHere(c)) {
            std::printf("skipped: %s (%s)\n", c.what, reason);
            continue;
        }
        put(dir.parent_path() / "in.dev", f.dev);
        for (const auto& [name, bytes] : c.before) put(dir / name, *bytes);
        test::ProgramStreams streams;
        streams.inputFile = c.input;
        streams.out = c.stdoutTo;
        if (!c.outputFile.empty()) {
            streams.out = test::Stdout::File;
            streams.outputFile = c.outputFile;
        }
        const test::ProgramResult r = test::runProgram(DEV_PACK_PATH, c.args, dir, streams);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.err;
        if (c.err.empty())
            EXPECT_EQ(r.err, "") << c.what;
        else
            EXPECT_NE(r.err.find(c.err), std::string::npos) << c.what << "\n" << r.err;
        if (c.out) {
            EXPECT_TRUE(r.out == text(*c.out)) << c.what;
        }
        if (!c.outHas.empty()) {
            EXPECT_NE(r.out.find(c.outHas), std::string::npos) << c.what << "\n" << r.out;
        }
        for (const auto& [name, bytes] : c.after) {
            if (!bytes)
                EXPECT_FALSE(fs::exists(dir / name)) << c.what << ": " << name;
            else
                EXPECT_TRUE(test::readText(dir / name) == text(*bytes)) << c.what << ": " << name;
        }
        // No temporary file is ever left behind.
        for (const auto& e : fs::directory_iterator(dir))
            EXPECT_EQ(e.path().string().find(".partial"), std::string::npos) << c.what << ": " << e.path();
    }
}

// dev_inspect on anything: never a crash, a status that says whether the
// stream is sound (0), damaged or unreadable (1) or passed over a defect (2).
TEST_F(Tools, DevInspectOnAnyInput) {
    const Files& f = files();
    Bytes trailing = f.dev;
    trailing.push_back(0);
    const Bytes empty;
    const Bytes garbage(1000, 0xA5);
    const std::vector<std::tuple<std::string, const Bytes*, int>> cases = {
        {"folder", &kFolder, 1},        {"empty", &empty, 1},           {"garbage", &garbage, 1},
        {"a.dev", &f.dev, 0},           {"trailing.dev", &trailing, 2}, {"cut.dev", &f.cutDev, 1},
        {"r.rec", &f.records, 0},       {"cut.rec", &f.cutRecords, 1},  {"a.bik", &f.bink, 0},
        {"cut.bik", &f.cutBink, 1},
    };
    const fs::path dir = folder("inspect");
    for (const auto& [name, bytes, status] : cases) {
        put(dir / name, *bytes);
        const test::ProgramResult r = test::runProgram(DEV_INSPECT_PATH, {name}, dir);
        EXPECT_EQ(r.status, status) << name << "\n" << r.err;
    }
    EXPECT_EQ(test::runProgram(DEV_INSPECT_PATH, {"missing"}, dir).status, 1);

    // The framing walk itself, on every cut and on damaged framing bytes:
    // no cut passes for sound, no damage reads out of bounds (sanitizers).
    for (size_t n = 0; n < f.dev.size(); n += n < 300 ? 1 : 97) {
        DevLayout layout;
        EXPECT_FALSE(readDevLayout(std::span(f.dev).first(n), layout).ok()) << n;
    }
    for (size_t n = 0; n < f.records.size(); n += n < 300 ? 1 : 97) {
        RecordLayout layout;
        EXPECT_FALSE(readRecordLayout(std::span(f.records).first(n), layout).ok()) << n;
    }
    for (size_t i = 4; i < 120 && i < f.dev.size(); ++i) {
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            Bytes damaged = f.dev;
            damaged[i] ^= flip;
            DevLayout layout;
            if (readDevLayout(damaged, layout).ok()) {
                EXPECT_LE(layout.streamBytes, damaged.size()) << i;
            }
        }
    }
}

// --streams into a folder: one holding other files is refused unless told;
// the dump never mixes with an earlier one, and leaves other files alone.
TEST_F(Tools, DevInspectStreamsFolder) {
    const Files& f = files();
    const fs::path dir = folder("streams");
    put(dir / "a.dev", f.dev);
    put(dir / "dump", kFolder);
    put(dir / "dump" / "mine.txt", f.note);
    put(dir / "dump" / "s99.bin", f.precious);  // a dump file no stream of ours writes

    test::ProgramResult r = test::runProgram(DEV_INSPECT_PATH, {"--streams", "a.dev", "dump"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("holds other files"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "dump" / "lengths.tsv"));

    r = test::runProgram(DEV_INSPECT_PATH, {"--streams", "--force", "a.dev", "dump"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(test::readText(dir / "dump" / "mine.txt") == text(f.note));
    EXPECT_FALSE(fs::exists(dir / "dump" / "s99.bin"));
    EXPECT_TRUE(fs::exists(dir / "dump" / "lengths.tsv"));

    // A folder holding only an earlier dump is reused without --force.
    r = test::runProgram(DEV_INSPECT_PATH, {"--streams", "a.dev", "fresh"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    r = test::runProgram(DEV_INSPECT_PATH, {"--streams", "a.dev", "fresh"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
}  // namespace dev
