#include "pack/bink_file.h"

#include "writers/bink_container.h"

namespace dev {

namespace {

std::string hex(uint64_t v) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    do {
        s.insert(s.begin(), digits[v & 15]);
        v >>= 4;
    } while (v);
    return "0x" + s;
}

// Splits one frame into its audio packets (a 32-bit size, then the bytes, per
// track) and the video packet that fills the rest.
Status splitFrame(std::span<const uint8_t> frame, uint32_t j, size_t trackCount, BinkFile& out) {
    auto& audio = out.audio[j];
    audio.resize(trackCount);
    size_t pos = 0;
    for (size_t t = 0; t < trackCount; ++t) {
        if (frame.size() - pos < kAudioPacketSizeBytes)
            return Status("frame " + std::to_string(j) + ": the audio packet size of track " + std::to_string(t) +
                              " runs past the end of the frame");
        const uint32_t n = loadLe32(frame.data() + pos);
        pos += kAudioPacketSizeBytes;
        if (n > frame.size() - pos)
            return Status("frame " + std::to_string(j) + ": the audio packet of track " + std::to_string(t) + " (" +
                              std::to_string(n) + " bytes) runs past the end of the frame (" +
                              std::to_string(frame.size() - pos) + " bytes left)");
        audio[t] = frame.subspan(pos, n);
        pos += n;
    }
    out.video[j] = frame.subspan(pos);
    return {};
}

}  // namespace

Status readBinkFile(std::span<const uint8_t> bytes, BinkFile& out) {
    out = BinkFile();
    const uint64_t size = bytes.size();
    if (size < BinkHeader::kBaseLength)
        return Status("too short for a Bink header (" + std::to_string(size) + " bytes)");
    const uint8_t* p = bytes.data();
    const bool bink1 = isBink1Signature(p);
    if (!bink1 && !isBink2Signature(p)) return Status("not a Bink file (no BIK or KB2 signature)");
    const uint32_t headerLength = binkHeaderLength(p);
    if (size < headerLength)
        return Status("too short for a Bink 2 header of version " + std::string(1, char(p[BinkHeader::kVersion])) +
                      " (" + std::to_string(size) + " bytes)");

    out.header.assign(p, p + headerLength);
    out.isBink2 = !bink1;
    out.version = p[BinkHeader::kVersion];
    const BinkHeaderFields h = readBinkHeader(p);
    out.frameCount = h.frameCount;
    out.largestFrameSize = h.largestFrame;
    out.width = h.width;
    out.height = h.height;
    out.videoFlags = h.videoFlags;
    const uint32_t trackCount = h.trackCount;

    // The track table and the frame index must fit before anything is sized
    // from the counts.
    const BinkLayout layout = binkLayout(headerLength, trackCount, out.frameCount);
    const uint64_t tableEnd = layout.frameIndex;
    const uint64_t indexWords = uint64_t(out.frameCount) + 1;
    const uint64_t dataStart = layout.frames;
    if (tableEnd > size)
        return Status("the audio track table (" + std::to_string(trackCount) + " tracks) runs past the end of the file");
    if (dataStart > size)
        return Status("the frame index (" + std::to_string(out.frameCount) + " frames) runs past the end of the file");

    out.tracks.resize(trackCount);
    const uint8_t* table = p + headerLength;
    for (uint32_t t = 0; t < trackCount; ++t) {
        BinkTrack& track = out.tracks[t];
        track.word = loadLe32(table + BinkTrackTable::decodedSizeAt(trackCount, t));
        const uint32_t rateAndFlags = loadLe32(table + BinkTrackTable::rateAndFlagsAt(trackCount, t));
        track.sampleRate = BinkTrackTable::sampleRateOf(rateAndFlags);
        track.flags = BinkTrackTable::flagsOf(rateAndFlags);
        track.id = loadLe32(table + BinkTrackTable::idAt(trackCount, t));
    }

    out.frameIndex.resize(indexWords);
    for (uint64_t k = 0; k < indexWords; ++k) out.frameIndex[k] = loadLe32(p + tableEnd + BinkFrameIndex::kWordBytes * k);

    // The frames must follow the index directly, one after the other, and the
    // last one must end the file: the DEV stream carries nothing else.
    const auto offset = [&](uint64_t k) { return uint64_t(BinkFrameIndex::offsetOf(out.frameIndex[k])); };
    if (offset(0) != dataStart)
        return Status("the first frame starts at " + hex(offset(0)) + ", not right after the frame index at " +
                          hex(dataStart));
    for (uint32_t j = 0; j < out.frameCount; ++j) {
        if (offset(j + 1) < offset(j))
            return Status("the frame index is out of order: frame " + std::to_string(j + 1) + " starts at " +
                              hex(offset(j + 1)) + ", before frame " + std::to_string(j) + " at " + hex(offset(j)));
        if (offset(j + 1) > size)
            return Status("frame " + std::to_string(j) + " ends at " + hex(offset(j + 1)) +
                              ", past the end of the file at " + hex(size));
    }
    const uint64_t end = offset(out.frameCount);
    if (end < size)
        return Status(std::to_string(size - end) + " bytes follow the last frame; only a file that ends with its "
                                                   "last frame can be reproduced");

    // The restore checks the header's file size against what it wrote.
    const uint64_t said = uint64_t(h.fileSize) + BinkHeader::kFileSizeFrom;
    if (said != size)
        return Status("the header gives the file's length as " + std::to_string(said) + " bytes, not " +
                      std::to_string(size));

    out.audio.resize(out.frameCount);
    out.video.resize(out.frameCount);
    for (uint32_t j = 0; j < out.frameCount; ++j) {
        const auto frame = bytes.subspan(offset(j), offset(j + 1) - offset(j));
        if (Status split = splitFrame(frame, j, trackCount, out); !split.ok()) return split;
    }
    return {};
}

}  // namespace dev
