#include <algorithm>
#include <cstring>

#include "lzss/lzss.hpp"

namespace native_accel::lzss {
namespace {

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

}  // namespace

ByteBuffer unpack(std::span<const std::uint8_t> stream) {
    ByteBuffer out;
    const std::size_t n = stream.size();
    if (n <= kHeaderSize) return out;
    const std::size_t unpacked_size = read_u32_le(stream.data() + 4);
    if (unpacked_size == 0) return out;

    // A header may announce up to 4 GiB - 1; size the buffer by what the body can produce.
    const std::size_t limit = std::min(unpacked_size, (n - kHeaderSize) * kMaxExpansion);
    out.resize(limit);

    const std::uint8_t* in = stream.data();
    std::uint8_t* dst = out.data();
    std::size_t i = kHeaderSize;
    std::size_t produced = 0;
    while (i < n && produced < limit) {
        unsigned flags = in[i++];
        for (std::size_t bit = 0; bit < kGroupTokens && produced < limit; ++bit, flags >>= 1) {
            if (flags & 1u) {
                if (i >= n) goto done;  // literal without its byte: the input is used up
                dst[produced++] = in[i++];
            } else {
                if (i + 1 >= n) goto done;  // reference without both its bytes
                const std::size_t word = in[i] | static_cast<std::size_t>(in[i + 1]) << 8;
                i += 2;
                produced = copy_reference(dst, produced, limit, word >> 4,
                                          (word & 0x0F) + kMinMatch);
            }
        }
    }
done:
    out.resize(produced);
    return out;
}

}  // namespace native_accel::lzss
