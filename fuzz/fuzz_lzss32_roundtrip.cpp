// The 4-byte-unit encoder on arbitrary data: a length that is not a multiple of 4 gets its
// one message, any other stream must carry the right header and decode (body and
// reference) to the data with the fourth byte of every unit set to 0xFF.
#include "lzss/lzss.hpp"
#include "lzss/lzss32.hpp"
#include "reference_lzss.hpp"

#include <algorithm>

namespace {

using native_accel::fuzz::Bytes;

std::vector<Bytes> seeds() {
    Bytes units;
    for (std::uint8_t fourth : {0x00, 0x80, 0xff, 0x00, 0x80, 0xff, 0x7f, 0x80}) {
        units.insert(units.end(), {1, 2, 3, fourth});
    }
    Bytes picture(4 * 1500);
    for (std::size_t i = 0; i < picture.size(); ++i) {
        picture[i] = static_cast<std::uint8_t>((i / 4) % 7 == 0 ? i : (i / 28) * 3 + i % 4);
    }
    return {units, picture, native_accel::fuzz::pattern_bytes(128, 0), Bytes(4 * 100, 0xFF)};
}

}  // namespace

// 8 KiB of data: 2048 units, half the window of 4095 units; the seeds go further.
NATIVE_ACCEL_FUZZ_SEEDS(seeds, 8192)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    const Bytes data(input, input + size);
    const auto packed = native_accel::lzss32::pack(data);
    if (size % 4 != 0) {
        FUZZ_CHECK(!packed.ok() && packed.error() == "lzss32: source size is not a multiple of 4");
        return 0;
    }
    FUZZ_CHECK(packed.ok());
    const Bytes stream(packed.value().begin(), packed.value().end());
    if (data.empty()) {
        FUZZ_CHECK(stream.empty());
        return 0;
    }
    FUZZ_CHECK(native_accel::fuzz::stream_u32(stream, 0) == stream.size());
    FUZZ_CHECK(native_accel::fuzz::stream_u32(stream, 4) == data.size());

    Bytes expected = data;
    for (std::size_t i = 3; i < expected.size(); i += 4) expected[i] = 0xFF;
    const auto decoded = native_accel::lzss32::unpack(stream);
    FUZZ_CHECK(decoded.ok() && std::ranges::equal(decoded.value(), expected));
    const auto reference = native_accel::fuzz::reference_lzss32_unpack(stream);
    FUZZ_CHECK(!reference.error && reference.out == expected);
    return 0;
}
