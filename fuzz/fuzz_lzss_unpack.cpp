// lzss_unpack on arbitrary bytes, against the step-by-step reference decoder: both must
// give the same bytes for every input, and the body may not read past the stream.
#include "lzss/lzss.hpp"
#include "reference_lzss.hpp"

#include <algorithm>
#include <string>

namespace {

using native_accel::fuzz::Bytes;

// A stream of the given groups behind a header announcing `unpacked_size`.
Bytes stream(std::uint32_t unpacked_size, std::initializer_list<std::uint8_t> body) {
    Bytes out;
    native_accel::fuzz::append_u32_le(out, static_cast<std::uint32_t>(8 + body.size()));
    native_accel::fuzz::append_u32_le(out, unpacked_size);
    out.insert(out.end(), body);
    return out;
}

std::vector<Bytes> seeds() {
    std::vector<Bytes> out = {
        stream(8, {0x01, 0x61, 0x15, 0x00}),                                // run at distance 1
        stream(24, {0x07, 0x61, 0x62, 0x63, 0x3f, 0x00, 0x32, 0x00}),       // overlapping copies
        stream(4, {0x03, 0x78, 0x79, 0x30, 0x00}),                          // reaches before 0
        stream(16, {0x03, 0x78, 0x79, 0x00, 0x00, 0x10, 0x00}),             // distance 0
        stream(0xFFFFFFFFu, {0xff, 1, 2, 3, 4, 5, 6, 7, 8, 0x00, 0x1f, 0x00, 0xff, 0xff}),
    };
    // What the encoder writes: text-like data at a few levels, and a long stretch that
    // uses the whole window.
    Bytes data;
    for (std::size_t i = 0; data.size() < 6000; ++i) {
        const std::string word = i % 7 == 0 ? "abracadabra " : i % 3 == 0 ? "cadabra " : "abra ";
        data.insert(data.end(), word.begin(), word.end());
        data.push_back(static_cast<std::uint8_t>(i));
    }
    for (std::uint64_t level : {2u, 5u, 17u}) {
        for (std::size_t length : {40u, 600u, 6000u}) {
            const auto packed = native_accel::lzss::pack(std::span(data).first(length), level, false);
            if (packed.ok()) out.emplace_back(packed.value().begin(), packed.value().end());
        }
    }
    return out;
}

}  // namespace

// Inputs up to 8 KiB: references reach 4095 bytes back, so a window and more.
NATIVE_ACCEL_FUZZ_SEEDS(seeds, 8192)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const native_accel::ByteBuffer decoded = native_accel::lzss::unpack(input);
    const Bytes expected = native_accel::fuzz::reference_lzss_unpack(input);
    FUZZ_CHECK(decoded.size() == expected.size());
    FUZZ_CHECK(std::equal(decoded.begin(), decoded.end(), expected.begin()));
    return 0;
}
