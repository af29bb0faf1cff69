// xor_cycle with arbitrary keys, data lengths and start positions (those just below the
// 2^64 wrap included), against the one-line definition
//     data[i] ^= code[((start + i) mod 2^64) mod L].
// The body expands short keys into a local pattern and splits the run at the wrap; the
// data sits between poisoned guards, so a run that overshoots is caught where it happens.
#include "crypto/xor_cycle.hpp"
#include "support.hpp"

#include <algorithm>

namespace {

using native_accel::fuzz::Bytes;

Bytes seed(std::uint64_t start, std::uint16_t key_length, std::uint16_t data_length) {
    Bytes out;
    native_accel::fuzz::append_u32_le(out, static_cast<std::uint32_t>(start));
    native_accel::fuzz::append_u32_le(out, static_cast<std::uint32_t>(start >> 32));
    out.push_back(static_cast<std::uint8_t>(key_length));
    out.push_back(static_cast<std::uint8_t>(key_length >> 8));
    out.push_back(static_cast<std::uint8_t>(data_length));
    out.push_back(static_cast<std::uint8_t>(data_length >> 8));
    const Bytes key = native_accel::fuzz::pattern_bytes(key_length, 5);
    out.insert(out.end(), key.begin(), key.end());
    return out;
}

std::vector<Bytes> seeds() {
    return {seed(0, 3, 5), seed(1, 1, 2000), seed(~0ull, 3, 2), seed(~0ull - 700, 7, 1500),
            seed(12345, 255, 3000), seed(77, 256, 3000), seed(9, 1000, 2500)};
}

}  // namespace

// The parameters take 12 bytes; the rest is the key, long keys included.
NATIVE_ACCEL_FUZZ_SEEDS(seeds, 4096)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    native_accel::fuzz::ParamReader in(data, size);
    const std::uint64_t start = in.take<std::uint64_t>();
    const std::size_t key_length = in.take<std::uint16_t>();
    // Several 1 KiB pattern periods and long keys fit in 8 KiB.
    const std::size_t data_length = in.take<std::uint16_t>() % 8193;
    const std::span<const std::uint8_t> key_bytes = in.take_bytes(key_length);
    const Bytes code(key_bytes.begin(), key_bytes.end());  // exact size, for the sanitizer

    const Bytes before = native_accel::fuzz::pattern_bytes(data_length, 2);
    native_accel::fuzz::GuardedBuffer buffer(before);
    native_accel::crypto::xor_cycle(buffer.span(), code, start);
    FUZZ_CHECK(buffer.intact());

    Bytes expected = before;
    if (!code.empty()) {
        for (std::size_t i = 0; i < expected.size(); ++i) {
            expected[i] ^= code[(start + i) % code.size()];  // unsigned: wraps at 2^64
        }
    }
    FUZZ_CHECK(std::equal(expected.begin(), expected.end(), buffer.span().begin()));
    return 0;
}
