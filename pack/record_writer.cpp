#include "pack/record_writer.h"

#include "pack/packer.h"

namespace dev {

namespace {
constexpr uint32_t kFullBlock = 0x400000;
constexpr uint8_t kMagic[4] = {'D', 'E', 'V', 0x02};
}  // namespace

void appendStoredRecords(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
    size_t pos = 0;
    while (bytes.size() - pos >= kFullBlock) {
        out.push_back(0);  // full block
        out.insert(out.end(), bytes.begin() + pos, bytes.begin() + pos + kFullBlock);
        pos += kFullBlock;
    }
    const uint32_t rest = static_cast<uint32_t>(bytes.size() - pos);
    if (rest == 0) return;
    const uint32_t tag = (rest << 2) | 1;  // short block, 22-bit length
    out.push_back(static_cast<uint8_t>(tag));
    out.push_back(static_cast<uint8_t>(tag >> 8));
    out.push_back(static_cast<uint8_t>(tag >> 16));
    out.insert(out.end(), bytes.begin() + pos, bytes.end());
}

std::vector<uint8_t> buildRecordStream(const std::vector<RecordInput>& inputs, std::vector<RecordReport>* reports) {
    std::vector<uint8_t> out(kMagic, kMagic + 4);
    for (const RecordInput& input : inputs) {
        RecordReport report{input.name, false, {}};
        PackResult packed = packBink(input.bytes);
        if (packed.ok) {
            out.push_back(2);  // coded record
            out.insert(out.end(), packed.dev.begin(), packed.dev.end());
            report.coded = true;
        } else {
            appendStoredRecords(out, input.bytes);
            report.reason = packed.error;
        }
        if (reports) reports->push_back(std::move(report));
    }
    out.push_back(3);  // end record
    return out;
}

}  // namespace dev
