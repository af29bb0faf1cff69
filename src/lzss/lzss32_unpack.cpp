// The strict decoder of the 4-byte-unit stream.
#include "lzss/lzss32.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

#include "common/little_endian.hpp"
#include "lzss/lzss.hpp"
#include "lzss/stream_decoder.hpp"

namespace native_accel::lzss32 {
namespace {

using little_endian::copy8;
using little_endian::load32;
using lzss::DecodeState;
using lzss::Halt;
using lzss::kHeaderSize;
using lzss::Reference;

// Out of 2 body bytes a reference makes at most 16 units (64 bytes), out of 3 a literal
// makes 4, and flag bytes make none: no stream yields more than 32 bytes per body byte.
constexpr std::size_t kMaxExpansion = 32;

// A literal is never cut and may end up to 3 bytes past unpacked_size.
constexpr std::size_t kLiteralOvershoot = kUnitBytes - 1;

// Appends `length` bytes copied from `distance` bytes back, distance a nonzero multiple of
// 4 no greater than what is written. A reference no longer than its distance reads only
// finished bytes and is one block copy. A longer one overlaps its own output: distance 4
// (a run of one pixel, the common case in pictures) repeats the last unit, and any other
// distance, at least 8, can go in 8-byte steps, each reading bytes that earlier steps wrote.
inline void copy_reference(std::uint8_t* dst, std::size_t distance, std::size_t length) noexcept {
    const std::uint8_t* src = dst - distance;
    if (distance >= length) {
        std::memcpy(dst, src, length);
        return;
    }
    std::size_t k = 0;
    if (distance == kUnitBytes) {
        std::uint8_t pattern[8];
        std::memcpy(pattern, src, kUnitBytes);
        std::memcpy(pattern + kUnitBytes, src, kUnitBytes);
        for (; k + sizeof pattern <= length; k += sizeof pattern) {
            std::memcpy(dst + k, pattern, sizeof pattern);
        }
    } else {
        for (; k + 8 <= length; k += 8) copy8(dst + k, src + k);
    }
    for (; k < length; ++k) dst[k] = src[k];
}

// The unit stream: literals of three stored bytes that decode to four (the fourth 0xFF),
// references of 1 to 16 units, and strictness: distance 0 and a reference reaching before
// the start are errors. The limit is unpacked_size, at which a reference is cut; a literal
// is never cut, so the output may end up to 3 bytes past it.
//
// On the fast path a reference copies whole 8-byte steps (at most 4 bytes past its end,
// its length being a multiple of 4): with distance 8 or more each step reads bytes written
// before it, and distance 4 (one pixel repeated, the common run in pictures) stores its
// 8-byte pattern.
struct UnitStream {
    static constexpr std::size_t kUnitBytes = lzss32::kUnitBytes;
    static constexpr std::size_t kLiteralBytes = lzss32::kLiteralBytes;
    static constexpr std::size_t kMinMatch = lzss32::kMinMatch;
    static constexpr std::size_t kMaxReferenceBytes = kMaxMatch * kUnitBytes;
    static constexpr std::size_t kGroupInput = 1 + lzss::kGroupTokens * kLiteralBytes;
    static constexpr std::size_t kGroupOutput = lzss::kGroupTokens * kMaxReferenceBytes + 8;

    static void write_literal(std::uint8_t* out, const std::uint8_t* in) noexcept {
        std::memcpy(out, in, kLiteralBytes);
        out[kLiteralBytes] = 0xFF;
    }
    static void write_eight_literals(std::uint8_t* out, const std::uint8_t* in) noexcept {
        for (std::size_t k = 0; k < lzss::kGroupTokens; ++k) {
            write_literal(out + k * kUnitBytes, in + k * kLiteralBytes);
        }
    }

    static Halt check(const DecodeState& s, Reference reference) noexcept {
        if (reference.distance == 0) return Halt::distance_zero;
        if (reference.distance > s.produced) return Halt::before_start;
        return Halt::none;
    }

    static Halt copy_careful(DecodeState& s, Reference reference) noexcept {
        if (const Halt halt = check(s, reference); halt != Halt::none) return halt;
        const std::size_t length = std::min(reference.length, s.limit - s.produced);
        assert(s.capacity - s.produced >= length);
        copy_reference(s.out + s.produced, reference.distance, length);
        s.produced += length;
        return Halt::none;
    }

    static Halt copy_fast(DecodeState& s, Reference reference) noexcept {
        if (const Halt halt = check(s, reference); halt != Halt::none) return halt;
        assert(s.capacity - s.produced >= kMaxReferenceBytes + 4);
        std::uint8_t* d = s.out + s.produced;
        const std::uint8_t* from = d - reference.distance;
        if (reference.distance == kUnitBytes) {
            std::uint8_t pattern[8];
            std::memcpy(pattern, from, kUnitBytes);
            std::memcpy(pattern + kUnitBytes, from, kUnitBytes);
            for (std::size_t k = 0; k < reference.length; k += 8) std::memcpy(d + k, pattern, 8);
        } else {
            for (std::size_t k = 0; k < reference.length; k += 8) copy8(d + k, from + k);
        }
        s.produced += reference.length;
        return Halt::none;
    }
};

}  // namespace

Outcome<std::size_t> unpack_bound(std::span<const std::uint8_t> stream) {
    const std::size_t n = stream.size();
    if (n < kHeaderSize) return BodyError{"lzss32 short"};
    const std::size_t unpacked_size = load32(stream.data() + 4);
    if (unpacked_size == 0) return std::size_t{0};
    // A header may announce up to 4 GiB - 1: size the output by what the body can produce.
    const std::size_t body = n - kHeaderSize;
    const std::size_t producible = body > std::numeric_limits<std::size_t>::max() / kMaxExpansion
                                       ? std::numeric_limits<std::size_t>::max()
                                       : body * kMaxExpansion;
    return std::min(unpacked_size + kLiteralOvershoot, producible);
}

Outcome<std::size_t> unpack_into(std::span<const std::uint8_t> stream,
                                 std::span<std::uint8_t> out) {
    const auto bound = unpack_bound(stream);
    if (!bound.ok()) return BodyError{bound.error()};
    const std::size_t unpacked_size = load32(stream.data() + 4);
    if (unpacked_size == 0) return std::size_t{0};
    assert(out.size() >= bound.value());

    DecodeState state{stream.data(), stream.size(), kHeaderSize, out.data(), out.size(),
                      unpacked_size, 0};
    switch (lzss::decode<UnitStream>(state)) {
        case Halt::none:
            return state.produced;
        case Halt::out_of_input:
            return BodyError{"lzss32 eof"};
        case Halt::distance_zero:
            return BodyError{"lzss32 off0"};
        case Halt::before_start:
            return BodyError{"lzss32 back"};
    }
    return BodyError{"lzss32 eof"};  // not reached: every halt is handled above
}

Outcome<ByteBuffer> unpack(std::span<const std::uint8_t> stream) {
    const auto bound = unpack_bound(stream);
    if (!bound.ok()) return BodyError{bound.error()};
    ByteBuffer out(bound.value());
    const auto produced = unpack_into(stream, out);
    if (!produced.ok()) return BodyError{produced.error()};
    out.resize(produced.value());
    return out;
}

}  // namespace native_accel::lzss32
