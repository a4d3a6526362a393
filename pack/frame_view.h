// A frame's values seen the way the frame writers see a cycle's stage output.
//
// The packer holds the values of one frame in plain vectors (PackFrame).  To
// prove that they rebuild a packet it runs the unpacker's own frame writer
// over them; FrameView provides what that needs: every StreamBuffer's front
// buffer is one of the frame's vectors (filled = its size, cursor at its first
// byte), the nine Bink 1 bundle areas have the unpacker's sizes (so a chunk
// the unpacker could not hold fails here too), a Bink 2 file gets the row
// buffer the unpacker's Bink 2 writer keeps, and the output is a buffer of the
// caller's chosen capacity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/bink_context.h"
#include "pack/pack_frame.h"
#include "writers/bink1/bundle_areas.h"
#include "writers/bink2/frame_assembly.h"
#include "writers/frame_output.h"

namespace dev {

class FrameView {
public:
    // A view of no file yet: adopt() one before use.
    FrameView() = default;
    // A view of header's file (adopt(header), its result left unchecked).
    explicit FrameView(const BinkContext& header) { adopt(header); }
    // Takes the file-level fields (dimensions, flags, version, tracks) from
    // header: allocates the bundle areas of a Bink 1 file (kept when their
    // size does not change), the row buffer of a Bink 2 file.  false when
    // they cannot be had.
    bool adopt(const BinkContext& header);
    // The view kept in `slot` (made there on first use) taken over to
    // header, or null when its buffers cannot be had: how a caller parsing
    // many packets keeps one view for all of them.
    static FrameView* keptIn(std::unique_ptr<FrameView>& slot, const BinkContext& header);
    FrameView(const FrameView&) = delete;
    FrameView& operator=(const FrameView&) = delete;

    // Points the sub-streams at frame's vectors (which must outlive the use
    // of the view and not be resized meanwhile) and the write cursor at an
    // empty output of outputCapacity bytes.
    FrameOutput& bind(PackFrame& frame, size_t outputCapacity);
    // The video packet of the bound frame, by the unpacker's writer of the
    // file's generation: 0, or -1 when the writer fails.
    int32_t writeVideo();

    const BinkContext& context() const { return context_; }
    const bink1::BundleAreas& areas() const { return areas_; }
    // What has been written so far.
    std::span<const uint8_t> written() const;
    // True when every sub-stream from `first` to 21 has been read to its end.
    bool allConsumed(int first = 1) const;
    // Bytes left unread in sub-stream n.
    size_t unread(int n) const;

private:
    BinkContext context_{};
    StreamArray<StreamBuffer> streams_{};
    bink1::BundleAreas areas_;
    Bink2RowBuffer rows_;
    FrameOutput out_;
    std::vector<uint8_t> output_;
};

}  // namespace dev
