// A test host for the plug-in: loads the shared library (LoadLibraryA on
// Windows, dlopen elsewhere; a static build links the plug-in's code in),
// resolves ClsMain and feeds record streams from memory through its callback.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testkit/bink_generator.h"
#include "writers/bink_container.h"
#include "pack/packer.h"
#include "pack/record_writer.h"
#include "platform/exports.h"
#include "tests/corpus.h"

namespace {

// The C calling convention on both sides, also on 32-bit Windows.
using HostCallback = int32_t(DEV_CDECL*)(void*, int32_t, void*, int32_t);
using ClsMainFn = int32_t(DEV_CDECL*)(int32_t, HostCallback, void*);

#if defined(DEV_PLUGIN_LINKED)
extern "C" int32_t DEV_CDECL ClsMain(int32_t, HostCallback, void*);
#endif

struct TestHost {
    std::vector<uint8_t> input;
    size_t position = 0;
    std::vector<uint8_t> output;
    size_t splitAbove = std::numeric_limits<size_t>::max();  // deliver larger reads in two pieces
    int failWritesFrom = -1;     // write calls from this index on answer -1
    int readCalls = 0;
    int writeCalls = 0;
    int otherCalls = 0;

    static int32_t DEV_CDECL callback(void* user, int32_t operation, void* buffer, int32_t count) {
        auto* host = static_cast<TestHost*>(user);
        if (operation == 4096) return host->read(buffer, count);
        if (operation == 6144) return host->write(buffer, count);
        ++host->otherCalls;
        return -1;
    }
    int32_t read(void* buffer, int32_t count) {
        ++readCalls;
        size_t n = std::min<size_t>(static_cast<size_t>(count), input.size() - position);
        if (n > splitAbove) n /= 2;
        std::memcpy(buffer, input.data() + position, n);
        position += n;
        return static_cast<int32_t>(n);
    }
    int32_t write(const void* buffer, int32_t count) {
        const int index = writeCalls++;
        const auto* p = static_cast<const uint8_t*>(buffer);
        output.insert(output.end(), p, p + count);
        return (failWritesFrom >= 0 && index >= failWritesFrom) ? -1 : count;
    }
};

class Plugin : public ::testing::Test {
protected:
#if defined(DEV_PLUGIN_LINKED)
    static void SetUpTestSuite() { clsMain_ = &ClsMain; }
    static void TearDownTestSuite() {}
#elif defined(_WIN32)
    static void SetUpTestSuite() {
        handle_ = LoadLibraryA(DEV_PLUGIN_PATH);
        ASSERT_NE(handle_, nullptr) << "LoadLibraryA failed: " << GetLastError();
        clsMain_ = reinterpret_cast<ClsMainFn>(reinterpret_cast<void*>(GetProcAddress(handle_, "ClsMain")));
        ASSERT_NE(clsMain_, nullptr);
    }
    static void TearDownTestSuite() {
        if (handle_) FreeLibrary(handle_);
        handle_ = nullptr;
    }
    static HMODULE handle_;
#else
    static void SetUpTestSuite() {
        handle_ = dlopen(DEV_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        clsMain_ = reinterpret_cast<ClsMainFn>(dlsym(handle_, "ClsMain"));
        ASSERT_NE(clsMain_, nullptr);
    }
    static void TearDownTestSuite() {
        if (handle_) dlclose(handle_);
        handle_ = nullptr;
    }
    static void* handle_;
#endif
    static int32_t decompress(TestHost& host) { return clsMain_(4, &TestHost::callback, &host); }

    static ClsMainFn clsMain_;
};
#if defined(_WIN32) && !defined(DEV_PLUGIN_LINKED)
HMODULE Plugin::handle_ = nullptr;
#elif !defined(DEV_PLUGIN_LINKED)
void* Plugin::handle_ = nullptr;
#endif
ClsMainFn Plugin::clsMain_ = nullptr;

std::vector<uint8_t> magic() { return {'D', 'E', 'V', 0x02}; }

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    std::mt19937 rng(seed);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// A Bink 1 file of no frames: header, no tracks, one frame index word.
std::vector<uint8_t> emptyBink(uint32_t width, uint32_t height) {
    using namespace dev;
    BinkHeaderFields fields;  // "BIKi", 30 frames a second
    fields.width = width;
    fields.height = height;
    std::vector<uint8_t> f(BinkHeader::kLongLength);
    f.resize(writeBinkHeader(fields, f.data()));
    const uint32_t size = static_cast<uint32_t>(f.size() + BinkFrameIndex::bytes(0));
    appendLe32(f, size);
    storeLe32(f.data() + BinkHeader::kFileSize, size - BinkHeader::kFileSizeFrom);
    return f;
}

// A coded record's DEV stream for a file, or an empty vector when the packer
// cannot pack it yet.
std::vector<uint8_t> devFor(const std::vector<uint8_t>& bink) {
    dev::PackResult r = dev::packBink(bink);
    return r.status.ok() ? r.dev : std::vector<uint8_t>();
}

TEST_F(Plugin, OperationsOtherThanDecompress) {
    TestHost host;
    EXPECT_EQ(clsMain_(1, &TestHost::callback, &host), 0);
    EXPECT_EQ(clsMain_(2, &TestHost::callback, &host), 0);
    EXPECT_EQ(clsMain_(3, &TestHost::callback, &host), -6);
    EXPECT_EQ(clsMain_(5, &TestHost::callback, &host), -2);
    EXPECT_EQ(clsMain_(-1, &TestHost::callback, &host), -2);
    EXPECT_EQ(host.readCalls + host.writeCalls + host.otherCalls, 0);
}

TEST_F(Plugin, MagicAndEndRecords) {
    TestHost host;
    host.input = {'D', 'E', 'V', 0x01, 3};
    EXPECT_EQ(decompress(host), -8);
    host = TestHost();
    host.input = {'D', 'E', 'V'};
    EXPECT_EQ(decompress(host), -8);
    for (uint8_t end : {uint8_t(0x03), uint8_t(0xFF)}) {
        host = TestHost();
        host.input = magic();
        host.input.push_back(end);
        EXPECT_EQ(decompress(host), 0);
        EXPECT_TRUE(host.output.empty());
    }
}

TEST_F(Plugin, StoredBlocksCopyThrough) {
    const std::vector<uint8_t> data = pattern(0x400000 + 70000, 7);
    for (size_t length : {size_t(0), size_t(1), size_t(65536), size_t(65537), size_t(200000), size_t(0x3FFFFF),
                          size_t(0x400000), data.size()}) {
        TestHost host;
        host.input = magic();
        dev::appendStoredRecords(host.input, std::span<const uint8_t>(data.data(), length));
        host.input.push_back(3);
        ASSERT_EQ(decompress(host), 0) << length;
        EXPECT_EQ(host.output, std::vector<uint8_t>(data.begin(), data.begin() + length)) << length;
    }
    // Tags 0xFC (full block) and 0xFD with 0xFF 0xFF (short, 4,194,303 bytes):
    // the upper six bits of a tag carry length bits or are ignored.
    TestHost host;
    host.input = magic();
    host.input.push_back(0xFC);
    host.input.insert(host.input.end(), data.begin(), data.begin() + 0x400000);
    host.input.insert(host.input.end(), {0xFD, 0xFF, 0xFF});
    host.input.insert(host.input.end(), data.begin(), data.begin() + 0x3FFFFF);
    host.input.insert(host.input.end(), {0x01, 0x00, 0x00});  // empty short block
    host.input.push_back(0xFF);
    ASSERT_EQ(decompress(host), 0);
    std::vector<uint8_t> expected(data.begin(), data.begin() + 0x400000);
    expected.insert(expected.end(), data.begin(), data.begin() + 0x3FFFFF);
    EXPECT_EQ(host.output, expected);
}

TEST_F(Plugin, StoredBlockFromAHostThatAnswersInPieces) {
    // Stored bytes are copied by what each read delivers, so nothing is lost.
    const std::vector<uint8_t> data = pattern(150000, 3);
    TestHost host;
    host.input = magic();
    dev::appendStoredRecords(host.input, data);
    host.input.push_back(3);
    host.splitAbove = 4;  // magic, tags and lengths whole, block transfers in pieces
    ASSERT_EQ(decompress(host), 0);
    EXPECT_EQ(host.output, data);
}

TEST_F(Plugin, FailingStoredWriteIsReturned) {
    TestHost host;
    host.input = magic();
    dev::appendStoredRecords(host.input, pattern(1000, 1));
    host.input.push_back(3);
    host.failWritesFrom = 0;
    EXPECT_EQ(decompress(host), -1);
}

TEST_F(Plugin, InputEndingBeforeTheEndRecordFails) {
    std::vector<uint8_t> stream = magic();
    dev::appendStoredRecords(stream, pattern(70000, 9));
    stream.insert(stream.end(), {0x00});  // a full block with no data
    for (size_t cut = 4; cut < stream.size(); cut += (cut < 64 ? 1 : 4099)) {
        TestHost host;
        host.input.assign(stream.begin(), stream.begin() + cut);
        EXPECT_LT(decompress(host), 0) << "cut at " << cut;
    }
}

TEST_F(Plugin, CodedRecordsMixedWithStoredBlocks) {
    const std::vector<uint8_t> bink1 = emptyBink(64, 48);
    const std::vector<uint8_t> dev1 = devFor(bink1);
    if (dev1.empty()) GTEST_SKIP() << "the packer cannot pack an empty Bink file yet";
    const std::vector<uint8_t> stored = pattern(100000, 5);

    std::vector<uint8_t> stream = magic();
    stream.push_back(2);
    stream.insert(stream.end(), dev1.begin(), dev1.end());
    dev::appendStoredRecords(stream, stored);
    stream.push_back(2);
    stream.insert(stream.end(), dev1.begin(), dev1.end());
    stream.push_back(3);

    std::vector<uint8_t> expected = bink1;
    expected.insert(expected.end(), stored.begin(), stored.end());
    expected.insert(expected.end(), bink1.begin(), bink1.end());

    TestHost host;
    host.input = stream;
    ASSERT_EQ(decompress(host), 0);
    EXPECT_EQ(host.output, expected);
    EXPECT_EQ(host.position, stream.size());

    // Cut at every record boundary and inside every record, the call fails
    // and never hangs.  (Every cut past a DEV header starts a pipeline, so
    // the points inside the DEV stream are a sample.)
    const size_t first = 5, second = first + dev1.size() + 3 + stored.size() + 1;
    std::vector<size_t> cuts = {4, first, first + dev1.size(), first + dev1.size() + 2, second - 1000,
                                second, second + dev1.size(), stream.size() - 1};
    for (size_t k = 1; k < 8; ++k) cuts.push_back(first + k * dev1.size() / 8);
    for (size_t cut : cuts) {
        TestHost h;
        h.input.assign(stream.begin(), stream.begin() + cut);
        EXPECT_LT(decompress(h), 0) << "cut at " << cut;
    }

    // A failing write does not stop the decoding: every later write still
    // arrives, and the call then reports the loss.
    TestHost failing;
    failing.input = magic();
    failing.input.push_back(2);
    failing.input.insert(failing.input.end(), dev1.begin(), dev1.end());
    failing.input.push_back(3);
    failing.failWritesFrom = 0;
    EXPECT_EQ(decompress(failing), -1);
    EXPECT_EQ(failing.output, bink1);
    EXPECT_GE(failing.writeCalls, 2);

    // A coded record whose inner stream lacks the DEV magic.
    TestHost bad;
    bad.input = magic();
    bad.input.insert(bad.input.end(), {2, 'D', 'E', 'V', 0x03, 0, 0, 0, 0});
    EXPECT_EQ(decompress(bad), -2);

    // The driver's reads must be answered whole.
    TestHost split;
    split.input = stream;
    split.splitAbove = 4;
    EXPECT_EQ(decompress(split), -1);
}

TEST_F(Plugin, BuiltRecordStreamCarriesForeignFilesStored) {
    const std::vector<uint8_t> bink1 = emptyBink(32, 32);
    if (devFor(bink1).empty()) GTEST_SKIP() << "the packer cannot pack an empty Bink file yet";
    const std::vector<uint8_t> text = pattern(5000, 11);
    std::vector<dev::RecordReport> reports;
    const std::vector<uint8_t> stream = dev::buildRecordStream({{"a.bik", bink1}, {"b.txt", text}}, &reports);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(reports[0].coded);
    EXPECT_FALSE(reports[1].coded);
    TestHost host;
    host.input = stream;
    ASSERT_EQ(decompress(host), 0);
    std::vector<uint8_t> expected = bink1;
    expected.insert(expected.end(), text.begin(), text.end());
    EXPECT_EQ(host.output, expected);
}

// Threads of this process, and bytes in use on its heaps.
#if defined(_WIN32)
size_t threadCount() {
    size_t n = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 e{};
    e.dwSize = sizeof e;
    for (BOOL more = Thread32First(snapshot, &e); more; more = Thread32Next(snapshot, &e))
        if (e.th32OwnerProcessID == GetCurrentProcessId()) ++n;
    CloseHandle(snapshot);
    return n;
}

size_t heapInUse() {
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    size_t total = 0;
    for (DWORD h = 0; h < count && h < 64; ++h) {
        PROCESS_HEAP_ENTRY e{};
        while (HeapWalk(heaps[h], &e))
            if (e.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += e.cbData;
    }
    return total;
}
#else
size_t threadCount() {
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

size_t heapInUse() { return mallinfo2().uordblks; }
#endif

// Bytes of address space the process holds: the page allocations of models
// and buffers do not show on the heap.  Measured on Linux only, and neither
// under the address sanitizer, whose allocator maps and keeps memory of its
// own (it checks the heap itself), nor under a processor emulator, whose
// process the mappings describe.
#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32) || defined(DEV_PROGRAM_EMULATOR)
constexpr bool kMeasureMapped = false;
size_t mappedBytes() { return 0; }
#else
constexpr bool kMeasureMapped = true;
size_t mappedBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}
#endif

// A plug-in stays loaded in its host: calls that fail on damaged input, at
// any point of a record stream with real content, must leave no thread,
// heap block or mapping behind.
TEST_F(Plugin, RepeatedFailuresLeaveNothingBehind) {
#if !defined(_WIN32)
    // One arena, so that the C library's per-thread arenas, made on demand,
    // do not show as growth.
    mallopt(M_ARENA_MAX, 1);
#endif
    dev::GeneratorOptions o;
    o.width = 32;
    o.height = 24;
    o.frames = 4;
    o.seed = 5;
    o.audio = {dev::GeneratorAudioTrack()};
    const std::vector<uint8_t> video = dev::generateBink1(o);
    std::vector<dev::RecordReport> reports;
    const std::vector<uint8_t> good =
        dev::buildRecordStream({{"a.bik", video}, {"b", pattern(3000, 2)}, {"c.bik", emptyBink(64, 48)}}, &reports);
    ASSERT_TRUE(reports.size() == 3 && reports[0].coded && reports[2].coded);
    TestHost whole;
    whole.input = good;
    ASSERT_EQ(decompress(whole), 0);

    std::mt19937 rng(13);
    size_t threadsBefore = 0, heapBefore = 0, mappedBefore = 0;
    constexpr int kWarmUp = 50;
    for (int i = 0; i < kWarmUp + 400; ++i) {
        if (i == kWarmUp) {
            threadsBefore = threadCount();
            heapBefore = heapInUse();
            mappedBefore = mappedBytes();
        }
        TestHost host;
        host.input = good;
        const int kind = i % 5;
        if (kind == 0) {  // cut anywhere
            host.input.resize(4 + rng() % (good.size() - 4));
        } else if (kind == 1) {  // a few bytes flipped
            for (int n = 1 + int(rng() % 4); n > 0; --n) host.input[4 + rng() % (good.size() - 4)] ^= uint8_t(1 + rng() % 255);
        } else if (kind == 2) {  // bytes inserted
            host.input.insert(host.input.begin() + 4 + long(rng() % (good.size() - 4)), 1 + rng() % 16, uint8_t(rng()));
        } else if (kind == 3) {  // reads answered in pieces
            host.splitAbove = 1 + rng() % 64;
        } else {  // writes failing from some point on
            host.failWritesFrom = int(rng() % 8);
        }
        const int32_t r = decompress(host);
        ASSERT_TRUE(r == 0 || r == -1 || r == -2 || r == -4 || r == -8) << "call " << i << " gave " << r;
        if (kind == 0 || kind == 4) {
            ASSERT_LT(r, 0) << "call " << i;
        }
    }
    // A joined thread may stay listed for a moment (under an emulator its
    // host thread ends after the join), before the runs or after them: a
    // leaked thread stays, a lingering one goes.
    size_t threadsAfter = threadCount();
    for (int wait = 0; wait < 100 && threadsAfter > threadsBefore; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        threadsAfter = threadCount();
    }
    EXPECT_LE(threadsAfter, threadsBefore);
    const size_t heapAfter = heapInUse();
    EXPECT_LT(heapAfter, heapBefore + 64 * 1024) << "heap grew from " << heapBefore << " to " << heapAfter;
    if (kMeasureMapped) {
        const size_t mappedAfter = mappedBytes();
        EXPECT_LT(mappedAfter, mappedBefore + 16 * 1024 * 1024)
            << "mappings grew from " << mappedBefore << " to " << mappedAfter;
    }
}

}  // namespace

namespace {

TEST_F(Plugin, RealBinkFilesThroughTheRecordStream) {
    const std::string dir = DEV_CORPUS_DIR;
    const std::vector<uint8_t> a = dev::readBytes(dir + "/galciv1_Menu_Open.bik");
    const std::vector<uint8_t> b = dev::readBytes(dir + "/shc_st12_fletchers_workshop.bik");  // with audio
    const std::vector<uint8_t> refused = dev::readBytes(dir + "/olyx_OETitle.bk2");           // video flag 0x40000
    if (a.empty() || b.empty() || refused.empty()) GTEST_SKIP() << "corpus not present";
    const std::vector<uint8_t> junk = pattern(70000, 13);
    std::vector<dev::RecordReport> reports;
    const std::vector<uint8_t> stream =
        dev::buildRecordStream({{"a", a}, {"junk", junk}, {"b", b}, {"refused", refused}}, &reports);
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_TRUE(reports[0].coded) << reports[0].reason;
    EXPECT_FALSE(reports[1].coded);
    EXPECT_TRUE(reports[2].coded) << reports[2].reason;
    EXPECT_FALSE(reports[3].coded);

    TestHost host;
    host.input = stream;
    ASSERT_EQ(decompress(host), 0);
    std::vector<uint8_t> expected = a;
    for (const auto* part : {&junk, &b, &refused}) expected.insert(expected.end(), part->begin(), part->end());
    EXPECT_TRUE(host.output == expected);
    EXPECT_EQ(host.position, stream.size());

    // Packed with the extension, the Bink 2 file with video flag 0x40000 is
    // a coded record that the plug-in restores.
    dev::PackOptions extended;
    extended.extended = true;
    const std::vector<uint8_t> coded = dev::buildRecordStream({{"x", refused}, {"junk", junk}}, &reports, extended);
    ASSERT_EQ(reports.size(), 6u);
    EXPECT_TRUE(reports[4].coded) << reports[4].reason;
    TestHost again;
    again.input = coded;
    ASSERT_EQ(decompress(again), 0);
    expected = refused;
    expected.insert(expected.end(), junk.begin(), junk.end());
    EXPECT_TRUE(again.output == expected);
}

}  // namespace
