// What the stage tests share: value appenders for building sub-streams by
// hand (testkit/value_bytes.h), encoding a frame that must encode, a coder that records the models a
// grammar walk uses, and a stage routine running on its own thread through
// the pipeline protocol.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/bink_context.h"
#include "core/stage_protocol.h"
#include "core/sub_streams.h"
#include "pack/encode_coder.h"
#include "pack/stage_encoder.h"
#include "platform/platform.h"
#include "testkit/value_bytes.h"

namespace dev::stage_fixtures {

// The chunk of a frame the encoder must be able to code.
inline std::vector<uint8_t> encodeOrFail(StageEncoder& e, const PackFrame& f) {
    std::vector<uint8_t> chunk;
    const Status encoded = e.encode(f, chunk);
    EXPECT_TRUE(encoded.ok()) << encoded.reason();
    return chunk;
}

// The same for a frame the packer would code rather than store.
inline std::vector<uint8_t> acceptAndEncode(StageEncoder& e, const PackFrame& f) {
    EXPECT_TRUE(e.accepts(f));
    return encodeOrFail(e, f);
}

// Records every model a walk of a grammar uses, in order, taking the values
// from the sub-streams as the encoder does; the models are never touched.
struct RecordingCoder : TakesValues {
    const BitModel* base = nullptr;
    std::vector<uint32_t> used;

    void prefetch(const BitModel*) const {}
    uint32_t bit(BitModel& m, uint32_t v) {
        used.push_back(static_cast<uint32_t>(&m - base));
        return v;
    }
    uint32_t tree(BitModel* m, int n, uint32_t v) {
        uint32_t node = 1;
        for (int i = n - 1; i >= 0; --i) {
            used.push_back(static_cast<uint32_t>(m + node - base));
            node = 2 * node + ((v >> i) & 1);
        }
        return v;
    }
    int32_t integer(BitModel* block, uint8_t&, bool, int32_t v) {
        used.push_back(static_cast<uint32_t>(block - base));
        return v;
    }
};

// A stage routine on its own thread with a ring of buffers for its outputs
// (in its table row's order), fed one chunk at a time as the driver feeds it;
// each chunk lands in the next ring position.
struct StageHarness {
    StreamArray<StreamBuffer> streams;
    StreamArray<std::vector<uint8_t>> storage[kPipelineDepth];
    Stage stage;
    std::vector<uint8_t> inputs[kPipelineDepth];
    uint32_t last = 0;  // ring position of the last chunk

    StageHarness(StageRoutine routine, const BinkContext& context, const std::vector<int>& outputs, uint32_t capacity) {
        for (size_t i = 0; i < outputs.size(); ++i) {
            const int n = outputs[i];
            StreamBuffer& s = streams[n];
            for (int b = 0; b < kPipelineDepth; ++b) {
                storage[b][n].assign(capacity, 0);
                s.buffers[b] = storage[b][n].data();
            }
            s.cursor = s.buffers[0];
            s.capacity = capacity;
            stage.outputs[i] = &s;
        }
        stage.context = &context;
        stage.routine = routine;
        stage.done = platform::createEvent(false);
        stage.go = platform::createEvent(false);
        if (stage.done && stage.go)
            stage.thread = platform::startThread(
                [](void* a) {
                    Stage* s = static_cast<Stage*>(a);
                    return s->routine(s);
                },
                &stage);
    }
    StageHarness(const StageHarness&) = delete;
    StageHarness& operator=(const StageHarness&) = delete;

    // Hands over the chunk and waits until the stage is done with it.
    void cycle(const std::vector<uint8_t>& chunk) {
        const uint32_t n = stage.released.load();
        last = n % kPipelineDepth;
        inputs[last] = chunk;
        inputs[last].resize(std::max<size_t>(chunk.size(), 1));  // never a null input
        stage.inputs[last] = inputs[last].data();
        stage.lengths[last] = static_cast<uint32_t>(chunk.size());
        stage.inputCapacity = std::max<uint32_t>(stage.inputCapacity, stage.lengths[last]);
        stage.released.store(n + 1);
        platform::setEvent(stage.go);
        while (stage.finished.load() <= n) platform::waitEvent(stage.done);
    }
    // What the stage wrote into a sub-stream for the last chunk.
    std::vector<uint8_t> written(int subStream) const {
        const StreamBuffer& s = streams[subStream];
        const uint8_t* b = s.buffers[last];
        return std::vector<uint8_t>(b, b + s.filled[last]);
    }
    ~StageHarness() {
        if (stage.thread) {
            stage.stop = 1;
            platform::setEvent(stage.go);
            platform::joinThread(stage.thread);
        }
        if (stage.done) platform::closeEvent(stage.done);
        if (stage.go) platform::closeEvent(stage.go);
    }
};

}  // namespace dev::stage_fixtures
