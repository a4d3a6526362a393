#include "pack/record_writer.h"

#include "pack/packer.h"
#include "plugin/record_stream.h"

namespace dev {

void appendStoredRecords(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
    size_t pos = 0;
    while (bytes.size() - pos >= kFullBlockSize) {
        out.push_back(kRecordFull);
        out.insert(out.end(), bytes.begin() + pos, bytes.begin() + pos + kFullBlockSize);
        pos += kFullBlockSize;
    }
    const uint32_t rest = static_cast<uint32_t>(bytes.size() - pos);
    if (rest == 0) return;
    uint8_t tag[3];
    shortBlockTag(rest, tag);
    out.insert(out.end(), tag, tag + 3);
    out.insert(out.end(), bytes.begin() + pos, bytes.end());
}

std::vector<uint8_t> buildRecordStream(const std::vector<RecordInput>& inputs, std::vector<RecordReport>* reports,
                                       const PackOptions& options) {
    std::vector<uint8_t> out(kRecordMagic, kRecordMagic + 4);
    for (const RecordInput& input : inputs) {
        RecordReport report{input.name, false, {}};
        PackResult packed = packBink(input.bytes, nullptr, nullptr, options);
        if (packed.status.ok()) {
            out.push_back(kRecordCoded);
            out.insert(out.end(), packed.dev.begin(), packed.dev.end());
            report.coded = true;
        } else {
            appendStoredRecords(out, input.bytes);
            report.reason = packed.status.reason();
        }
        if (reports) reports->push_back(std::move(report));
    }
    out.push_back(kRecordEnd);
    return out;
}

}  // namespace dev
