// Small Bink files made in code for the header, reader and packer tests: a
// header, a track table, a frame index and frames of given audio and video
// bytes, laid out as a Bink encoder lays them out.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/byte_io.h"
#include "writers/bink_container.h"

namespace dev::test {

struct TestTrack {
    uint32_t word = 0;
    uint16_t sampleRate = 44100;
    uint16_t flags = 0x7000;
    uint32_t id = 0;
};

struct TestFrame {
    std::vector<std::vector<uint8_t>> audio;  // per track; empty = no packet
    std::vector<uint8_t> video;
    bool keyframe = false;
};

struct TestBink {
    std::string signature = "BIKi";
    uint32_t width = 64, height = 48, flags = 0;
    uint32_t fpsNum = 30, fpsDen = 1;
    uint32_t extraWord = 0x12345678;  // the word after a long Bink 2 header
    std::vector<TestTrack> tracks;
    std::vector<TestFrame> frames;
    // Frame sizes must be even: bit 0 of an index word is the keyframe flag.
    // Keyframe bit of the closing index word.
    bool lastWordFlag = false;

    std::vector<uint8_t> bytes() const {
        std::vector<uint32_t> sizes;
        uint32_t largest = 0;
        for (const auto& f : frames) {
            uint32_t n = static_cast<uint32_t>(f.video.size());
            for (const auto& a : f.audio) n += kAudioPacketSizeBytes + static_cast<uint32_t>(a.size());
            sizes.push_back(n);
            largest = std::max(largest, n);
        }
        BinkHeaderFields fields;
        std::copy_n(signature.begin(), std::min<size_t>(signature.size(), sizeof fields.signature), fields.signature);
        fields.frameCount = static_cast<uint32_t>(frames.size());
        fields.largestFrame = largest;
        fields.width = width;
        fields.height = height;
        fields.fpsNumerator = fpsNum;
        fields.fpsDenominator = fpsDen;
        fields.videoFlags = flags;
        fields.trackCount = static_cast<uint32_t>(tracks.size());
        fields.extraWord = extraWord;
        std::vector<uint8_t> out(BinkHeader::kLongLength);
        out.resize(writeBinkHeader(fields, out.data()));
        for (const auto& t : tracks) appendLe32(out, t.word);
        for (const auto& t : tracks) appendLe32(out, BinkTrackTable::rateAndFlags(t.sampleRate, t.flags));
        for (const auto& t : tracks) appendLe32(out, t.id);
        uint32_t offset = static_cast<uint32_t>(out.size() + BinkFrameIndex::bytes(static_cast<uint32_t>(frames.size())));
        for (size_t j = 0; j < frames.size(); ++j) {
            appendLe32(out, offset | (frames[j].keyframe ? BinkFrameIndex::kKeyframe : 0));
            offset += sizes[j];
        }
        appendLe32(out, offset | (lastWordFlag ? BinkFrameIndex::kKeyframe : 0));
        for (const auto& f : frames) {
            for (const auto& a : f.audio) {
                appendLe32(out, static_cast<uint32_t>(a.size()));
                out.insert(out.end(), a.begin(), a.end());
            }
            out.insert(out.end(), f.video.begin(), f.video.end());
        }
        storeLe32(out.data() + BinkHeader::kFileSize, static_cast<uint32_t>(out.size() - BinkHeader::kFileSizeFrom));
        return out;
    }
};

// Collects what a run writes.
class VectorSink : public ByteSink {
public:
    bool write(const void* buffer, size_t size) override {
        ++writes;
        if (failFrom >= 0 && writes > failFrom) return false;
        const auto* p = static_cast<const uint8_t*>(buffer);
        data.insert(data.end(), p, p + size);
        return true;
    }
    std::vector<uint8_t> data;
    int writes = 0;
    int failFrom = -1;  // writes after this many fail
};

}  // namespace dev::test
