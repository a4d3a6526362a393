// dev_pack: packs one Bink file into a DEV stream.
//
//   dev_pack bink_file dev_file
//   dev_pack --records input_file... record_file
//
// The second form writes a plug-in record stream: every input that is a Bink
// file the DEV format accepts becomes a coded record (proved like a single
// DEV stream), every other input is carried as stored blocks.
//
// The stream is written only after the packer has unpacked it again and found
// the Bink file restored byte for byte.  On success one line reports the frame
// counts and the sizes; on failure one line on standard error says why, the
// exit code is 1 and no output file is left behind.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pack/packer.h"
#include "pack/record_writer.h"
#include "pack/whole_file.h"

namespace {

using dev::readWholeFile;
using dev::writeWholeFile;

constexpr char kUsage[] =
    "Usage: dev_pack bink_file dev_file\n"
    "       dev_pack --records input_file... record_file\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "dev_pack: %s\n", message.c_str());
    return 1;
}

int packFile(const char* binkPath, const char* devPath) {
    std::vector<uint8_t> bink;
    if (!readWholeFile(binkPath, bink)) return fail(std::string("cannot read ") + binkPath);
    const dev::PackResult r = dev::packBink(bink);
    if (!r.ok) return fail(r.error);
    if (!writeWholeFile(devPath, r.dev)) return fail(std::string("cannot write ") + devPath);
    std::printf("frames %u coded %u stored %u bink %zu dev %zu\n", r.frames, r.coded, r.stored, bink.size(),
                r.dev.size());
    return 0;
}

int packRecords(int count, char** inputs, const char* outPath) {
    std::vector<std::vector<uint8_t>> contents(static_cast<size_t>(count));
    std::vector<dev::RecordInput> records;
    for (int i = 0; i < count; ++i) {
        if (!readWholeFile(inputs[i], contents[i])) return fail(std::string("cannot read ") + inputs[i]);
        records.push_back({inputs[i], contents[i]});
    }
    std::vector<dev::RecordReport> reports;
    const std::vector<uint8_t> stream = dev::buildRecordStream(records, &reports);
    if (!writeWholeFile(outPath, stream)) return fail(std::string("cannot write ") + outPath);
    size_t coded = 0, inputBytes = 0;
    for (size_t i = 0; i < reports.size(); ++i) {
        inputBytes += contents[i].size();
        if (reports[i].coded) {
            ++coded;
            std::printf("coded %s\n", reports[i].name.c_str());
        } else {
            std::printf("stored %s (%s)\n", reports[i].name.c_str(), reports[i].reason.c_str());
        }
    }
    std::printf("records %zu coded %zu stored %zu input %zu output %zu\n", reports.size(), coded,
                reports.size() - coded, inputBytes, stream.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--records") == 0) return packRecords(argc - 3, argv + 2, argv[argc - 1]);
    if (argc == 3 && argv[1][0] != '-') return packFile(argv[1], argv[2]);
    std::fputs(kUsage, stderr);
    return 1;
}
