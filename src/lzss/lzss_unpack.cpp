// The lenient decoder of the byte stream.
#include <algorithm>
#include <cstring>

#include "common/little_endian.hpp"
#include "lzss/lzss.hpp"
#include "lzss/stream_decoder.hpp"

namespace native_accel::lzss {
namespace {

using little_endian::copy8;

// Appends one reference to out[0 .. produced), never past `limit` bytes in all.
//
// The decoder is lenient about references the encoder never writes, and every length step
// counts whether or not it produces a byte: a step whose source index is negative appends
// nothing. With distance d greater than the output length o, the first d - o steps are
// such empty steps and the rest copy from index 0 on, i.e. as a reference of distance o.
// Distance 0 never produces anything (its source is always the byte being written).
inline std::size_t copy_reference(std::uint8_t* out, std::size_t produced, std::size_t limit,
                                  std::size_t distance, std::size_t length) noexcept {
    if (distance == 0 || produced == 0) return produced;
    if (distance > produced) {
        const std::size_t empty_steps = distance - produced;
        if (empty_steps >= length) return produced;
        length -= empty_steps;
        distance = produced;
    }
    length = std::min(length, limit - produced);
    std::uint8_t* dst = out + produced;
    const std::uint8_t* src = dst - distance;
    if (distance >= length) {
        std::memcpy(dst, src, length);  // source ends before the destination starts
    } else {
        // Overlapping: each byte may be one this reference just wrote ("ab" at distance 2
        // with length 6 gives "ababab"), so it must go one byte at a time.
        for (std::size_t k = 0; k < length; ++k) dst[k] = src[k];
    }
    return produced + length;
}

// Eight bytes of the pattern p[0 .. period) repeated, for a period of 1, 2 or 4 bytes: the
// multiplier places a copy of the period at every multiple of it (byte order does not
// matter, since the word is stored back as it was loaded).
inline std::uint64_t repeat_period(const std::uint8_t* p, std::size_t period) noexcept {
    if (period == 1) return p[0] * 0x0101010101010101ull;
    if (period == 2) {
        std::uint16_t v;
        std::memcpy(&v, p, 2);
        return v * 0x0001000100010001ull;
    }
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v * 0x0000000100000001ull;
}

// The byte stream: literals of one byte, references of 2 to 17 bytes, and leniency: a
// reference the encoder never writes (distance 0, or reaching before the start) makes
// empty steps instead of an error.
//
// On the fast path the common references become fixed-size copies:
//   - with 8 <= distance <= produced, 24 bytes in three 8-byte steps, whatever the length.
//     Each step reads only bytes that an earlier step or token has written (its source
//     ends 8 or more bytes before its destination), so the result is that of the
//     byte-by-byte copy; the bytes past the reference's length are scratch, overwritten by
//     the tokens that follow, and lie inside the margin.
//   - with distance 1, 2 or 4 (a run of one byte, or of a 2- or 4-byte pixel, common in
//     images), 24 bytes of the repeating pattern.
// Other references (distance 3, 5, 6 or 7, where the copy reads bytes it writes itself;
// distance 0 or beyond the output so far) take the careful copy.
struct ByteStream {
    static constexpr std::size_t kUnitBytes = 1;
    static constexpr std::size_t kLiteralBytes = 1;
    static constexpr std::size_t kMinMatch = lzss::kMinMatch;
    static constexpr std::size_t kReferenceCopy = 24;
    static constexpr std::size_t kGroupInput = 1 + kGroupTokens * kReferenceBytes;
    static constexpr std::size_t kGroupOutput = (kGroupTokens - 1) * kMaxMatch + kReferenceCopy;
    static constexpr unsigned kShortPeriods = 1u << 1 | 1u << 2 | 1u << 4;
    static_assert(kReferenceCopy >= kMaxMatch);

    static void write_literal(std::uint8_t* out, const std::uint8_t* in) noexcept { *out = *in; }
    static void write_eight_literals(std::uint8_t* out, const std::uint8_t* in) noexcept {
        copy8(out, in);
    }

    static Halt copy_careful(DecodeState& s, Reference reference) noexcept {
        s.produced = copy_reference(s.out, s.produced, s.limit, reference.distance,
                                    reference.length);
        return Halt::none;
    }

    static Halt copy_fast(DecodeState& s, Reference reference) noexcept {
        assert(s.capacity - s.produced >= kReferenceCopy);
        const std::size_t distance = reference.distance;
        std::uint8_t* d = s.out + s.produced;
        if (distance >= 8 && distance <= s.produced) {
            const std::uint8_t* from = d - distance;
            copy8(d, from);
            copy8(d + 8, from + 8);
            copy8(d + 16, from + 16);
        } else if (distance < 8 && distance <= s.produced && (kShortPeriods >> distance & 1u)) {
            const std::uint64_t pattern = repeat_period(d - distance, distance);
            std::memcpy(d, &pattern, 8);
            std::memcpy(d + 8, &pattern, 8);
            std::memcpy(d + 16, &pattern, 8);
        } else {
            return copy_careful(s, reference);
        }
        s.produced += reference.length;
        return Halt::none;
    }
};

}  // namespace

std::size_t unpack_bound(std::span<const std::uint8_t> stream) noexcept {
    const std::size_t n = stream.size();
    if (n <= kHeaderSize) return 0;
    const std::size_t unpacked_size = little_endian::load32(stream.data() + 4);
    return std::min(unpacked_size, (n - kHeaderSize) * kMaxExpansion);
}

std::size_t unpack_into(std::span<const std::uint8_t> stream,
                        std::span<std::uint8_t> out) noexcept {
    // The output never exceeds the bound, so a destination of exactly the bound decodes
    // as if it were unpacked_size bytes long.
    const std::size_t limit = std::min(out.size(), unpack_bound(stream));
    if (limit == 0) return 0;
    DecodeState state{stream.data(), stream.size(), kHeaderSize, out.data(), limit, limit, 0};
    // Every halt is an end here: the input used up is the stream's lenient end, and the
    // byte stream's copies never stop on a reference.
    decode<ByteStream>(state);
    return state.produced;
}

ByteBuffer unpack(std::span<const std::uint8_t> stream) {
    ByteBuffer out(unpack_bound(stream));
    out.resize(unpack_into(stream, out));
    return out;
}

}  // namespace native_accel::lzss
