// Bit-direction policies: a Bink bitstream syntax written once for both
// directions.
//
// The syntax of a Bink 1 plane or a Bink 2 frame is a template over a policy D:
//   - BitsOut: the frame writer.  Values are taken from the value sub-streams
//     (ValueReader) and written as bits (BitWriter).
//   - BitsIn: the packer's parser.  Bits are read from a Bink video packet
//     (BitReader) and their values appended to the packer's sub-streams.
// A field is written as
//     uint32_t v = D::take8(values);   // writer: the next value; parser: 0
//     v = d.field(v, n);               // writer puts n bits; parser reads n bits
//     D::emit8(values, v);             // parser appends v; writer: nothing
// so the writer instance inlines to plain bit writing, and the layout of
// every field exists in one place only.
//
// Choices the writer derives from its values (a run split, a coding form, a
// code) are computed by the syntax from the values; the parser reads what the
// file holds and states `d.expect(read == derived, what)`.  A file whose
// choices differ from ours cannot be rewritten bit for bit, and the parser
// stops at the first such choice, remembering where and what it was.  For
// the writer, expect() guards values the syntax cannot write.
//
// Helpers for the common shapes:
//     d.byteField(values, n)    a field that travels in a sub-stream as one
//                               byte: taken, written or read, emitted;
//     d.checkedField(v, n)      a field whose value comes from the values
//                               unchecked (the writer flags one wider than n);
//     d.flag(b)                 a one-bit decision the writer derives (written
//                               as a constant on each branch, which is
//                               cheaper where the syntax branches on it);
//     d.signedMagnitude(v, n)   |v| in n bits (n > 0), then a sign bit when
//                               v is not zero;
//     d.symbol(code, v)         a value coded with a prefix code, which
//                               provides bool put(BitWriter&, v) and
//                               uint32_t read(BitReader&);
//     d.align32()               the end of a unit on a 32-bit boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/little_endian.h"
#include "core/range_decoder.h"  // DEV_INLINE
#include "core/value_stream.h"
#include "writers/bit_reader.h"
#include "writers/bit_writer.h"

namespace dev {

struct BitsOut {
    static constexpr bool kWriting = true;
    using Values = ValueReader;

    BitWriter w;
    bool bad = false;  // a value the syntax cannot write

    explicit BitsOut(const BitWriter& writer) : w(writer) {}

    DEV_INLINE uint32_t field(uint32_t value, uint32_t n) {
        w.put(value, n);
        return value;
    }
    DEV_INLINE void expect(bool ok) { bad |= !ok; }
    DEV_INLINE void expect(bool ok, const char*) { bad |= !ok; }
    bool failed() const { return bad || w.overflow; }

    // n < 32.
    DEV_INLINE uint32_t checkedField(uint32_t value, uint32_t n) {
        bad |= (value >> n) != 0;
        value &= (1u << n) - 1;
        w.put(value, n);
        return value;
    }
    DEV_INLINE uint32_t byteField(Values& s, uint32_t n) { return checkedField(s.get8(), n); }
    DEV_INLINE uint32_t flag(bool b) {
        if (b) w.put(1, 1);
        else w.put(0, 1);
        return b;
    }
    // |value| < 2^n.
    DEV_INLINE int32_t signedMagnitude(int32_t value, uint32_t n) {
        if (value) w.put(static_cast<uint32_t>(value < 0 ? -value : value) | (uint32_t(value < 0) << n), n + 1);
        else w.put(0, n);
        return value;
    }
    template <class Code>
    DEV_INLINE uint32_t symbol(const Code& code, uint32_t value) {
        bad |= !code.put(w, value);
        return value;
    }
    DEV_INLINE void align32() { w.flush(); }

    static DEV_INLINE uint32_t take8(Values& s) { return s.get8(); }
    static DEV_INLINE uint32_t take16(Values& s) { return s.get16(); }
    static DEV_INLINE uint32_t take32(Values& s) { return s.get32(); }
    static DEV_INLINE void emit8(Values&, uint32_t) {}
    static DEV_INLINE void emit16(Values&, uint32_t) {}
    static DEV_INLINE void emit32(Values&, uint32_t) {}
};

struct BitsIn {
    static constexpr bool kWriting = false;
    using Values = std::vector<uint8_t>;

    BitReader r;
    // Bit position of the first choice that differs from the writer's (or
    // SIZE_MAX): where a rewrite would first go wrong.
    size_t firstMismatch = SIZE_MAX;
    const char* mismatchWhy = nullptr;  // what the writer would have done instead, when named

    explicit BitsIn(const BitReader& reader) : r(reader) {}

    DEV_INLINE uint32_t field(uint32_t, uint32_t n) { return r.get(static_cast<int>(n)); }
    DEV_INLINE void expect(bool ok) {
        if (!ok && firstMismatch == SIZE_MAX) firstMismatch = r.position();
    }
    DEV_INLINE void expect(bool ok, const char* why) {
        if (!ok && firstMismatch == SIZE_MAX) {
            firstMismatch = r.position();
            mismatchWhy = why;
        }
    }
    bool failed() const { return firstMismatch != SIZE_MAX || r.overrun(); }

    DEV_INLINE uint32_t checkedField(uint32_t, uint32_t n) { return r.get(static_cast<int>(n)); }
    DEV_INLINE uint32_t flag(bool) { return r.get(1); }
    DEV_INLINE uint32_t byteField(Values& s, uint32_t n) {
        const uint32_t v = r.get(static_cast<int>(n));
        s.push_back(static_cast<uint8_t>(v));
        return v;
    }
    DEV_INLINE int32_t signedMagnitude(int32_t, uint32_t n) {
        const int32_t m = static_cast<int32_t>(r.get(static_cast<int>(n)));
        return m && r.get(1) ? -m : m;
    }
    template <class Code>
    DEV_INLINE uint32_t symbol(const Code& code, uint32_t) {
        return code.read(r);
    }
    DEV_INLINE void align32() { r.alignTo32(); }

    static DEV_INLINE uint32_t take8(Values&) { return 0; }
    static DEV_INLINE uint32_t take16(Values&) { return 0; }
    static DEV_INLINE uint32_t take32(Values&) { return 0; }
    static DEV_INLINE void emit8(Values& s, uint32_t v) { s.push_back(static_cast<uint8_t>(v)); }
    static DEV_INLINE void emit16(Values& s, uint32_t v) { appendLe16(s, v); }
    static DEV_INLINE void emit32(Values& s, uint32_t v) { appendLe32(s, v); }
};

}  // namespace dev
