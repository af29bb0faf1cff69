#include "lzss/lzss.hpp"
#include "lzss/search_tree.hpp"

namespace native_accel::lzss {
namespace {

// Units are bytes; a literal is the byte itself and a reference holds 2 to 17 bytes.
struct ByteFormat {
    using Unit = std::uint8_t;
    static constexpr std::size_t kMinMatch = lzss::kMinMatch;
    static constexpr std::size_t kLiteralBytes = 1;
    static void write_literal(std::uint8_t* p, std::uint8_t unit) noexcept { *p = unit; }
};

}  // namespace

Outcome<ByteBuffer> pack(std::span<const std::uint8_t> data, std::uint64_t level,
                         bool suppress_empty_tail_group) {
    const std::size_t n = data.size();
    if (n > kMaxHeaderValue) {
        return BodyError{"lzss: input of 4 GiB or more does not fit the 32-bit header"};
    }
    ByteBuffer out;
    if (n == 0) return out;

    out.resize(kHeaderSize);
    encode_groups<ByteFormat>(data, max_match_for_level(level), !suppress_empty_tail_group,
                              out);
    // All literals cost 9 bytes per 8 input bytes, so an input just under 4 GiB can still
    // give a stream too long for packed_size.
    if (out.size() > kMaxHeaderValue) {
        return BodyError{"lzss: packed stream of 4 GiB or more does not fit the 32-bit header"};
    }
    write_u32_le(out.data(), static_cast<std::uint32_t>(out.size()));
    write_u32_le(out.data() + 4, static_cast<std::uint32_t>(n));
    return out;
}

}  // namespace native_accel::lzss
