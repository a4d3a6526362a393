// Reads Bink 1 video packets the way a Bink 1 decoder does and turns what it
// reads into the values the Bink 1 stages produce for them (sub-streams 2 to
// 21 of a PackFrame), in the order the frame writers consume them.
//
// Besides the Bink syntax the parser enforces what the stages can represent:
// a packet that is valid Bink but that the stages could not reproduce is
// refused with a reason, and the packer then carries it stored.
#pragma once

#include <cstdint>
#include <vector>

#include "core/bink_context.h"
#include "writers/bit_reader.h"
#include "pack/pack_frame.h"

namespace dev {

// The largest plane the block-type model of the video frame stage can walk:
// its above-row array holds one entry per block column plus 16 spare ones.
constexpr uint32_t kBink1MaxBlockColumns = 1008;

class Bink1PlaneParser {
public:
    // One parser per file: the plane geometry depends only on the frame size.
    Bink1PlaneParser(uint32_t width, uint32_t height);

    // Reads one plane starting at the reader's position (a 32-bit boundary)
    // and appends its values to frame.streams.  On success the reader stands
    // behind the plane's last 32-bit word and the plane's intra and inter DCT
    // block counts are available.  On failure, reason() says why; the frame's
    // streams then hold a partial plane.
    bool parsePlane(BitReader& bits, bool chroma, PackFrame& frame);

    uint32_t intraBlocks() const { return intraBlocks_; }
    uint32_t interBlocks() const { return interBlocks_; }
    const char* reason() const { return reason_; }
    // The first place where the plane uses a form our writers would not
    // choose (the rewrite then differs there), or nullptr.
    const char* hint() const { return hint_; }

private:
    struct Tree {
        uint8_t shape = 0;       // which of the 16 code shapes
        uint8_t symbols[16] = {};  // code index -> value
    };
    struct Bundle {
        uint32_t width = 0;        // bits of each chunk count
        uint32_t capacity = 0;     // elements the unpacker's work area holds
        std::vector<int32_t> values;  // filled so far in this plane
        uint32_t consumed = 0;
        bool ended = false;
        Tree tree;
    };

    bool fail(const char* why) {
        if (!reason_) reason_ = why;
        return false;
    }
    void note(const char* why) {
        if (!hint_) hint_ = why;
    }
    bool readTree(Tree& tree);
    uint32_t readSymbol(const Tree& tree);
    bool readChunk(int bundle);
    bool typeChunk(Bundle& bundle, uint32_t count);
    bool colourChunk(Bundle& bundle, uint32_t count);
    void smallChunk(Bundle& bundle, uint32_t count, bool sign);
    bool dcChunk(Bundle& bundle, uint32_t count, bool inter);
    bool take(int bundle, int32_t& value);
    bool takeColours(uint32_t n);
    bool walkRow(uint32_t row);
    bool blockContent(uint32_t type);
    bool runField();
    bool coefficientField(bool inter);
    bool residueField();

    uint32_t width_, height_;
    size_t areaBytes_;
    // Per plane.
    BitReader* bits_ = nullptr;
    PackFrame* frame_ = nullptr;
    Bundle bundles_[9];
    Tree colourHigh_[16];
    uint32_t colourLast_ = 0;
    uint32_t columns_ = 0;
    uint8_t above_[1024] = {};
    uint32_t intraBlocks_ = 0, interBlocks_ = 0;
    const char* reason_ = nullptr;
    const char* hint_ = nullptr;
    std::vector<uint8_t> symbols_, expected_;  // block-type chunk check
};

// Reads the video packet of frame (frame.video) into frame.streams[2..21] and
// frame.dctBlocks.  nullptr on success; otherwise the reason the packet cannot
// be coded (the frame's values are then incomplete and must be replaced).
// Checks what the stages require; that the writers rebuild the packet is
// proved separately.  When hint is given it receives the first place where
// the packet uses a form our writers do not choose (why a rewrite differs).
const char* parseBink1Packet(const BinkContext& context, PackFrame& frame, const char** hint = nullptr);

}  // namespace dev
