// Synthetic Bink 1 files whose video packets are all stored, and their DEV
// streams for a stage table of two copy stages (audio chunks are the audio
// bytes of the frame, video chunks the stored-packet records).  The driver then
// rebuilds the Bink file exactly without any real stage, which lets the tests
// exercise framing, pipeline and driver on their own.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "pack/bink1_parser.h"
#include "pack/bink_file.h"
#include "pack/dev_writer.h"
#include "pack/header_encoder.h"
#include "stages/stage_table.h"
#include "stages/stages.h"
#include "writers/bink1/streams.h"
#include "writers/bink_container.h"

namespace dev::fixtures {

inline void putLe32(std::vector<uint8_t>& v, uint32_t x) { appendLe32(v, x); }

struct SynthOptions {
    uint32_t frames = 10;
    uint32_t tracks = 2;
    uint32_t width = 64, height = 48;
    uint32_t videoFlags = 0;
    uint32_t seed = 1;
    uint32_t maxAudio = 300;   // bytes of an audio packet (0: every packet empty)
    uint32_t maxVideo = 900;   // bytes of a video packet beyond its first word
    int32_t largestFrame = -1;  // header value; -1: the true largest frame
};

// A Bink 1 file: header, track table, frame index, frames of random audio
// packets (some empty) and random video packets.
inline std::vector<uint8_t> makeBink1(const SynthOptions& o) {
    std::mt19937 rng(o.seed);
    std::vector<std::vector<uint8_t>> frames(o.frames);
    uint32_t largest = 0;
    for (auto& f : frames) {
        for (uint32_t t = 0; t < o.tracks; ++t) {
            const uint32_t n = o.maxAudio && rng() % 4 ? rng() % (o.maxAudio + 1) : 0;
            putLe32(f, n);
            for (uint32_t i = 0; i < n; ++i) f.push_back(static_cast<uint8_t>(rng()));
        }
        const uint32_t v = 4 + (o.maxVideo ? rng() % (o.maxVideo + 1) : 0);
        for (uint32_t i = 0; i < v; ++i) f.push_back(static_cast<uint8_t>(rng()));
        if (f.size() & 1) f.push_back(0);  // frame offsets are even: bit 0 is the keyframe flag
        largest = std::max<uint32_t>(largest, static_cast<uint32_t>(f.size()));
    }
    const uint32_t headerEnd = static_cast<uint32_t>(binkLayout(BinkHeader::kBaseLength, o.tracks, o.frames).frames);
    uint32_t total = headerEnd;
    for (auto& f : frames) total += static_cast<uint32_t>(f.size());
    BinkHeaderFields fields;  // "BIKi", 30 frames a second
    fields.fileSize = total - BinkHeader::kFileSizeFrom;
    fields.frameCount = o.frames;
    fields.largestFrame = o.largestFrame >= 0 ? static_cast<uint32_t>(o.largestFrame) : largest;
    fields.width = o.width;
    fields.height = o.height;
    fields.videoFlags = o.videoFlags;
    fields.trackCount = o.tracks;
    std::vector<uint8_t> b(BinkHeader::kLongLength);
    b.resize(writeBinkHeader(fields, b.data()));
    for (uint32_t t = 0; t < o.tracks; ++t) putLe32(b, 4096 + t);
    for (uint32_t t = 0; t < o.tracks; ++t) {
        const uint32_t flags = t ? BinkTrackFlag::kDct | BinkTrackFlag::kStereo : BinkTrackFlag::kDct;
        putLe32(b, BinkTrackTable::rateAndFlags(22050u + 11025u * t, flags));
    }
    for (uint32_t t = 0; t < o.tracks; ++t) putLe32(b, t);
    uint32_t offset = headerEnd;
    for (uint32_t j = 0; j <= o.frames; ++j) {
        putLe32(b, offset | (j == 0 || rng() % 8 == 0 ? BinkFrameIndex::kKeyframe : 0u));
        if (j < o.frames) offset += static_cast<uint32_t>(frames[j].size());
    }
    for (auto& f : frames) b.insert(b.end(), f.begin(), f.end());
    return b;
}

// Rows 0 and 1 of the Bink 1 table as copy stages: the audio and the packet
// records.
inline StageTable copyTable() {
    StageTable t{};
    t.rows[0] = {{bink1::kAudio}, copyStage};
    t.rows[1] = {{bink1::kPacketRecords}, copyStage};
    return t;
}

// The DEV stream of a synthetic Bink 1 file for copyTable().  extraFrames adds
// empty cycles after the last frame (the end mark moves later), dropFrames
// leaves out the chunks of the last frames (the end mark comes early).
inline DevStreamParts copyParts(const std::vector<uint8_t>& bink, uint32_t extraFrames = 0, uint32_t dropFrames = 0) {
    BinkFile file;
    if (!readBinkFile(bink, file).ok()) return {};
    DevStreamParts parts;
    parts.headerChunk = encodeHeaderChunk(file);
    parts.stageCount = 2;
    for (uint32_t j = 0; j + dropFrames < file.frameCount; ++j) {
        std::vector<uint8_t> audio;
        for (const auto& packet : file.audio[j]) {
            putLe32(audio, static_cast<uint32_t>(packet.size()));
            audio.insert(audio.end(), packet.begin(), packet.end());
        }
        PackFrame stored;
        stored.video = file.video[j];
        storeBink1Packet(stored);
        std::vector<uint8_t> record = std::move(stored.streams[bink1::kPacketRecords]);
        parts.streamBytes[bink1::kAudio] = std::max<uint32_t>(parts.streamBytes[bink1::kAudio], static_cast<uint32_t>(audio.size()));
        parts.streamBytes[bink1::kPacketRecords] =
            std::max<uint32_t>(parts.streamBytes[bink1::kPacketRecords], static_cast<uint32_t>(record.size()));
        parts.chunks.push_back({std::move(audio), std::move(record)});
    }
    for (uint32_t k = 0; k < extraFrames; ++k) parts.chunks.push_back({{}, {}});
    return parts;
}

inline std::vector<uint8_t> copyStream(const std::vector<uint8_t>& bink) { return writeDevStream(copyParts(bink)); }

// The DEV stream of a Bink 1 file of 0 frames: any stage table decodes it.
inline std::vector<uint8_t> emptyStream(uint32_t tracks = 1) {
    SynthOptions o;
    o.frames = 0;
    o.tracks = tracks;
    DevStreamParts parts = copyParts(makeBink1(o));
    parts.stageCount = 6;
    return writeDevStream(parts);
}

}  // namespace dev::fixtures
