// lzss32_unpack on arbitrary bytes, against the strict reference decoder: the same bytes
// or the same message for every input. The body sizes its buffer from what the body can
// produce and copies references in 8-byte steps; a literal may run up to 3 bytes past
// unpacked_size, which is where an undersized buffer would be overrun.
#include "lzss/lzss.hpp"
#include "lzss/lzss32.hpp"
#include "reference_lzss.hpp"

#include <algorithm>

namespace {

using native_accel::fuzz::Bytes;

Bytes stream(std::uint32_t unpacked_size, std::initializer_list<std::uint8_t> body) {
    Bytes out;
    native_accel::fuzz::append_u32_le(out, 0);
    native_accel::fuzz::append_u32_le(out, unpacked_size);
    out.insert(out.end(), body);
    return out;
}

std::vector<Bytes> seeds() {
    std::vector<Bytes> out = {
        stream(8, {0x03, 1, 2, 3, 4, 5, 6}),
        stream(6, {0x01, 1, 2, 3, 0x10, 0x00}),
        stream(5, {0x03, 1, 2, 3, 4, 5, 6}),
        stream(8, {0x00, 0x10, 0x00}),
        stream(8, {0x01, 1, 2, 3, 0x00, 0x00}),
        stream(8, {0x01, 1, 2, 3, 0x10}),
    };
    // Streams of the packer: runs at distance 1 (one pixel repeated) and longer patterns.
    Bytes pixels(4 * 600);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>((i / 4) % 3 * 40 + i % 4);
    for (std::size_t length : {4u, 64u, 2400u}) {
        const auto packed = native_accel::lzss32::pack(std::span(pixels).first(length));
        if (packed.ok()) out.emplace_back(packed.value().begin(), packed.value().end());
    }
    return out;
}

}  // namespace

// 8 KiB of stream: references reach 4095 units (16 KiB) back only in long outputs.
NATIVE_ACCEL_FUZZ_SEEDS(seeds, 8192)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const auto decoded = native_accel::lzss32::unpack(input);
    const auto expected = native_accel::fuzz::reference_lzss32_unpack(input);
    if (!decoded.ok()) {
        FUZZ_CHECK(expected.error && *expected.error == decoded.error());
        return 0;
    }
    FUZZ_CHECK(!expected.error);
    FUZZ_CHECK(std::ranges::equal(decoded.value(), expected.out));
    return 0;
}
