// Model sets: one page allocation per set.  Fresh pages read as zeros, which
// is the start state of every model (see BitModel), so nothing is filled and
// the pages of models a file never uses are never touched.
#pragma once

#include <algorithm>
#include <cstddef>

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
        return true;
    }
    void release() {
        if (models_) platform::pageFree(models_, bytes_);
        models_ = nullptr;
        count_ = 0;
        bytes_ = 0;
    }
    BitModel* data() const { return models_; }
    size_t size() const { return count_; }
    explicit operator bool() const { return models_ != nullptr; }
    BitModel& operator[](size_t i) const { return models_[i]; }

private:
    BitModel* models_ = nullptr;
    size_t count_ = 0;
    size_t bytes_ = 0;
};

// The whole large pages that hold models [first, end) of a set: the span to
// back densely when those models carry most of a stage's decisions.
constexpr platform::PageSpan denseModels(size_t first, size_t end) {
    const size_t from = first * sizeof(BitModel) / platform::kLargePage * platform::kLargePage;
    const size_t to = (end * sizeof(BitModel) + platform::kLargePage - 1) / platform::kLargePage * platform::kLargePage;
    return {from, to - from};
}

}  // namespace dev
