// The 4-byte-unit LZSS stream: the container of the byte stream (8-byte header, groups of a
// flag byte and up to eight tokens, bit 0 first, a set bit for a literal) over 32-bit
// pixels. A literal stores the first three bytes of a unit and decodes with 0xFF as the
// fourth; a reference
//     b0 = ((distance & 0x0F) << 4) | (length - 1),   b1 = distance >> 4
// copies 1..16 units from 1..4095 units back. Both sizes in the header count bytes.
#pragma once

#include <cstdint>
#include <span>

#include "common/byte_buffer.hpp"
#include "common/outcome.hpp"

namespace native_accel::lzss32 {

inline constexpr std::size_t kUnitBytes = 4;
inline constexpr std::size_t kMinMatch = 1;
inline constexpr std::size_t kMaxMatch = 16;
inline constexpr std::size_t kLiteralBytes = 3;

// Encodes data (a multiple of 4 bytes) with the search tree of the byte encoder, run over
// units compared as unsigned 32-bit little-endian numbers. All four bytes count for a match,
// so decoding gives the input with every fourth byte set to 0xFF. Empty input gives an
// empty result; an empty tail group is never written.
//
// pack_bound() gives the longest stream n input bytes can make (or the error for an input
// that is not whole units, or too long for the header); pack_into() encodes into a
// destination of that size and returns the stream's length; pack() does both into a
// buffer of its own.
Outcome<std::size_t> pack_bound(std::size_t n);
Outcome<std::size_t> pack_into(std::span<const std::uint8_t> data, std::span<std::uint8_t> out);
Outcome<ByteBuffer> pack(std::span<const std::uint8_t> data);

// The strict decoder: "lzss32 short", "lzss32 eof", "lzss32 off0" or "lzss32 back" on
// malformed input. A literal is never cut, so when unpacked_size is not a multiple of 4 the
// result may be up to 3 bytes longer; a reference is always cut at unpacked_size.
//
// unpack_bound() gives the most bytes the stream can decode to ("lzss32 short" for a
// stream without a header), unpack_into() decodes into a destination of that size and
// returns how many bytes it wrote; unpack() does both into a buffer of its own.
Outcome<std::size_t> unpack_bound(std::span<const std::uint8_t> stream);
Outcome<std::size_t> unpack_into(std::span<const std::uint8_t> stream,
                                 std::span<std::uint8_t> out);
Outcome<ByteBuffer> unpack(std::span<const std::uint8_t> stream);

}  // namespace native_accel::lzss32
