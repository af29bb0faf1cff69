// tile_copy with arbitrary grid and tile sizes, pattern offsets and buffer lengths. The
// destination sits between poisoned guard zones, source and mask in allocations of their
// exact size, so any access outside the three buffers is an AddressSanitizer report; the
// result is compared with a per-pixel reference computed in 128-bit arithmetic, so that
// no product of sizes can wrap in the reference whatever wraps in the body.
#include "image/tile_copy.hpp"
#include "support.hpp"

#include <algorithm>

namespace {

using native_accel::fuzz::Bytes;
using u128 = unsigned __int128;

struct Case {
    std::uint64_t bx, by;
    native_accel::image::TileMask mask;
};

// (-offset) mod tile, from the definition.
std::uint64_t reference_phase(std::int32_t offset, std::uint64_t tile) {
    const __int128 residue = (-static_cast<__int128>(offset)) % static_cast<__int128>(tile);
    return static_cast<std::uint64_t>(residue < 0 ? residue + tile : residue);
}

void reference_copy(std::span<std::uint8_t> dst, std::span<const std::uint8_t> src,
                    const Case& c) {
    const auto& m = c.mask;
    if (m.tx == 0 || m.ty == 0 || c.bx == 0 || c.by == 0) return;
    const std::size_t limit = std::min(dst.size(), src.size());
    // Pixel p = y * bx + x lies at 4p; only those below limit / 4 can be copied. Tile row
    // and column are running counters that start at the phases and wrap at ty and tx.
    const u128 pixels = std::min<u128>(static_cast<u128>(c.bx) * c.by, limit / 4);
    std::uint64_t row = reference_phase(m.repy, m.ty);
    for (u128 first = 0; first < pixels; first += c.bx) {
        const u128 row_base = static_cast<u128>(m.tx) * row;
        std::uint64_t column = reference_phase(m.repx, m.tx);
        for (u128 p = first; p < pixels && p < first + c.bx; ++p) {
            const u128 index = row_base + column;
            if (++column == m.tx) column = 0;
            if (index >= m.values.size()) continue;
            const bool selected = m.values[static_cast<std::size_t>(index)] >= m.lim;
            if (selected == m.rev) continue;
            const std::size_t o = static_cast<std::size_t>(p) * 4;
            std::copy_n(src.begin() + o, 4, dst.begin() + o);
        }
        if (++row == m.ty) row = 0;
    }
}

Bytes encode_case(std::uint8_t bx, std::uint8_t by, std::uint8_t tx, std::uint8_t ty,
                  std::int32_t repx, std::int32_t repy, std::uint8_t flags, std::uint8_t lim,
                  std::uint16_t dst_len, std::uint16_t src_len, Bytes mask) {
    Bytes out = {0, bx, 0, by, 0, tx, 0, ty};
    native_accel::fuzz::append_u32_le(out, static_cast<std::uint32_t>(repx));
    native_accel::fuzz::append_u32_le(out, static_cast<std::uint32_t>(repy));
    out.push_back(flags);
    out.push_back(lim);
    for (std::uint16_t v : {dst_len, src_len}) {
        out.push_back(static_cast<std::uint8_t>(v));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    out.insert(out.end(), mask.begin(), mask.end());
    return out;
}

std::vector<Bytes> seeds() {
    return {
        encode_case(8, 4, 2, 2, 0, 0, 0, 128, 128, 128, {0, 255, 255, 0}),  // checker
        encode_case(4, 4, 1, 1, 0, 0, 0, 0, 10, 100, {0x80}),               // short dst
        encode_case(50, 3, 7, 3, -2147483647 - 1, 5, 1, 1, 600, 600,
                    native_accel::fuzz::pattern_bytes(21, 3)),              // wide, rev
        encode_case(200, 2, 100, 2, 3, -1, 0, 7, 1600, 1601,
                    native_accel::fuzz::pattern_bytes(150, 9)),             // mask too short
    };
}

}  // namespace

// The parameters take 20 bytes; the rest is the mask, up to 4 KiB.
NATIVE_ACCEL_FUZZ_SEEDS(seeds, 4096)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    native_accel::fuzz::ParamReader in(data, size);
    Case c{};
    c.bx = in.take_size();
    c.by = in.take_size();
    c.mask.tx = in.take_size();
    c.mask.ty = in.take_size();
    c.mask.repx = static_cast<std::int32_t>(in.take<std::uint32_t>());
    c.mask.repy = static_cast<std::int32_t>(in.take<std::uint32_t>());
    c.mask.rev = (in.take<std::uint8_t>() & 1u) != 0;
    c.mask.lim = in.take<std::uint8_t>();
    // Up to 16 KiB each: enough for many rows of wide tiles, small enough to run fast.
    const std::size_t dst_len = in.take<std::uint16_t>() % 16385;
    const std::size_t src_len = in.take<std::uint16_t>() % 16385;
    const std::span<const std::uint8_t> mask_bytes = in.rest();

    // Exact-size copies: the fuzzer's own buffer may be followed by more input.
    const Bytes mask(mask_bytes.begin(), mask_bytes.end());
    c.mask.values = mask;
    const Bytes before = native_accel::fuzz::pattern_bytes(dst_len, 1);
    Bytes src = native_accel::fuzz::pattern_bytes(src_len, 1);
    for (auto& byte : src) byte ^= 0xFF;  // every copied byte differs from the one it replaces

    native_accel::fuzz::GuardedBuffer dst(before);
    native_accel::image::tile_copy(dst.span(), src, c.bx, c.by, c.mask);
    FUZZ_CHECK(dst.intact());

    Bytes expected = before;
    reference_copy(expected, src, c);
    FUZZ_CHECK(std::equal(expected.begin(), expected.end(), dst.span().begin()));
    return 0;
}
