// A frame's values seen the way the frame writers see a cycle's stage output.
//
// The packer holds the values of one frame in plain vectors (PackFrame).  To
// prove that they rebuild a packet it runs the unpacker's own frame assembly
// over them; FrameView builds the BinkContext for that: every StreamBuffer's
// front buffer is one of the frame's vectors (filled = its size, cursor at its
// first byte), the nine Bink 1 bundle areas have the unpacker's sizes (so a
// chunk the unpacker could not hold fails here too), and the output is a
// buffer of the caller's chosen capacity; a Bink 2 file gets the row buffer
// the unpacker's header decoder would allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/bink_context.h"
#include "core/pipeline.h"
#include "pack/pack_frame.h"

namespace dev {

class FrameView {
public:
    // Takes the file-level fields (dimensions, flags, version, tracks) from
    // header; allocates the bundle areas of a Bink 1 file.
    explicit FrameView(const BinkContext& header);
    // Takes the file-level fields of another file (or the same one again);
    // keeps the bundle areas when their size does not change.
    void adopt(const BinkContext& header);
    FrameView(const FrameView&) = delete;
    FrameView& operator=(const FrameView&) = delete;

    // Points the sub-streams at frame's vectors (which must outlive the use
    // of the view and not be resized meanwhile) and the write cursor at an
    // empty output of outputCapacity bytes.  Returns the context to assemble.
    BinkContext& bind(PackFrame& frame, size_t outputCapacity);

    BinkContext& context() { return context_; }
    // What the assembly has written so far.
    std::span<const uint8_t> written() const;
    // True when every sub-stream from `first` to 21 has been read to its end.
    bool allConsumed(int first = 1) const;
    // Bytes left unread in sub-stream n (1..21).
    size_t unread(int n) const;

private:
    BinkContext context_{};
    StreamBuffer streams_[kStreamCount]{};
    std::vector<uint8_t> bundleMemory_;
    std::vector<uint16_t> rowMemory_;  // Bink 2 quantiser predictor rows
    std::vector<uint8_t> output_;
};

}  // namespace dev
