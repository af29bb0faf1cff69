// The one shape of both LZSS decoders: the group walk and the token decoding, written once
// and instantiated for each stream with its constants and its rules.
//
// Both streams are groups of a flag byte and up to eight tokens, flag bits read from bit 0,
// a set bit announcing a literal and a clear bit a 2-byte reference word
//     W = b0 | b1 << 8,  distance = W >> 4,  length = (W & 0x0F) + kMinMatch,
// both counted in units. What a Stream supplies:
//
//   kUnitBytes, kLiteralBytes, kMinMatch   1, 1, 2 for the byte stream; 4, 3, 1 for units
//   write_literal(out, in)                 the unit a literal token decodes to
//   write_eight_literals(out, in)          a group of eight literals (flag byte 0xFF)
//   copy_careful(state, reference)         a reference with every bound checked
//   copy_fast(state, reference)            a reference inside the fast path's margins
//   kGroupInput, kGroupOutput              those margins (see decode_fast)
//
// A Stream's copy decides what an impossible reference is: the lenient byte stream turns
// it into empty steps, the strict unit stream stops with an error.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "common/little_endian.hpp"
#include "lzss/lzss.hpp"

namespace native_accel::lzss {

inline constexpr std::size_t kReferenceBytes = 2;

// Where decoding stopped short of its limit, if it did.
enum class Halt {
    none,          // the limit was reached (or, on the fast path, a margin)
    out_of_input,  // a group, a literal or a reference lacks its bytes
    distance_zero,
    before_start,  // a reference reaching before the first byte of the output
};

// The decoder's position: input bytes in[0 .. n) read up to i, output out[0 .. capacity)
// written up to produced, decoding until produced reaches limit.
struct DecodeState {
    const std::uint8_t* in;
    std::size_t n;
    std::size_t i;
    std::uint8_t* out;
    std::size_t capacity;
    std::size_t limit;
    std::size_t produced;
};

// A reference token in bytes.
struct Reference {
    std::size_t distance;
    std::size_t length;
};

template <class Stream>
inline Reference read_reference(const std::uint8_t* at) noexcept {
    const std::size_t word = little_endian::load16(at);
    return {(word >> 4) * Stream::kUnitBytes, ((word & 0x0F) + Stream::kMinMatch) * Stream::kUnitBytes};
}

// The careful path: every token is checked against the end of the input and the limit.
// The last group may end anywhere; its unused flag bits are never looked at.
template <class Stream>
Halt decode_careful(DecodeState& s) noexcept {
    while (s.produced < s.limit) {
        if (s.i >= s.n) return Halt::out_of_input;
        unsigned flags = s.in[s.i++];
        for (std::size_t bit = 0; bit < kGroupTokens && s.produced < s.limit; ++bit, flags >>= 1) {
            if (flags & 1u) {
                if (s.n - s.i < Stream::kLiteralBytes) return Halt::out_of_input;
                assert(s.capacity - s.produced >= Stream::kUnitBytes);
                Stream::write_literal(s.out + s.produced, s.in + s.i);
                s.i += Stream::kLiteralBytes;
                s.produced += Stream::kUnitBytes;
            } else {
                if (s.n - s.i < kReferenceBytes) return Halt::out_of_input;
                const Reference reference = read_reference<Stream>(s.in + s.i);
                s.i += kReferenceBytes;
                if (const Halt halt = Stream::copy_careful(s, reference); halt != Halt::none) {
                    return halt;
                }
            }
        }
    }
    return Halt::none;
}

// The fast path: whole groups while one group can neither run out of input (kGroupInput:
// a flag byte and eight tokens of the longest kind) nor reach the limit or the end of the
// output (kGroupOutput: eight references of the longest length, plus what a copy may write
// past its end). Inside it no token needs a bounds test, and a Stream's copy_fast may write
// a few bytes past a reference's end, which the tokens that follow overwrite. Returns with
// the state past the last whole group it decoded, for the careful path to go on from.
template <class Stream>
Halt decode_fast(DecodeState& s) noexcept {
    while (s.n - s.i >= Stream::kGroupInput && s.limit - s.produced >= Stream::kGroupOutput &&
           s.capacity - s.produced >= Stream::kGroupOutput) {
        unsigned flags = s.in[s.i++];
        if (flags == 0xFF) {  // common in data that does not repeat: one copy for the group
            Stream::write_eight_literals(s.out + s.produced, s.in + s.i);
            s.i += kGroupTokens * Stream::kLiteralBytes;
            s.produced += kGroupTokens * Stream::kUnitBytes;
            continue;
        }
        for (std::size_t bit = 0; bit < kGroupTokens; ++bit, flags >>= 1) {
            if (flags & 1u) {
                Stream::write_literal(s.out + s.produced, s.in + s.i);
                s.i += Stream::kLiteralBytes;
                s.produced += Stream::kUnitBytes;
            } else {
                const Reference reference = read_reference<Stream>(s.in + s.i);
                s.i += kReferenceBytes;
                if (const Halt halt = Stream::copy_fast(s, reference); halt != Halt::none) {
                    return halt;
                }
            }
        }
    }
    return Halt::none;
}

// Both paths, one after the other.
template <class Stream>
Halt decode(DecodeState& s) noexcept {
    if (const Halt halt = decode_fast<Stream>(s); halt != Halt::none) return halt;
    return decode_careful<Stream>(s);
}

}  // namespace native_accel::lzss
