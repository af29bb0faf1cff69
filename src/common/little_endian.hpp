// Byte order. Every multi-byte field of the formats this module reads and writes is
// little-endian: the LZSS header and reference words, the 4-byte pixels, the NWA header,
// unit table and samples, MD5's message words, length and digest.
//
// Loads and stores go through std::memcpy: it is the one way C++ allows to read an integer
// from any address, without an alignment requirement and without breaking the aliasing
// rules, and compilers turn a memcpy of a fixed small size into a single move. On a
// big-endian host the bytes are swapped after the load and before the store; on a
// little-endian one the swap is compiled out.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace native_accel::little_endian {

static_assert(std::endian::native == std::endian::little ||
                  std::endian::native == std::endian::big,
              "mixed-endian hosts are not supported");

template <std::unsigned_integral T>
constexpr T byte_swap(T value) noexcept {
    T out = 0;
    for (unsigned i = 0; i < sizeof(T); ++i) {
        out = static_cast<T>(out << 8) | static_cast<T>((value >> (8 * i)) & 0xFF);
    }
    return out;
}

template <std::unsigned_integral T>
inline T load(const std::uint8_t* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = byte_swap(value);
    return value;
}

template <std::unsigned_integral T>
inline void store(std::uint8_t* at, T value) noexcept {
    if constexpr (std::endian::native == std::endian::big) value = byte_swap(value);
    std::memcpy(at, &value, sizeof value);
}

inline std::uint16_t load16(const std::uint8_t* at) noexcept { return load<std::uint16_t>(at); }
inline std::uint32_t load32(const std::uint8_t* at) noexcept { return load<std::uint32_t>(at); }
inline std::uint64_t load64(const std::uint8_t* at) noexcept { return load<std::uint64_t>(at); }
inline void store16(std::uint8_t* at, std::uint16_t value) noexcept { store(at, value); }
inline void store32(std::uint8_t* at, std::uint32_t value) noexcept { store(at, value); }

// The first `count` (at most 8) bytes at `at` as the low bytes of a word, the rest zero:
// the load of a field that may end before 8 bytes do.
inline std::uint64_t load64_partial(const std::uint8_t* at, std::size_t count) noexcept {
    std::uint8_t bytes[8] = {};
    std::memcpy(bytes, at, count);
    return load64(bytes);
}

// Eight bytes copied from any address to any other, order kept: the word is stored back
// exactly as it was loaded, so the host's byte order does not matter.
inline void copy8(std::uint8_t* to, const std::uint8_t* from) noexcept {
    std::uint64_t word;
    std::memcpy(&word, from, sizeof word);
    std::memcpy(to, &word, sizeof word);
}

}  // namespace native_accel::little_endian
