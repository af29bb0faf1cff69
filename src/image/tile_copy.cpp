#include "image/tile_copy.hpp"

#include <algorithm>
#include <cstring>

namespace native_accel::image {
namespace {

// Selection patterns up to this many pixels are laid out per row on the stack, so that the
// inner loop is a branch-free blend over two contiguous pixel runs. It is a multiple of
// every tile width up to kMaxFastTile rounded up (see period_for).
constexpr std::uint64_t kMaxFastTile = 64;
constexpr std::uint64_t kPatternPixels = 256;

std::uint32_t load_pixel(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store_pixel(std::uint8_t* p, std::uint32_t v) noexcept { std::memcpy(p, &v, sizeof v); }

// Whether tile column c (running from the row's first pixel) selects its pixel.
struct RowMask {
    const std::uint8_t* values;  // the mask row, or nullptr when the row lies past the mask
    std::uint64_t available;     // how many columns of this row exist in the mask
    const TileMask* mask;

    bool selects(std::uint64_t column) const noexcept {
        if (values == nullptr || column >= available) return false;
        return (values[column] >= mask->lim) != mask->rev;
    }
};

RowMask row_mask(const TileMask& mask, std::uint64_t r) noexcept {
    const std::uint64_t size = mask.values.size();
    if (size == 0) return {nullptr, 0, &mask};
    // tx * r may not fit in 64 bits; when it reaches past the mask the whole row is skipped.
    if (r != 0 && mask.tx > (size - 1) / r) return {nullptr, 0, &mask};
    const std::uint64_t base = mask.tx * r;
    if (base >= size) return {nullptr, 0, &mask};
    return {mask.values.data() + base, size - base, &mask};
}

// Walks one row's pixels with a running tile column; used for wide tiles.
void copy_row_scalar(std::uint8_t* dst, const std::uint8_t* src, std::uint64_t pixels,
                     const RowMask& row, std::uint64_t phase_x, std::uint64_t tx) noexcept {
    std::uint64_t column = phase_x;
    for (std::uint64_t x = 0; x < pixels; ++x) {
        if (row.selects(column)) std::memcpy(dst + x * kPixelBytes, src + x * kPixelBytes, 4);
        if (++column == tx) column = 0;
    }
}

// For tiles of at most kMaxFastTile columns: the row's selection repeats with period tx,
// so it is expanded once into all-ones / all-zeros words over a period of `period` pixels
// (a multiple of tx) and applied as dst = (src & m) | (dst & ~m), which the compiler turns
// into vector code. Rows that select every pixel or none are one copy or nothing.
//
// Only the first tx words are evaluated from the mask; the rest of the period is filled by
// doubling copies of that prefix (a multiple of tx long, so each copy continues the cycle).
// Evaluating all `period` columns cost about as much as the copy itself for a whole row
// of a 4096-pixel image with an 8-pixel tile.
void copy_row_pattern(std::uint8_t* dst, const std::uint8_t* src, std::uint64_t pixels,
                      const RowMask& row, std::uint64_t phase_x, std::uint64_t tx) noexcept {
    const std::uint64_t period = (kPatternPixels / tx) * tx;
    std::uint32_t pattern[kPatternPixels];
    std::uint64_t selected = 0;
    std::uint64_t column = phase_x;
    for (std::uint64_t j = 0; j < tx; ++j) {
        const bool on = row.selects(column);
        pattern[j] = on ? 0xFFFFFFFFu : 0u;
        selected += on;
        if (++column == tx) column = 0;
    }
    if (selected == 0) return;
    if (selected == tx) {
        std::memcpy(dst, src, pixels * kPixelBytes);
        return;
    }
    for (std::uint64_t filled = tx; filled < period; filled *= 2) {
        std::memcpy(pattern + filled, pattern, std::min(filled, period - filled) * sizeof *pattern);
    }
    for (std::uint64_t x = 0; x < pixels; x += period) {
        const std::uint64_t run = std::min(period, pixels - x);
        std::uint8_t* d = dst + x * kPixelBytes;
        const std::uint8_t* s = src + x * kPixelBytes;
        for (std::uint64_t j = 0; j < run; ++j) {
            const std::uint32_t m = pattern[j];
            const std::uint32_t blended =
                (load_pixel(s + j * 4) & m) | (load_pixel(d + j * 4) & ~m);
            store_pixel(d + j * 4, blended);
        }
    }
}

}  // namespace

std::uint64_t pattern_phase(std::int32_t offset, std::uint64_t tile) noexcept {
    // Widen before negating: -(-2^31) must be 2^31, not an overflow.
    const std::int64_t wide = offset;
    if (wide <= 0) return static_cast<std::uint64_t>(-wide) % tile;
    const std::uint64_t rem = static_cast<std::uint64_t>(wide) % tile;
    return rem == 0 ? 0 : tile - rem;
}

void tile_copy(std::span<std::uint8_t> dst, std::span<const std::uint8_t> src, std::uint64_t bx,
               std::uint64_t by, const TileMask& mask) noexcept {
    if (mask.tx == 0 || mask.ty == 0 || src.empty() || dst.empty() || bx == 0 || by == 0) return;
    const std::uint64_t phase_x = pattern_phase(mask.repx, mask.tx);
    const std::uint64_t phase_y = pattern_phase(mask.repy, mask.ty);

    // Pixel offsets grow strictly, so only the first `whole` pixels (those lying wholly
    // inside both images) can be copied and the walk ends there. Counting in pixels keeps
    // every product below the buffer sizes: nothing here can overflow 64 bits.
    const std::uint64_t whole = std::min<std::uint64_t>(dst.size(), src.size()) / kPixelBytes;
    const std::uint64_t rows = std::min(by, whole / bx + (whole % bx != 0));

    std::uint64_t r = phase_y;
    for (std::uint64_t y = 0; y < rows; ++y) {
        const std::uint64_t first = y * bx;  // < whole, so no overflow
        const std::uint64_t pixels = std::min(bx, whole - first);
        const RowMask row = row_mask(mask, r);
        if (row.values != nullptr) {
            std::uint8_t* d = dst.data() + first * kPixelBytes;
            const std::uint8_t* s = src.data() + first * kPixelBytes;
            if (mask.tx <= kMaxFastTile) {
                copy_row_pattern(d, s, pixels, row, phase_x, mask.tx);
            } else {
                copy_row_scalar(d, s, pixels, row, phase_x, mask.tx);
            }
        }
        if (++r == mask.ty) r = 0;
    }
}

}  // namespace native_accel::image
