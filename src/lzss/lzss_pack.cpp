// The byte encoder.
#include <cassert>

#include "common/little_endian.hpp"
#include "lzss/greedy_parse.hpp"
#include "lzss/lzss.hpp"

namespace native_accel::lzss {

Outcome<std::size_t> pack_bound(std::size_t n) {
    if (n > kMaxHeaderValue) {
        return BodyError{"lzss: input of 4 GiB or more does not fit the 32-bit header"};
    }
    if (n == 0) return std::size_t{0};
    // Each token takes at most one stream byte per input byte it covers (a literal 1 for 1,
    // a reference 2 for 2 or more), and every group of up to 8 tokens one flag byte, plus
    // the empty tail group.
    return kHeaderSize + n + (n + kGroupTokens - 1) / kGroupTokens + 1;
}

Outcome<std::size_t> pack_into(std::span<const std::uint8_t> data, std::uint64_t level,
                               bool suppress_empty_tail_group, std::span<std::uint8_t> out) {
    const auto bound = pack_bound(data.size());
    if (!bound.ok()) return BodyError{bound.error()};
    const std::size_t n = data.size();
    if (n == 0) return std::size_t{0};
    assert(out.size() >= bound.value());

    const std::size_t length = encode_groups<ByteFormat>(data, max_match_for_level(level),
                                                         !suppress_empty_tail_group, out);
    // All literals cost 9 bytes per 8 input bytes, so an input just under 4 GiB can still
    // give a stream too long for packed_size.
    if (length > kMaxHeaderValue) {
        return BodyError{"lzss: packed stream of 4 GiB or more does not fit the 32-bit header"};
    }
    little_endian::store32(out.data(), static_cast<std::uint32_t>(length));
    little_endian::store32(out.data() + 4, static_cast<std::uint32_t>(n));
    return length;
}

Outcome<ByteBuffer> pack(std::span<const std::uint8_t> data, std::uint64_t level,
                         bool suppress_empty_tail_group) {
    const auto bound = pack_bound(data.size());
    if (!bound.ok()) return BodyError{bound.error()};
    ByteBuffer out(bound.value());
    const auto length = pack_into(data, level, suppress_empty_tail_group, out);
    if (!length.ok()) return BodyError{length.error()};
    out.resize(length.value());
    return out;
}

}  // namespace native_accel::lzss
