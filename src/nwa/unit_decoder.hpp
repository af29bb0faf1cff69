// The sample coding of one NWA unit.
//
// A unit starts with the channels' starting values (signed 16-bit little-endian: one for
// mono, left then right for stereo), then a bit stream (see bit_reader.hpp) of one code per
// sample position, channels alternating left, right for stereo:
//
//     3-bit code 0      the value stays; with run-length coding a 1-bit flag follows, and
//                       when it is 1 a 2-bit repeat count r (3 means: an 8-bit r follows):
//                       the next r positions read nothing and keep their channel's value
//     3-bit code 1..6   a sign-and-magnitude mantissa of w bits follows; the magnitude is
//                       shifted left by a shift that depends on (w, code) and added to or,
//                       when the sign (the mantissa's top bit) is set, subtracted from the value
//     3-bit code 7      a 1-bit escape follows: 1 resets the value to 0; 0 is a delta as for
//                       codes 1..6 with a longer mantissa (6, 7 or 8 bits) and a larger shift
//
// Values wrap around at 16 bits; nothing clamps. Each unit starts afresh: values, bit
// position and repeat count never carry over from one unit to the next.
#pragma once

#include <cstdint>
#include <span>

namespace native_accel::nwa {

// The file's compression_level selects code_width: 0 -> 5, 1 -> 4, 2 -> 3, every negative
// level -> 3, and level >= 3 -> (level + 3) mod 256.
std::uint8_t code_width_for_level(std::int32_t compression_level) noexcept;

// Widths 3..7 are used as they are; every other code_width decodes as 8.
unsigned effective_width(std::uint8_t code_width) noexcept;

struct UnitCoding {
    unsigned channels;    // 1 or 2
    std::uint8_t code_width;
    bool use_run_length;
};

// Decodes min(samples, destination.size() / 2) samples of `unit` into destination, two
// bytes each, little-endian; a last odd destination byte is not touched. Never fails.
void decode_unit(std::span<const std::uint8_t> unit, const UnitCoding& coding,
                 std::uint32_t samples, std::span<std::uint8_t> destination) noexcept;

}  // namespace native_accel::nwa
