// Model sets: one page allocation per set.  Fresh pages read as zeros, which
// is the start state of every model (see BitModel), so nothing is filled and
// the pages of models a file never uses are never touched.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/range_decoder.h"
#include "platform/platform.h"

namespace dev {

// Owns one model array for the life of its coding context.
class ModelSet {
public:
    ModelSet() = default;
    explicit ModelSet(size_t count) { allocate(count); }
    ModelSet(const ModelSet&) = delete;
    ModelSet& operator=(const ModelSet&) = delete;
    ~ModelSet() { release(); }

    // false when the memory cannot be had.  dense: the byte ranges used
    // densely (see platform::pageAlloc, and denseModels below); the block is
    // made long enough to hold them.
    bool allocate(size_t count, const platform::PageSpan* dense = nullptr, size_t denseCount = 0) {
        release();
        size_t bytes = count * sizeof(BitModel);
        for (size_t i = 0; i < denseCount; ++i) bytes = std::max(bytes, dense[i].offset + dense[i].length);
        models_ = static_cast<BitModel*>(platform::pageAlloc(bytes, dense, denseCount));
        if (!models_) return false;
        count_ = count;
        bytes_ = bytes;
        dense_ = dense;
        denseCount_ = denseCount;
        return true;
    }
    // Has the large pages of the dense ranges backed now, in their order, by
    // a thread of their own, while the owner starts decoding.  The first use
    // of a large page costs its clearing, and in a virtual machine whose host
    // takes back the memory a guest frees, the host's backing of it too:
    // about 2 ms a page in a fresh process there, against 0.1 ms when the
    // memory was in use a moment ago.  A stage whose first chunk reaches a
    // dozen of them waits that long unless they are ready.  Contents never
    // change, so it does not matter which thread comes first to a page.  Only
    // where large pages are given: a dense range of small pages is backed page
    // by page as it is used, at no more than its own cost.  release() waits
    // for the thread; the ranges given to allocate() must last until then
    // (the stages give static tables).
    void fillDenseInBackground() {
        if (!models_ || denseCount_ == 0 || filler_ || !platform::largePagesOffered()) return;
        filler_ = platform::startThread(&ModelSet::fillDense, this);  // none: filled on use as before
    }
    void release() {
        if (filler_) platform::joinThread(filler_);
        filler_ = nullptr;
        if (models_) platform::pageFree(models_, bytes_);
        models_ = nullptr;
        count_ = 0;
        bytes_ = 0;
        dense_ = nullptr;
        denseCount_ = 0;
    }
    BitModel* data() const { return models_; }
    size_t size() const { return count_; }
    explicit operator bool() const { return models_ != nullptr; }
    BitModel& operator[](size_t i) const { return models_[i]; }

private:
    static uint32_t fillDense(void* argument) {
        const ModelSet& set = *static_cast<const ModelSet*>(argument);
        uint8_t* const base = reinterpret_cast<uint8_t*>(set.models_);
        for (size_t i = 0; i < set.denseCount_; ++i) platform::pagePopulate(base + set.dense_[i].offset, set.dense_[i].length);
        return 0;
    }

    BitModel* models_ = nullptr;
    size_t count_ = 0;
    size_t bytes_ = 0;
    const platform::PageSpan* dense_ = nullptr;  // static tables of the stages
    size_t denseCount_ = 0;
    platform::Thread* filler_ = nullptr;
};

// The whole large pages that hold models [first, end) of a set: the span to
// back densely when those models carry most of a stage's decisions.
constexpr platform::PageSpan denseModels(size_t first, size_t end) {
    const size_t from = first * sizeof(BitModel) / platform::kLargePage * platform::kLargePage;
    const size_t to = (end * sizeof(BitModel) + platform::kLargePage - 1) / platform::kLargePage * platform::kLargePage;
    return {from, to - from};
}

}  // namespace dev
