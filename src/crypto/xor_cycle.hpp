// Repeating-key XOR in place: data[i] ^= code[((start + i) mod 2^64) mod L].
#pragma once

#include <cstdint>
#include <span>

namespace native_accel::crypto {

// An empty key or empty data changes nothing. Because the stream position wraps at 2^64,
// the key index jumps back to 0 % L there, not to the next key byte.
void xor_cycle(std::span<std::uint8_t> data, std::span<const std::uint8_t> code,
               std::uint64_t start) noexcept;

}  // namespace native_accel::crypto
