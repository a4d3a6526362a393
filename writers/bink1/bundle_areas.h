// The nine bundle areas of a Bink 1 frame, where a plane's chunks put their
// values for the block walk.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/sub_streams.h"
#include "platform/platform.h"
#include "writers/bink1/format.h"

namespace dev::bink1 {

// The nine bundle areas of a frame, bundleAreaBytes() each, allocated once
// for a run (the driver) or a file (the packer) and reused by every plane.
class BundleAreas {
public:
    BundleAreas() = default;
    BundleAreas(const BundleAreas&) = delete;
    BundleAreas& operator=(const BundleAreas&) = delete;
    ~BundleAreas() { release(); }

    // Areas for frames of this size (kept when the size does not change);
    // false when the memory cannot be had.  Planes wider than the stages
    // carry get no areas: no plane of them is ever written.  No area is made
    // larger than limit: the driver passes the largest capacity of the
    // sub-streams the bundles' chunks come from (bundleAreaLimit()), since a
    // plane's values of one frame all come from those streams, so a header
    // that claims a huge frame cannot reserve more than the stream's own
    // buffers hold.
    bool allocate(uint32_t width, uint32_t height, uint64_t limit = UINT64_MAX) {
        uint64_t bytes = planeBlocks(width, false) > kMaxBlockColumns ? 0 : bundleAreaBytes(width, height);
        if (bytes > limit) bytes = limit;
        if (memory_ && bytes == bytes_) return true;
        release();
        if (bytes > (SIZE_MAX - 1) / kBundleCount) return false;
        // Not cleared: the syntax reads no value that a chunk has not
        // written, and pages of a tall frame that no plane reaches are never
        // touched.
        memory_ = static_cast<uint8_t*>(platform::heapAlloc(static_cast<size_t>(bytes) * kBundleCount + 1));
        if (!memory_) return false;
        bytes_ = static_cast<size_t>(bytes);
        return true;
    }
    void release() {
        platform::heapFree(memory_);
        memory_ = nullptr;
        bytes_ = 0;
    }
    uint8_t* area(int bundle) const { return memory_ + bytes_ * static_cast<size_t>(bundle); }
    size_t bytes() const { return bytes_; }
    explicit operator bool() const { return memory_ != nullptr; }

private:
    uint8_t* memory_ = nullptr;
    size_t bytes_ = 0;
};

// The largest capacity of the sub-streams the bundles' chunks come from.
inline uint64_t bundleAreaLimit(const StreamArray<uint32_t>& streamCapacities) {
    uint64_t limit = 0;
    for (int source : kBundleSource)
        if (streamCapacities[source] > limit) limit = streamCapacities[source];
    return limit;
}

}  // namespace dev::bink1
