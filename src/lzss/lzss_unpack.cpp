#include <algorithm>
#include <cstring>

#include "common/little_endian.hpp"
#include "lzss/lzss.hpp"

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

// The fast path decodes whole groups while a group cannot run out of input (a flag byte
// and eight 2-byte references) and cannot reach the output limit (eight references of
// kMaxMatch bytes, plus the bytes a reference copy writes past its end). Inside it no token
// needs a bounds test, so the common cases become fixed-size copies:
//   - eight literals in a row (flag byte 0xFF) are one 8-byte copy;
//   - a reference with 8 <= distance <= produced copies 24 bytes in three 8-byte steps,
//     whatever its length. Each step reads only bytes that an earlier step or token has
//     written (its source ends 8 or more bytes before its destination), so the result is
//     that of the byte-by-byte copy; the bytes past the reference's length are scratch,
//     overwritten by the tokens that follow, and lie inside the buffer by the condition.
//   - a reference with distance 1, 2 or 4 (a run of one byte, or of a 2- or 4-byte pixel,
//     common in images) stores 24 bytes of its repeating pattern.
// Other references (distance 3, 5, 6 or 7, where the copy reads bytes it writes itself;
// distance 0 or beyond the output so far) take copy_reference, the plain path.
constexpr std::size_t kGroupInput = 1 + 2 * kGroupTokens;
constexpr std::size_t kReferenceCopy = 24;
constexpr std::size_t kGroupOutput = (kGroupTokens - 1) * kMaxMatch + kReferenceCopy;
constexpr unsigned kShortPeriods = 1u << 1 | 1u << 2 | 1u << 4;

// Decodes groups while both margins hold; returns with i and produced advanced past them.
inline void unpack_fast_groups(const std::uint8_t* in, std::size_t n, std::size_t& i,
                               std::uint8_t* dst, std::size_t limit,
                               std::size_t& produced) noexcept {
    std::size_t at = i;
    std::size_t o = produced;
    while (n - at >= kGroupInput && limit - o >= kGroupOutput) {
        unsigned flags = in[at++];
        if (flags == 0xFF) {
            copy8(dst + o, in + at);
            at += kGroupTokens;
            o += kGroupTokens;
            continue;
        }
        for (std::size_t bit = 0; bit < kGroupTokens; ++bit, flags >>= 1) {
            if (flags & 1u) {
                dst[o++] = in[at++];
                continue;
            }
            const std::size_t word = little_endian::load16(in + at);
            at += 2;
            const std::size_t distance = word >> 4;
            const std::size_t length = (word & 0x0F) + kMinMatch;
            if (distance >= 8 && distance <= o) {
                std::uint8_t* d = dst + o;
                const std::uint8_t* s = d - distance;
                copy8(d, s);
                copy8(d + 8, s + 8);
                copy8(d + 16, s + 16);
                o += length;
            } else if (distance < 8 && distance <= o && (kShortPeriods >> distance & 1u)) {
                std::uint8_t* d = dst + o;
                const std::uint64_t pattern = repeat_period(d - distance, distance);
                std::memcpy(d, &pattern, 8);
                std::memcpy(d + 8, &pattern, 8);
                std::memcpy(d + 16, &pattern, 8);
                o += length;
            } else {
                o = copy_reference(dst, o, limit, distance, length);
            }
        }
    }
    i = at;
    produced = o;
}

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
    const std::size_t n = stream.size();
    const std::size_t limit = std::min(out.size(), unpack_bound(stream));
    if (limit == 0) return 0;

    const std::uint8_t* in = stream.data();
    std::uint8_t* dst = out.data();
    std::size_t i = kHeaderSize;
    std::size_t produced = 0;
    unpack_fast_groups(in, n, i, dst, limit, produced);
    while (i < n && produced < limit) {
        unsigned flags = in[i++];
        for (std::size_t bit = 0; bit < kGroupTokens && produced < limit; ++bit, flags >>= 1) {
            if (flags & 1u) {
                if (i >= n) return produced;  // literal without its byte: the input is used up
                dst[produced++] = in[i++];
            } else {
                if (i + 1 >= n) return produced;  // reference without both its bytes
                const std::size_t word = little_endian::load16(in + i);
                i += 2;
                produced = copy_reference(dst, produced, limit, word >> 4,
                                          (word & 0x0F) + kMinMatch);
            }
        }
    }
    return produced;
}

ByteBuffer unpack(std::span<const std::uint8_t> stream) {
    ByteBuffer out(unpack_bound(stream));
    out.resize(unpack_into(stream, out));
    return out;
}

}  // namespace native_accel::lzss
