// lzss_unpack on arbitrary bytes, against a reference decoder that follows the stream
// rules one step at a time: one byte per copy step, a step whose source lies before the
// output appending nothing, the output growing by push_back and never sized from the
// header. The body sizes its buffer up front and copies whole runs where it can; both
// must give the same bytes for every input, and neither may read past the stream.
#include "lzss/lzss.hpp"
#include "support.hpp"

#include <algorithm>

namespace {

using native_accel::fuzz::Bytes;

Bytes reference_unpack(std::span<const std::uint8_t> in) {
    Bytes out;
    const std::size_t n = in.size();
    if (n < native_accel::lzss::kHeaderSize) return out;
    const std::uint64_t unpacked_size = native_accel::lzss::read_u32_le(in.data() + 4);
    std::size_t i = native_accel::lzss::kHeaderSize;
    while (i < n && out.size() < unpacked_size) {
        const unsigned flags = in[i++];
        for (unsigned bit = 0; bit < 8 && out.size() < unpacked_size; ++bit) {
            if ((flags >> bit) & 1u) {
                if (i >= n) return out;
                out.push_back(in[i++]);
                continue;
            }
            if (i + 1 >= n) return out;
            const unsigned word = in[i] | in[i + 1] << 8;
            i += 2;
            const std::int64_t start =
                static_cast<std::int64_t>(out.size()) - static_cast<std::int64_t>(word >> 4);
            for (unsigned k = 0; k < (word & 0x0Fu) + 2 && out.size() < unpacked_size; ++k) {
                const std::int64_t s = start + k;
                if (s >= 0 && s < static_cast<std::int64_t>(out.size())) out.push_back(out[s]);
            }
        }
    }
    return out;
}

// A stream of the given groups behind a header announcing `unpacked_size`.
Bytes stream(std::uint32_t unpacked_size, std::initializer_list<std::uint8_t> body) {
    Bytes out;
    native_accel::fuzz::append_u32_le(out, static_cast<std::uint32_t>(8 + body.size()));
    native_accel::fuzz::append_u32_le(out, unpacked_size);
    out.insert(out.end(), body);
    return out;
}

std::vector<Bytes> seeds() {
    return {
        stream(8, {0x01, 0x61, 0x15, 0x00}),                                // run at distance 1
        stream(24, {0x07, 0x61, 0x62, 0x63, 0x3f, 0x00, 0x32, 0x00}),       // overlapping copies
        stream(4, {0x03, 0x78, 0x79, 0x30, 0x00}),                          // reaches before 0
        stream(16, {0x03, 0x78, 0x79, 0x00, 0x00, 0x10, 0x00}),             // distance 0
        stream(0xFFFFFFFFu, {0xff, 1, 2, 3, 4, 5, 6, 7, 8, 0x00, 0x1f, 0x00, 0xff, 0xff}),
    };
}

}  // namespace

NATIVE_ACCEL_FUZZ_SEEDS(seeds)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const native_accel::ByteBuffer decoded = native_accel::lzss::unpack(input);
    const Bytes expected = reference_unpack(input);
    FUZZ_CHECK(decoded.size() == expected.size());
    FUZZ_CHECK(std::equal(decoded.begin(), decoded.end(), expected.begin()));
    return 0;
}
