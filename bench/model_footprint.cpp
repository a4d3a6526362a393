// Where a file's decisions reach in the model tables: walks every frame of
// Bink files through the video stages' grammars (the packer's values, no
// coding) and records the storage position of the model behind each
// decision.  Per stage it prints the decisions, the models, 64-byte cache
// lines, 4 KB pages and 2 MB regions they fall in, and the reuse of the
// access trace: for each use of a line (page) after its first, how many
// other distinct lines (pages) were used since its last use.  A use whose
// distance passes a level's capacity misses it in any placement-blind cache
// of that size, so the shares below bound what the layout costs:
//   lines  >= 512 (32 KB, a first-level data cache), >= 16384 (1 MB)
//   pages  >= 64 (a first-level TLB), >= 1536 (a second-level TLB)
//
// Where the stage backs large pages densely (where the system gives them),
// the page figures are given again with each such large page as one unit:
// the translations the trace needs.
//
// With --regions, each 2 MB region the stage touches is listed with its
// share of the decisions and the 4 KB pages touched in it: what backing it
// with one large page would save in page walks and cost in memory.
//
//   model_footprint [--regions] FILE.bik...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "driver/header_decoder.h"
#include "pack/bink1_parser.h"
#include "pack/bink2_parser.h"
#include "pack/bink_file.h"
#include "pack/encode_coder.h"
#include "stages/bink2_video_grammar.h"
#include "stages/dct_block_grammar.h"
#include "stages/video_frame_grammar.h"

namespace {

using namespace dev;

bool listRegions = false;

// Records the offset from base of every model a decision uses.
struct TracingCoder : CheckCoder {
    const BitModel* base;
    std::vector<uint32_t>* trace;

    void record(const BitModel& m) { trace->push_back(static_cast<uint32_t>(&m - base)); }
    uint32_t bit(BitModel& m, uint32_t v) {
        record(m);
        return v;
    }
    uint32_t tree(BitModel* m, int n, uint32_t v) {
        RangeEncoder::treeDecisions(m, n, v, [this](BitModel& x, uint32_t) { record(x); });
        return v;
    }
    int32_t integer(BitModel* block, uint8_t& history, bool isSigned, int32_t v) {
        RangeEncoder::integerDecisions(block, history, isSigned, v, [this](BitModel& x, uint32_t) { record(x); });
        return v;
    }
};

// Distinct-key counts between successive uses of a key: a Fenwick tree over
// the trace's times marks the latest use of every key.
struct ReuseShares {
    uint64_t reuses = 0;
    uint64_t farther[2] = {};  // reuses at or past each limit
};

ReuseShares reuse(const std::vector<uint32_t>& keys, uint32_t keyCount, const uint32_t limits[2]) {
    ReuseShares r;
    const size_t n = keys.size();
    std::vector<uint32_t> tree(n + 1, 0);
    auto add = [&](size_t i, int d) {
        for (++i; i <= n; i += i & (0 - i)) tree[i] += static_cast<uint32_t>(d);
    };
    auto prefix = [&](size_t i) {  // marks at times < i
        uint64_t s = 0;
        for (; i > 0; i -= i & (0 - i)) s += tree[i];
        return s;
    };
    std::vector<int64_t> last(keyCount, -1);
    uint64_t marks = 0;
    for (size_t t = 0; t < n; ++t) {
        const uint32_t k = keys[t];
        if (last[k] >= 0) {
            const uint64_t between = marks - prefix(static_cast<size_t>(last[k]) + 1);
            ++r.reuses;
            for (int l = 0; l < 2; ++l)
                if (between >= limits[l]) ++r.farther[l];
            add(static_cast<size_t>(last[k]), -1);
        } else {
            ++marks;
        }
        add(t, 1);
        last[k] = static_cast<int64_t>(t);
    }
    return r;
}

void report(const char* stage, const std::vector<uint32_t>& trace, uint32_t modelCount,
            std::span<const platform::PageSpan> dense) {
    if (trace.empty()) return;
    if (const char* dump = std::getenv("MODEL_FOOTPRINT_DUMP")) {
        std::vector<uint32_t> uses(modelCount, 0);
        for (uint32_t i : trace) ++uses[i];
        FILE* f = std::fopen((std::string(dump) + "." + stage).c_str(), "w");
        for (uint32_t i = 0; f && i < modelCount; ++i)
            if (uses[i]) std::fprintf(f, "%u %u\n", i, uses[i]);
        if (f) std::fclose(f);
    }
    auto distinct = [&](int shift) {
        std::vector<uint8_t> seen((size_t(modelCount) * sizeof(BitModel) >> shift) + 1, 0);
        uint64_t count = 0;
        for (uint32_t i : trace) {
            uint8_t& s = seen[(size_t(i) * sizeof(BitModel)) >> shift];
            count += s ? 0 : 1;
            s = 1;
        }
        return count;
    };
    std::vector<uint32_t> lines(trace.size()), pages(trace.size());
    for (size_t t = 0; t < trace.size(); ++t) {
        lines[t] = static_cast<uint32_t>(size_t(trace[t]) * sizeof(BitModel) >> 6);
        pages[t] = static_cast<uint32_t>(size_t(trace[t]) * sizeof(BitModel) >> 12);
    }
    const uint32_t lineLimits[2] = {512, 16384}, pageLimits[2] = {64, 1536};
    const uint32_t keyCount = static_cast<uint32_t>((size_t(modelCount) * sizeof(BitModel) >> 6) + 1);
    const ReuseShares l = reuse(lines, keyCount, lineLimits), p = reuse(pages, keyCount, pageLimits);
    auto share = [](uint64_t a, uint64_t b) { return b ? 100.0 * double(a) / double(b) : 0.0; };
    std::printf("  %-12s %10zu decisions %9llu models %8llu lines %6llu pages %3llu regions (2 MB)\n", stage,
                trace.size(), (unsigned long long)distinct(1), (unsigned long long)distinct(6),
                (unsigned long long)distinct(12), (unsigned long long)distinct(21));
    std::printf("  %-12s reuse: lines >=512 %5.1f%%  >=16384 %5.1f%%   pages >=64 %5.1f%%  >=1536 %5.1f%%\n", "",
                share(l.farther[0], l.reuses), share(l.farther[1], l.reuses), share(p.farther[0], p.reuses),
                share(p.farther[1], p.reuses));
    if (!dense.empty()) {
        // Large pages get keys past the small pages' own.
        const uint32_t largeKeys = keyCount;
        std::vector<uint32_t> units(trace.size());
        for (size_t t = 0; t < trace.size(); ++t) {
            const size_t byte = size_t(trace[t]) * sizeof(BitModel);
            units[t] = pages[t];
            for (const platform::PageSpan& d : dense)
                if (byte >= d.offset && byte - d.offset < d.length)
                    units[t] = largeKeys + static_cast<uint32_t>(byte / platform::kLargePage);
        }
        std::vector<uint8_t> seen(2 * size_t(keyCount) + 1, 0);
        uint64_t distinctUnits = 0;
        for (uint32_t u : units) {
            distinctUnits += seen[u] ? 0 : 1;
            seen[u] = 1;
        }
        const ReuseShares u = reuse(units, 2 * keyCount + 1, pageLimits);
        std::printf("  %-12s with large pages: %6llu translations   reuse >=64 %5.1f%%  >=1536 %5.1f%%\n", "",
                    (unsigned long long)distinctUnits, share(u.farther[0], u.reuses), share(u.farther[1], u.reuses));
    }
    if (!listRegions) return;
    const size_t regionCount = (size_t(modelCount) * sizeof(BitModel) >> 21) + 1;
    std::vector<uint64_t> uses(regionCount, 0);
    std::vector<uint8_t> pageSeen(regionCount << 9, 0);
    std::vector<uint32_t> pagesIn(regionCount, 0);
    for (uint32_t pg : pages) {
        ++uses[pg >> 9];
        if (!pageSeen[pg]) ++pagesIn[pg >> 9];
        pageSeen[pg] = 1;
    }
    for (size_t r = 0; r < regionCount; ++r)
        if (uses[r])
            std::printf("    region %3zu  %5.1f%% of decisions  %3u pages\n", r, share(uses[r], trace.size()), pagesIn[r]);
}

template <class Walk>
void traced(const char* stage, uint32_t modelCount, std::span<const platform::PageSpan> dense, Walk&& walk) {
    std::vector<uint32_t> trace;
    // Never read or written: the walk only forms model addresses.
    static const BitModel* const base = reinterpret_cast<const BitModel*>(uintptr_t(1) << 20);
    TracingCoder c;
    c.base = base;
    c.trace = &trace;
    walk(c, const_cast<BitModel*>(base));
    report(stage, trace, modelCount, dense);
}

bool footprint(const char* path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    BinkFile file;
    if (const Status read = readBinkFile(bytes, file); !read.ok()) {
        std::printf("%s: %s\n", path, read.reason().c_str());
        return false;
    }
    BinkContext context{};
    setHeaderFields(context, file.header.data(), static_cast<uint32_t>(file.header.size()));
    std::vector<uint32_t> keyframes;
    for (uint32_t w : file.frameIndex) keyframes.push_back(BinkFrameIndex::keyframeOf(w));
    context.keyframes = keyframes.data();
    std::vector<PackFrame> frames(file.frameCount);
    for (uint32_t j = 0; j < file.frameCount; ++j) {
        frames[j].index = j;
        frames[j].video = file.video[j];
        const bool ok = file.isBink2 ? bink2PacketValues(context, frames[j]).ok() : bink1FrameValues(context, frames[j]);
        if (!ok) {
            std::printf("%s: frame %u cannot be read\n", path, j);
            return false;
        }
    }
    std::printf("%s (%u frames)\n", path, file.frameCount);
    auto readers = [](const PackFrame& f) {
        StreamArray<ValueReader> r;
        for (int n = 1; n <= kStreamCount; ++n) r[n] = ValueReader(f.streams[n].data(), f.streams[n].size());
        return r;
    };
    if (file.isBink2) {
        traced("video", b2video::kModelCount, b2video::denseSpans(context.hasAlpha != 0), [&](TracingCoder& c, BitModel* m) {
            const b2video::Geometry g = b2video::readGeometry(context);
            b2video::VideoState state;
            for (const PackFrame& f : frames) {
                StreamArray<ValueReader> r = readers(f);
                b2video::FrameGrammar<TracingCoder>(c, m, state, g, r).frame(keyframes[f.index] & 1);
            }
        });
        return true;
    }
    traced("video frame", vframe::kModelCount, vframe::kDenseSpans, [&](TracingCoder& c, BitModel* m) {
        static uint8_t above[vframe::kAboveBytes];
        vframe::VideoFrameState state;
        vframe::initState(state, context, above);
        for (const PackFrame& f : frames) {
            if (f.stored) continue;
            StreamArray<ValueReader> r = readers(f);
            vframe::FrameGrammar<TracingCoder>(c, m, state, r).packet();
        }
    });
    for (int inter = 0; inter < 2; ++inter) {
        traced(inter ? "dct inter" : "dct intra", dct::kModelCount, {&dct::kDenseSpan, 1}, [&](TracingCoder& c, BitModel* m) {
            dct::PositionMemory memory;
            const bink1::DctStreams& n = bink1::dctStreams(inter);
            for (const PackFrame& f : frames) {
                if (f.stored) continue;
                const dct::PlaneBlocks blocks{f.dctBlocks[inter].data(), f.dctBlocks[inter].size()};
                ValueReader q(f.streams[n.quantisers].data(), f.streams[n.quantisers].size());
                ValueReader dc(f.streams[n.dc].data(), f.streams[n.dc].size());
                ValueReader list(f.streams[n.coefficients].data(), f.streams[n.coefficients].size());
                dct::codePacket(c, m, memory, inter != 0, context.planeCount, blocks, q, dc, list);
            }
        });
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: model_footprint FILE.bik...\n");
        return 1;
    }
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--regions") listRegions = true;
        else ok = footprint(argv[i]) && ok;
    }
    return ok ? 0 : 1;
}
