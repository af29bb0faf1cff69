// Masked copy of 4-byte pixels through a repeating mask tile.
//
// Both images are rows of `bx` pixels of 4 bytes, row after row. Pixel (x, y) reads mask
// value mask[tx * r + c] with tile column c = (x - repx) mod tx and tile row
// r = (y - repy) mod ty; it is copied from src to dst when (value >= lim) != rev. Pixels
// whose mask index lies past the mask, or whose 4 bytes do not lie wholly inside both
// images, are skipped. Nothing is allocated and nothing outside dst is written.
#pragma once

#include <cstdint>
#include <span>

namespace native_accel::image {

inline constexpr std::uint64_t kPixelBytes = 4;

struct TileMask {
    std::span<const std::uint8_t> values;
    std::uint64_t tx;
    std::uint64_t ty;
    std::int32_t repx;
    std::int32_t repy;
    bool rev;
    std::uint8_t lim;
};

void tile_copy(std::span<std::uint8_t> dst, std::span<const std::uint8_t> src, std::uint64_t bx,
               std::uint64_t by, const TileMask& mask) noexcept;

// (-offset) mod tile as a residue in 0 .. tile - 1, for any 32-bit offset (tile > 0).
std::uint64_t pattern_phase(std::int32_t offset, std::uint64_t tile) noexcept;

}  // namespace native_accel::image
