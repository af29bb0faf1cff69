// The 4-byte-unit encoder: the greedy parse of the byte encoder, run over 32-bit pixels.
#include "lzss/lzss32.hpp"

#include <cassert>
#include <vector>

#include "common/little_endian.hpp"
#include "lzss/greedy_parse.hpp"
#include "lzss/lzss.hpp"

namespace native_accel::lzss32 {

using little_endian::load32;
using little_endian::store32;
using lzss::kHeaderSize;

Outcome<std::size_t> pack_bound(std::size_t n) {
    if (n % kUnitBytes != 0) return BodyError{"lzss32: source size is not a multiple of 4"};
    if (n > lzss::kMaxHeaderValue) {
        return BodyError{"lzss32: input of 4 GiB or more does not fit the 32-bit header"};
    }
    if (n == 0) return std::size_t{0};
    // At most one token per unit, a literal being the longest (3 bytes), and one flag byte
    // per group of 8 tokens; no empty tail group.
    const std::size_t units = n / kUnitBytes;
    return kHeaderSize + kLiteralBytes * units + (units + lzss::kGroupTokens - 1) / lzss::kGroupTokens;
}

Outcome<std::size_t> pack_into(std::span<const std::uint8_t> data, std::span<std::uint8_t> out) {
    const auto bound = pack_bound(data.size());
    if (!bound.ok()) return BodyError{bound.error()};
    const std::size_t n = data.size();
    if (n == 0) return std::size_t{0};
    assert(out.size() >= bound.value());

    std::vector<std::uint32_t> units(n / kUnitBytes);
    for (std::size_t k = 0; k < units.size(); ++k) units[k] = load32(data.data() + 4 * k);

    // A literal takes 3 bytes for 4 and a reference 2 for at least 4, so the stream is never
    // longer than the input plus its header and flag bytes: it fits packed_size.
    const std::size_t length = lzss::encode_groups<lzss::UnitFormat>(units, kMaxMatch, false, out);
    store32(out.data(), static_cast<std::uint32_t>(length));
    store32(out.data() + 4, static_cast<std::uint32_t>(n));
    return length;
}

Outcome<ByteBuffer> pack(std::span<const std::uint8_t> data) {
    const auto bound = pack_bound(data.size());
    if (!bound.ok()) return BodyError{bound.error()};
    ByteBuffer out(bound.value());
    const auto length = pack_into(data, out);
    if (!length.ok()) return BodyError{length.error()};
    out.resize(length.value());
    return out;
}
}  // namespace native_accel::lzss32
