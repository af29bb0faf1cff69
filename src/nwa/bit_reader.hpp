// The bit reader of one NWA unit. Fields are read least significant bit first: the first
// field's lowest bit is bit 0 of the unit's first coded byte, and a field may straddle
// bytes. Every bit at or past the unit's end reads as 0, and the read position keeps
// advancing past the end without complaint: a short unit is never an error.
//
// The reader keeps a 64-bit window of unread bits. refill() tops it up to at least
// kRefilledBits valid bits with one bounds test: a full unaligned 8-byte load while 8
// bytes remain, else a zero-padded copy of what is left. Callers then consume up to
// kRefilledBits bits through peek()/skip() without any further test.
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/little_endian.hpp"

namespace native_accel::nwa {

class BitWindow {
public:
    // After refill() at least this many bits are valid (56 + the bit offset in the byte).
    static constexpr unsigned kRefilledBits = 56;

    BitWindow(std::span<const std::uint8_t> unit, std::uint64_t start_byte) noexcept
        : unit_(unit), next_byte_(start_byte) {}

    // Tops the window up to 56..63 valid bits. The trick: OR the next 8 bytes in above the
    // valid bits and advance only by the whole bytes that fit. The top bits of the window
    // then hold the low bits of a byte that is not yet counted; the next refill ORs the same
    // bits in at the same place again, which changes nothing.
    void refill() noexcept {
        window_ |= load_le64() << valid_;
        next_byte_ += (63 - valid_) >> 3;
        valid_ |= 56;
    }

    // The next bits of the window, lowest first; only the low kRefilledBits are meaningful
    // right after a refill. Bits past the unit's end are 0.
    [[nodiscard]] std::uint64_t peek() const noexcept { return window_; }

    void skip(unsigned count) noexcept {
        assert(count <= valid_);  // bits past the valid ones are not yet the unit's
        window_ >>= count;
        valid_ -= count;
    }

    // A field of 1..16 bits; refills first, so it is usable at any time (slow paths).
    std::uint32_t read(unsigned count) noexcept {
        if (valid_ < count) refill();
        const auto field = static_cast<std::uint32_t>(window_ & ((std::uint64_t{1} << count) - 1));
        skip(count);
        return field;
    }

private:
    std::uint64_t load_le64() const noexcept {
        const std::size_t size = unit_.size();
        // next_byte_ may run past the end (by at most 14 bits a sample), far below 2**64.
        if (next_byte_ + 8 <= size) [[likely]] {
            return little_endian::load64(unit_.data() + next_byte_);
        }
        if (next_byte_ < size) {  // the bytes past the end read as 0
            return little_endian::load64_partial(unit_.data() + next_byte_, size - next_byte_);
        }
        return 0;
    }

    std::span<const std::uint8_t> unit_;
    std::uint64_t next_byte_;  // the first byte not yet ORed wholly into the window
    std::uint64_t window_ = 0;
    unsigned valid_ = 0;
};

}  // namespace native_accel::nwa
