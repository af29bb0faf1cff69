// The LZSS stream: an 8-byte header (packed_size, unpacked_size, both unsigned 32-bit
// little-endian), then groups of one flag byte and up to eight tokens. Flag bits are read
// from bit 0; a set bit is a literal byte, a clear bit a 2-byte reference
//     b0 = ((distance & 0x0F) << 4) | (length - 2),   b1 = distance >> 4
// copying 2..17 bytes from up to 4095 bytes back in the output produced so far.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/byte_buffer.hpp"
#include "common/outcome.hpp"

namespace native_accel::lzss {

inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kGroupTokens = 8;
inline constexpr std::size_t kMinMatch = 2;
inline constexpr std::size_t kMaxMatch = 17;
inline constexpr std::size_t kWindowSlots = 4096;

// A full group (flag byte and eight 2-byte references, 17 input bytes) yields at most
// 8 * 17 = 136 output bytes, and no shorter run of input does better than 8 bytes per
// input byte: the output can never exceed 8 times the body length.
inline constexpr std::size_t kMaxExpansion = 8;

// The lenient decoder: never fails. A short, truncated or inconsistent stream decodes to
// what its well-formed prefix yields, and never to more than unpacked_size bytes.
//
// It runs in two steps so that the caller can provide the output, e.g. the storage of the
// object it returns: unpack_bound() tells how many bytes the stream can decode to at most
// (unpacked_size, capped at kMaxExpansion bytes per body byte so that a header alone
// cannot ask for 4 GiB), and unpack_into() decodes into a destination of exactly that
// size, returning how many bytes it wrote (fewer when the stream ends early).
std::size_t unpack_bound(std::span<const std::uint8_t> stream) noexcept;
std::size_t unpack_into(std::span<const std::uint8_t> stream,
                        std::span<std::uint8_t> out) noexcept;
// Both steps into a buffer of its own.
ByteBuffer unpack(std::span<const std::uint8_t> stream);

// The header's 32-bit fields bound what a stream can describe: inputs and streams of
// 4 GiB or more are refused.
inline constexpr std::uint64_t kMaxHeaderValue = 0xFFFFFFFF;

// The longest match the encoder may take at `level`: 2 for levels 0 to 2, the level itself
// from 3 to 16, and 17 from 17 up.
constexpr std::size_t max_match_for_level(std::uint64_t level) noexcept {
    return level < kMinMatch ? kMinMatch : level > kMaxMatch ? kMaxMatch : level;
}

// The deterministic encoder: a greedy parse over a search tree of the last 4095 positions.
// Empty input gives an empty result (no header). With suppress_empty_tail_group the final
// group is left out when it holds no token (when the token count is a multiple of 8);
// otherwise it is written as the single flag byte 0x00. The only error is an input, or a
// stream, too long for the header.
//
// Like the decoder it runs in two steps: pack_bound() gives the longest stream n input
// bytes can make (or the error for an input too long for the header), and pack_into()
// encodes into a destination of that size and returns the stream's length.
Outcome<std::size_t> pack_bound(std::size_t n);
Outcome<std::size_t> pack_into(std::span<const std::uint8_t> data, std::uint64_t level,
                               bool suppress_empty_tail_group, std::span<std::uint8_t> out);
// Both steps into a buffer of its own.
Outcome<ByteBuffer> pack(std::span<const std::uint8_t> data, std::uint64_t level,
                         bool suppress_empty_tail_group);

}  // namespace native_accel::lzss
