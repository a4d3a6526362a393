// Rebuilds the Bink header, audio track table and frame index from the
// header chunk and fills the file-level fields of the run's BinkContext.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bink_context.h"
#include "core/byte_io.h"

namespace dev {

// Returns the number of bytes written, -4 for rejected video flags, -1 for a
// chunk that is corrupt or memory that cannot be had.  The arrays it fills in
// the context (keyframes, tracks) are released by releaseHeaderBuffers(), also
// after a failure.
int32_t decodeHeader(BinkContext& context, const uint8_t* chunk, size_t length, ByteSink& output);
void releaseHeaderBuffers(BinkContext& context);

// Video flag bits the DEV format cannot carry, by generation.  Bink 1 may set
// only 0x70120000 (grayscale 0x20000, alpha 0x100000 and the top bits), Bink 2
// only 0x70140013 (alpha, slice count in the low two bits, 0x10, and the
// extension's 0x40000, which unpackers before the extension reject too).
constexpr uint32_t kBink1RejectedFlags = 0x8FEDFFFFu;
constexpr uint32_t kBink2RejectedFlags = 0x8FEBFFECu;
bool videoFlagsSupported(bool isBink2, uint32_t flags);

// The file-level context fields that follow from the header bytes (44 or 48):
// generation, version, header length, dimensions, counts, video flags, alpha,
// grayscale, plane count, the size of the frame buffer (the largest frame size
// plus 512, rounded down to a multiple of 512) and the Bink 2 slice geometry
// (rowBufferEntries included); nothing is allocated.  noDctTrack is cleared;
// setTrackFields() sets it.  Used by the header decoder and by the packer,
// which hands the same context to its stage encoders.
void setHeaderFields(BinkContext& context, const uint8_t* header, uint32_t headerLength);
// One audio track's properties from its sample rate and flags.
void setTrackFields(BinkContext& context, AudioTrackInfo& track, uint32_t sampleRate, uint32_t flags);

}  // namespace dev
