#include "crypto/xor_cycle.hpp"

#include <algorithm>
#include <cstring>

namespace native_accel::crypto {
namespace {

// Keys shorter than this are laid out repeatedly into a local pattern of whole key
// periods, so that each pass of the inner loop covers a long run even for a 1-byte key.
constexpr std::size_t kShortKey = 256;
constexpr std::size_t kPatternBytes = 1024;

// data[0 .. n) ^= key[0 .. n): two contiguous runs, written so that the compiler emits
// vector code; 8 bytes at a time through memcpy for the bulk.
inline void xor_run(std::uint8_t* data, const std::uint8_t* key, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t d, k;
        std::memcpy(&d, data + i, 8);
        std::memcpy(&k, key + i, 8);
        d ^= k;
        std::memcpy(data + i, &d, 8);
    }
    for (; i < n; ++i) data[i] ^= key[i];
}

// XOR with `period` (a multiple of the key length) bytes of pattern, entered at `phase`.
void xor_periodic(std::uint8_t* data, std::size_t n, const std::uint8_t* pattern,
                  std::size_t period, std::size_t phase) noexcept {
    while (n != 0) {
        const std::size_t run = std::min(n, period - phase);
        xor_run(data, pattern + phase, run);
        data += run;
        n -= run;
        phase = 0;
    }
}

void xor_from(std::uint8_t* data, std::size_t n, std::span<const std::uint8_t> code,
              std::uint64_t start) noexcept {
    const std::size_t length = code.size();
    const std::size_t phase = static_cast<std::size_t>(start % length);
    if (length >= kShortKey) {
        xor_periodic(data, n, code.data(), length, phase);
        return;
    }
    std::uint8_t pattern[kPatternBytes];
    const std::size_t period = (kPatternBytes / length) * length;
    for (std::size_t i = 0; i < period; ++i) pattern[i] = code[i % length];
    xor_periodic(data, n, pattern, period, phase);
}

}  // namespace

void xor_cycle(std::span<std::uint8_t> data, std::span<const std::uint8_t> code,
               std::uint64_t start) noexcept {
    if (code.empty() || data.empty()) return;
    // Positions start, start + 1, ... wrap to 0 after 2^64 - 1, where the key index
    // restarts at 0 rather than continuing the cycle (2^64 is rarely a multiple of L).
    const std::uint64_t before_wrap = start == 0 ? UINT64_MAX : (0 - start);  // 2^64 - start
    std::size_t first = data.size();
    if (start != 0 && static_cast<std::uint64_t>(first) > before_wrap) {
        first = static_cast<std::size_t>(before_wrap);
    }
    xor_from(data.data(), first, code, start);
    if (first < data.size()) xor_from(data.data() + first, data.size() - first, code, 0);
}

}  // namespace native_accel::crypto
