#include "pack/bink1_parser.h"

#include <cstring>

namespace dev {

// For now every packet is carried stored.
bool bink1FrameValues(const BinkContext&, PackFrame& frame) { return storeBink1Packet(frame); }

bool storeBink1Packet(PackFrame& frame) {
    if (frame.video.size() < 4) return false;
    for (auto& s : frame.streams) s.clear();
    auto& rec = frame.streams[11];
    rec.assign(frame.video.begin(), frame.video.begin() + 4);
    rec.push_back(1);
    const uint32_t r = static_cast<uint32_t>(frame.video.size() - 4);
    for (int i = 0; i < 4; ++i) rec.push_back(static_cast<uint8_t>(r >> (8 * i)));
    rec.insert(rec.end(), frame.video.begin() + 4, frame.video.end());
    frame.dctBlocks[0].clear();
    frame.dctBlocks[1].clear();
    frame.stored = true;
    return true;
}

}  // namespace dev
