// dev_pack and dev_inspect as a user runs them, each case in a folder of its
// own: outputs, statuses, messages, and above all what becomes of the files
// that were there before.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/file.h>
#include <sys/stat.h>

#include <csignal>
#endif

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "testkit/bink2_generator.h"
#include "testkit/bink_generator.h"
#include "pack/packer.h"
#include "pack/record_writer.h"
#include "platform/names.h"
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
const Bytes kNothing;

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

class Tools : public testing::Test {
protected:
    fs::path folder(const std::string& name) {
        const fs::path dir = fs::path(DEV_BINARY_DIR) / "tools_test" / name;
        test::removeTree(dir);
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
    for (const std::string& arg : c.args)
        if (arg.compare(0, 5, "/dev/") == 0) return "no /dev on Windows";
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
        {"a device is written into, not replaced", {{"a.bik", &f.bink}}, {"-o", "/dev/null", "a.bik"}, 0, summary,
         {}},
        {"and a device's failure is named with the system's reason", {{"a.bik", &f.bink}},
         {"-o", "/dev/full", "a.bik"}, 1, "dev_pack: /dev/full: No space left on device", {}},
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
        {"-c takes one input: streams one after another restore as one", {{"a.bik", &f.bink}},
         {"-c", "a.bik", "a.bik"}, 1, "-c writes the output of exactly one input", {}, &kNothing},
        {"so does -dc", {{"a.dev", &f.dev}}, {"-dc", "a.dev", "a.dev"}, 1, "exactly one input", {}, &kNothing},
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

// Several files packed at once (-T) give what one after another gives: the
// same outputs, messages in input order, exit status, and a file named twice
// still meets the first one's output.
TEST_F(Tools, PackingOnSeveralThreadsIsPackingInTurn) {
    const Files& f = files();
    Bink2GeneratorOptions g2;
    g2.frames = 5;
    const GeneratedBink2 bink2 = generateBink2File(g2);
    ASSERT_TRUE(bink2.ok) << bink2.error;
    GeneratorOptions g1;
    g1.frames = 6;
    g1.seed = 7;
    const Bytes other = generateBink1(g1);
    const std::vector<std::pair<std::string, const Bytes*>> inputs = {
        {"a.bik", &f.bink}, {"b.bk2", &bink2.bytes}, {"c.bik", &other}, {"cut.bik", &f.cutBink}, {"n.txt", &f.note},
        {"d", &kFolder},    {"e.bik", &f.bink}};
    const std::vector<std::string> names = {"a.bik", "b.bk2", "cut.bik", "n.txt", "d", "c.bik", "a.bik", "e.bik"};
    std::vector<test::ProgramResult> results;
    std::vector<fs::path> dirs;
    for (const char* threads : {"-T1", "-T2", "-T0"}) {
        dirs.push_back(folder(std::string("threads") + threads));
        for (const auto& [name, bytes] : inputs) put(dirs.back() / name, *bytes);
        std::vector<std::string> args = {threads};
        args.insert(args.end(), names.begin(), names.end());
        results.push_back(test::runProgram(DEV_PACK_PATH, args, dirs.back()));
    }
    EXPECT_EQ(results[0].status, 1);
    EXPECT_NE(results[0].err.find("a.bik.dev: File exists"), std::string::npos) << results[0].err;
    EXPECT_TRUE(test::readText(dirs[0] / "b.bk2.dev") == text(packBink(bink2.bytes).dev));
    for (size_t k = 1; k < results.size(); ++k) {
        EXPECT_EQ(results[k].status, results[0].status);
        EXPECT_EQ(results[k].err, results[0].err);
        std::vector<std::string> listed;
        for (const auto& e : fs::directory_iterator(dirs[k])) {
            const std::string name = e.path().filename().string();
            listed.push_back(name);
            if (!fs::is_directory(e.path())) {
                EXPECT_TRUE(test::readText(e.path()) == test::readText(dirs[0] / name)) << name;
            }
        }
        EXPECT_EQ(listed.size(), size_t(std::distance(fs::directory_iterator(dirs[0]), fs::directory_iterator())));
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

// Bink 2 files with video flag 0x40000 pack only with --extended (-x): without
// it dev_pack refuses them, names the option and writes nothing, and
// --records stores them; with it they pack, restore, and the listing and
// dev_inspect say that the stream uses the extension.  Every such file of
// the corpus is refused the same way (packing them is the packer's test).
TEST_F(Tools, ExtendedStreamsOnlyWhenAsked) {
    Bink2GeneratorOptions o;
    o.width = 48;
    o.height = 40;
    o.extended = true;
    const GeneratedBink2 g = generateBink2File(o);
    ASSERT_TRUE(g.ok) << g.error;
    const fs::path dir = folder("extended");
    std::vector<std::string> names = {"e.bk2"};
    put(dir / "e.bk2", g.bytes);
    for (const char* name : {"hsett_BoonSelectOut.bk2", "hsett_Cerberus_HubIdle_Bink.bk2",
                             "hsett_Enemy_Skeleton_Dead_Bink.bk2", "hsett_RemBGHadesIntro.bk2", "olyx_OETitle.bk2"})
        if (fs::exists(fs::path(DEV_CORPUS_DIR) / name)) names.push_back((fs::path(DEV_CORPUS_DIR) / name).string());
    for (const std::string& name : names) {
        const test::ProgramResult r = test::runProgram(DEV_PACK_PATH, {"-o", "refused.dev", name}, dir);
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_NE(r.err.find("(pack with --extended); other unpackers of the format refuse such a stream"),
                  std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir / "refused.dev")) << name;
    }
    test::ProgramResult r = test::runProgram(DEV_PACK_PATH, {"--records", "e.bk2", "stored.rec"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("records 1 coded 0 stored 1"), std::string::npos) << r.err;

    r = test::runProgram(DEV_PACK_PATH, {"-x", "e.bk2"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    r = test::runProgram(DEV_PACK_PATH, {"--records", "--extended", "e.bk2", "coded.rec"}, dir);
    EXPECT_NE(r.err.find("records 1 coded 1 stored 0"), std::string::npos) << r.err;
    r = test::runProgram(DEV_PACK_PATH, {"-lv", "e.bk2.dev", "coded.rec"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("KB2j extended e.bk2.dev"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("records 1 extended"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("coded, KB2j extended,"), std::string::npos) << r.out;
    r = test::runProgram(DEV_INSPECT_PATH, {"e.bk2.dev"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("extended: video flag 0x00040000"), std::string::npos) << r.out;
    fs::rename(dir / "e.bk2", dir / "original.bk2");
    r = test::runProgram(DEV_PACK_PATH, {"-d", "e.bk2.dev"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readBytes(dir / "e.bk2") == g.bytes);
}

// Standard output that is closed, full or without a reader, where the data
// or the report goes: an error (status 1) naming (stdout) and, where the
// system has one, its reason; never a success that wrote nothing.
TEST_F(Tools, ClosedOrFullStandardOutputFails) {
    const Files& f = files();
    const fs::path dir = folder("stdout");
    put(dir / "a.bik", f.bink);
    put(dir / "a.dev", f.dev);
    struct Case {
        const char* program;
        std::vector<std::string> args;
        test::Stdout out;
        std::string outputFile;
        std::string err;
    };
    const std::vector<Case> cases = {
        {DEV_PACK_PATH, {"-c", "a.bik"}, test::Stdout::Closed, "", "dev_pack: (stdout): standard output is closed"},
        {DEV_PACK_PATH, {"-dc", "a.dev"}, test::Stdout::Closed, "", "dev_pack: (stdout): standard output is closed"},
        {DEV_PACK_PATH, {"-l", "a.dev"}, test::Stdout::Closed, "", "dev_pack: (stdout): standard output is closed"},
        {DEV_INSPECT_PATH, {"a.dev"}, test::Stdout::Closed, "", "dev_inspect: (stdout): standard output is closed"},
        {DEV_PACK_PATH, {"-c", "a.bik"}, test::Stdout::BrokenPipe, "", "dev_pack: (stdout): "},
        {DEV_INSPECT_PATH, {"a.dev"}, test::Stdout::BrokenPipe, "", "dev_inspect: (stdout): "},
#if !defined(_WIN32)
        {DEV_PACK_PATH, {"-c", "a.bik"}, test::Stdout::File, "/dev/full", "dev_pack: (stdout): No space left on device"},
        {DEV_PACK_PATH, {"-dc", "a.dev"}, test::Stdout::File, "/dev/full", "dev_pack: (stdout): No space left"},
        {DEV_INSPECT_PATH, {"a.dev"}, test::Stdout::File, "/dev/full", "dev_inspect: (stdout): No space left"},
#endif
    };
    for (const Case& c : cases) {
        test::ProgramStreams streams;
        streams.out = c.out;
        streams.outputFile = c.outputFile;
        const test::ProgramResult r = test::runProgram(c.program, c.args, dir, streams);
        EXPECT_EQ(r.status, 1) << c.args[0] << " " << int(c.out) << "\n" << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args[0] << " " << int(c.out) << "\n" << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "a"));
}

// --streams into a folder removes only what an earlier dump wrote there, as
// its manifest names it: never a file of the user's that looks like a dump
// file, never one that already holds a name the dump writes (even with
// --force), never the input.
TEST_F(Tools, DevInspectStreamsFolder) {
    const Files& f = files();
    const fs::path dir = folder("streams");
    put(dir / "a.dev", f.dev);
    put(dir / "dump", kFolder);
    put(dir / "dump" / "mine.txt", f.note);
    put(dir / "dump" / "s99.bin", f.precious);
    put(dir / "dump" / "lengths.tsv", f.precious);
    const auto untouched = [&](const char* what) {
        EXPECT_TRUE(test::readText(dir / "dump" / "mine.txt") == text(f.note)) << what;
        EXPECT_TRUE(test::readText(dir / "dump" / "s99.bin") == text(f.precious)) << what;
        EXPECT_TRUE(test::readText(dir / "dump" / "lengths.tsv") == text(f.precious)) << what;
    };

    test::ProgramResult r = test::runProgram(DEV_INSPECT_PATH, {"--streams", "a.dev", "dump"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("holds other files"), std::string::npos) << r.err;
    untouched("refused");
    r = test::runProgram(DEV_INSPECT_PATH, {"--streams", "--force", "a.dev", "dump"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("lengths.tsv: File exists"), std::string::npos) << r.err;
    untouched("--force");
    fs::remove(dir / "dump" / "lengths.tsv");
    r = test::runProgram(DEV_INSPECT_PATH, {"--streams", "--force", "a.dev", "dump"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(test::readText(dir / "dump" / "s99.bin") == text(f.precious));
    const std::string lengths = test::readText(dir / "dump" / "lengths.tsv");
    EXPECT_EQ(lengths.compare(0, 4, "0\t1\t"), 0) << lengths;

    // A folder holding only an earlier dump is reused without --force, and
    // the second dump is the first one again.
    r = test::runProgram(DEV_INSPECT_PATH, {"--streams", "a.dev", "fresh"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string first = test::readText(dir / "fresh" / "s01.bin");
    EXPECT_FALSE(first.empty());
    r = test::runProgram(DEV_INSPECT_PATH, {"--streams", "a.dev", "fresh"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::readText(dir / "fresh" / "s01.bin"), first);
    EXPECT_EQ(test::readText(dir / "fresh" / "lengths.tsv"), lengths);

    // The input is never removed, even where an earlier dump's file was.
    fs::remove(dir / "fresh" / "s01.bin");
    put(dir / "fresh" / "s01.bin", f.dev);
    r = test::runProgram(DEV_INSPECT_PATH, {"--streams", "fresh/s01.bin", "fresh"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is the input file"), std::string::npos) << r.err;
    EXPECT_TRUE(test::readText(dir / "fresh" / "s01.bin") == text(f.dev));
}

// Names in any script and at any length, as a user writes them: dev_pack
// packs and restores them, never confusing a name with one a narrower
// character set spells alike ("vid\u0113o" with "video"), replaces a
// read-only target only with -f (on Windows a hidden and system one too,
// which keeps those two attributes), and names them as given; dev_inspect
// reads them and dumps into a folder so named; a path past Windows' old limit
// of 260 characters packs and restores.
TEST_F(Tools, NamesInAnyScriptAndLongPaths) {
    const Files& f = files();
    const fs::path dir = folder("names");
    const auto at = [&](const std::string& name) { return dir / platform::pathOf(name); };
    put(at("кино.bik"), f.bink);
    test::ProgramResult r = test::runProgram(DEV_PACK_PATH, {"-q", "кино.bik"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(test::readText(at("кино.bik.dev")) == text(f.dev));
    fs::rename(at("кино.bik.dev"), at("vidēo.dev"));
    put(at("video"), f.precious);
    put(at("vidēo"), f.precious);
    fs::permissions(at("vidēo"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
#if defined(_WIN32)
    const DWORD hidden = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    ASSERT_TRUE(SetFileAttributesW(at("vidēo").c_str(), hidden | FILE_ATTRIBUTE_READONLY));
#endif
    r = test::runProgram(DEV_PACK_PATH, {"-d", "vidēo.dev"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dev_pack: vidēo: File exists\n");
    EXPECT_TRUE(test::readText(at("vidēo")) == text(f.precious));
    r = test::runProgram(DEV_PACK_PATH, {"-df", "vidēo.dev"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(test::readText(at("vidēo")) == text(f.bink));
    EXPECT_TRUE(test::readText(at("video")) == text(f.precious));
#if defined(_WIN32)
    EXPECT_EQ(GetFileAttributesW(at("vidēo").c_str()) & (hidden | FILE_ATTRIBUTE_READONLY), hidden);
#endif
    r = test::runProgram(DEV_PACK_PATH, {"нет.bik"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("dev_pack: нет.bik: ", 0), 0u) << r.err;

    r = test::runProgram(DEV_INSPECT_PATH, {"vidēo.dev"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("DEV stream"), std::string::npos) << r.out;
    r = test::runProgram(DEV_INSPECT_PATH, {"--streams", "vidēo.dev", "ダンプ"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(test::readText(at("ダンプ") / "s01.bin").empty());
    r = test::runProgram(DEV_INSPECT_PATH, {"нет.dev"}, dir);
    EXPECT_EQ(r.err.rfind("dev_inspect: нет.dev: ", 0), 0u) << r.err;

    std::string relative;
    const fs::path deep = test::deepFolder(dir, relative);
    put(test::anyLength(deep / "a.bik"), f.bink);
    r = test::runProgram(DEV_PACK_PATH, {"-q", relative + "a.bik"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    r = test::runProgram(DEV_PACK_PATH, {"-dfq", relative + "a.bik.dev"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(test::readText(test::anyLength(deep / "a.bik")) == text(f.bink));
    EXPECT_TRUE(test::readText(test::anyLength(deep / "a.bik.dev")) == text(f.dev));
    test::removeTree(dir / std::string(100, 'a'));
}

#if !defined(_WIN32)

bool waitFor(const fs::path& p) {
    for (int wait = 0; wait < 5000 && !fs::exists(p); ++wait) ::usleep(1000);
    return fs::exists(p);
}

// Temporaries never outlive their run: an interrupt (INT, TERM, HUP) removes
// it and leaves the earlier output; one a killed run left behind is reused
// by the next run, never one another run still holds, nor a file of the
// user's at such a name.
TEST_F(Tools, InterruptedAndKilledRunsLeaveNoTemporaries) {
    if (test::kUnderEmulator) GTEST_SKIP() << "signals reach the emulator, not the program";
    const Files& f = files();
    const fs::path dir = folder("signals");
    const std::string fifo = (dir / "in").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    put(dir / "a.bik", f.bink);
    put(dir / "out.dev", f.precious);
    const size_t half = f.bink.size() / 2;
    const std::vector<std::string> args = {"-f", "-o", "out.dev", "in"};
    const fs::path held = dir / "out.dev.partial";
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        const pid_t child = test::startHeld(DEV_PACK_PATH, args, dir);
        ASSERT_GT(child, 0);
        const int writer = ::open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(writer, 0);
        EXPECT_EQ(::write(writer, f.bink.data(), half), ssize_t(half));
        EXPECT_TRUE(waitFor(held)) << signal;
        ::kill(child, signal);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(writer);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal;
        EXPECT_TRUE(test::readText(dir / "out.dev") == text(f.precious)) << signal;
        EXPECT_EQ(fs::exists(held), signal == SIGKILL) << signal;  // nothing can clean up after KILL
    }
    // Files packed at once each hold a temporary; an interrupt removes them all.
    const std::string fifo2 = (dir / "in2").string();
    ASSERT_EQ(::mkfifo(fifo2.c_str(), 0600), 0);
    {
        const pid_t child = test::startHeld(DEV_PACK_PATH, {"-T2", "in", "in2"}, dir);
        ASSERT_GT(child, 0);
        std::vector<int> writers;
        for (const std::string& name : {fifo, fifo2}) {
            writers.push_back(::open(name.c_str(), O_WRONLY));
            ASSERT_GE(writers.back(), 0);
            EXPECT_EQ(::write(writers.back(), f.bink.data(), half), ssize_t(half));
        }
        EXPECT_TRUE(waitFor(dir / "in.dev.partial") && waitFor(dir / "in2.dev.partial"));
        ::kill(child, SIGINT);
        int status = 0;
        ::waitpid(child, &status, 0);
        for (int w : writers) ::close(w);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
        EXPECT_FALSE(fs::exists(dir / "in.dev.partial") || fs::exists(dir / "in2.dev.partial"));
        fs::remove(fifo2);
    }
    put(dir / "out.dev.partial-1", f.precious);  // the user's own file at a temporary's name

    // The next run takes the killed run's temporary; while it holds it, a
    // second run writes beside it under another name.
    const pid_t first = test::startHeld(DEV_PACK_PATH, args, dir);
    ASSERT_GT(first, 0);
    const int writer = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(::write(writer, f.bink.data(), half), ssize_t(half));
    // Held: its lock cannot be had (flock, as the programs take it).
    const auto isHeld = [&] {
        const int fd = ::open(held.c_str(), O_RDONLY);
        const bool locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        if (fd >= 0) ::close(fd);
        return locked;
    };
    for (int wait = 0; wait < 5000 && !isHeld(); ++wait) ::usleep(1000);
    EXPECT_TRUE(isHeld());
    const test::ProgramResult second = test::runProgram(DEV_PACK_PATH, {"-qf", "-o", "out.dev", "a.bik"}, dir);
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_TRUE(test::readText(dir / "out.dev") == text(f.dev));
    EXPECT_TRUE(fs::exists(held));
    EXPECT_EQ(::write(writer, f.bink.data() + half, f.bink.size() - half), ssize_t(f.bink.size() - half));
    ::close(writer);
    int status = 0;
    ::waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(test::readText(dir / "out.dev") == text(f.dev));
    EXPECT_TRUE(test::readText(dir / "out.dev.partial-1") == text(f.precious));
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.bik", "in", "out.dev", "out.dev.partial-1"}));
}

// The output takes the input's mode, modification time and (for a user who
// may give files away) owner, packing and restoring; a name as long as the
// system allows packs and restores (its temporary name is cut short).
TEST_F(Tools, OutputsKeepTheInputsModeTimeAndOwnerAndLongNames) {
    const Files& f = files();
    const fs::path dir = folder("metadata");
    put(dir / "a.bik", f.bink);
    ::chmod((dir / "a.bik").c_str(), 0640);
    const auto time = fs::last_write_time(dir / "a.bik") - std::chrono::hours(24 * 400);
    fs::last_write_time(dir / "a.bik", time);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown((dir / "a.bik").c_str(), 4321, 4322), 0);
    }
    test::ProgramResult r = test::runProgram(DEV_PACK_PATH, {"-q", "a.bik"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    fs::rename(dir / "a.bik.dev", dir / "b.dev");
    r = test::runProgram(DEV_PACK_PATH, {"-d", "b.dev"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* name : {"b.dev", "b"}) {
        struct stat st;
        ASSERT_EQ(::stat((dir / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
        EXPECT_TRUE(fs::last_write_time(dir / name) == time) << name;
        if (root) {
            EXPECT_TRUE(st.st_uid == 4321 && st.st_gid == 4322) << name;
        }
    }
    EXPECT_TRUE(test::readText(dir / "b") == text(f.bink));

    const std::string longName = std::string(246, 'n') + ".bik";  // 250, and 254 with .dev
    put(dir / longName, f.bink);
    r = test::runProgram(DEV_PACK_PATH, {"-q", longName}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    r = test::runProgram(DEV_PACK_PATH, {"-df", longName + ".dev"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(test::readText(dir / longName) == text(f.bink));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 5);  // no temporary left
}
#endif

}  // namespace
}  // namespace dev
