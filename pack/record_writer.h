// Builds plug-in record streams: each input Bink file the DEV format accepts
// becomes a coded record, anything else is carried as stored blocks.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pack/packer.h"

namespace dev {

struct RecordInput {
    std::string name;
    std::span<const uint8_t> bytes;
};

struct RecordReport {
    std::string name;
    bool coded = false;
    std::string reason;  // why the input was stored (when !coded)
};

// Appends the stored-block records that carry bytes unchanged.
void appendStoredRecords(std::vector<uint8_t>& out, std::span<const uint8_t> bytes);

// Packs each input the packer takes (with `options`) as a coded record, and
// stores the others.
std::vector<uint8_t> buildRecordStream(const std::vector<RecordInput>& inputs, std::vector<RecordReport>* reports,
                                       const PackOptions& options = {});

}  // namespace dev
