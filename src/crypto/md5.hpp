// MD5 as RFC 1321 defines it, over a whole in-memory message.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace native_accel::crypto {

inline constexpr std::size_t kMd5DigestSize = 16;
inline constexpr std::size_t kMd5BlockSize = 64;

using Md5Digest = std::array<std::uint8_t, kMd5DigestSize>;

// Full blocks are read in place; only the tail (under 64 message bytes, the 0x80 byte, the
// zero padding and the 64-bit bit length) is assembled in a 128-byte local buffer.
Md5Digest md5_digest(std::span<const std::uint8_t> message) noexcept;

}  // namespace native_accel::crypto
