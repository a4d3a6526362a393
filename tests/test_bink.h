// Small Bink files made in code for the header, reader and packer tests: a
// header, a track table, a frame index and frames of given audio and video
// bytes, laid out as a Bink encoder lays them out.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/byte_io.h"

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
        std::vector<uint8_t> out;
        const auto put = [&](uint32_t v, int n) {
            for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
        };
        const bool longHeader = signature.compare(0, 3, "KB2") == 0 && signature[3] >= 'i';
        std::vector<uint32_t> sizes;
        uint32_t largest = 0;
        for (const auto& f : frames) {
            uint32_t n = static_cast<uint32_t>(f.video.size());
            for (const auto& a : f.audio) n += 4 + static_cast<uint32_t>(a.size());
            sizes.push_back(n);
            largest = std::max(largest, n);
        }
        for (char c : signature) out.push_back(static_cast<uint8_t>(c));
        put(0, 4);  // file size - 8, patched below
        put(static_cast<uint32_t>(frames.size()), 4);
        put(largest, 4);
        put(static_cast<uint32_t>(frames.size()), 4);
        put(width, 4);
        put(height, 4);
        put(fpsNum, 4);
        put(fpsDen, 4);
        put(flags, 4);
        put(static_cast<uint32_t>(tracks.size()), 4);
        if (longHeader) put(extraWord, 4);
        for (const auto& t : tracks) put(t.word, 4);
        for (const auto& t : tracks) {
            put(t.sampleRate, 2);
            put(t.flags, 2);
        }
        for (const auto& t : tracks) put(t.id, 4);
        uint32_t offset = static_cast<uint32_t>(out.size() + 4 * (frames.size() + 1));
        for (size_t j = 0; j < frames.size(); ++j) {
            put(offset | (frames[j].keyframe ? 1 : 0), 4);
            offset += sizes[j];
        }
        put(offset | (lastWordFlag ? 1 : 0), 4);
        for (const auto& f : frames) {
            for (const auto& a : f.audio) {
                put(static_cast<uint32_t>(a.size()), 4);
                out.insert(out.end(), a.begin(), a.end());
            }
            out.insert(out.end(), f.video.begin(), f.video.end());
        }
        const uint32_t fileSize = static_cast<uint32_t>(out.size() - 8);
        for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(fileSize >> (8 * i));
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
