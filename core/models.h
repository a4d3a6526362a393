// Model sets: one page allocation per set.  Fresh pages read as zeros, which
// is the start state of every model (see BitModel), so nothing is filled and
// the pages of models a file never uses are never touched.
#pragma once

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

    // false when the memory cannot be had.
    bool allocate(size_t count) {
        release();
        models_ = static_cast<BitModel*>(platform::pageAlloc(count * sizeof(BitModel)));
        if (!models_) return false;
        count_ = count;
        return true;
    }
    void release() {
        if (models_) platform::pageFree(models_, count_ * sizeof(BitModel));
        models_ = nullptr;
        count_ = 0;
    }
    BitModel* data() const { return models_; }
    size_t size() const { return count_; }
    explicit operator bool() const { return models_ != nullptr; }
    BitModel& operator[](size_t i) const { return models_[i]; }

private:
    BitModel* models_ = nullptr;
    size_t count_ = 0;
};

}  // namespace dev
