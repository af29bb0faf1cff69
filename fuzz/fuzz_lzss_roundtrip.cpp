// The byte encoder on arbitrary data at arbitrary levels: its stream must carry the right
// header and decode, with the body and with the reference decoder, to the data again.
// The first input bytes choose the level (small or any 64-bit value) and the tail-group
// flag; the rest is the data. Two facts about the format are held as well: levels only
// matter through the longest match they allow (0..2 -> 2, 3..16 -> level, 17 up -> 17),
// and suppressing the empty tail group changes the stream only by that final 0x00 byte.
#include "lzss/lzss.hpp"
#include "reference_lzss.hpp"

#include <algorithm>

namespace {

using native_accel::fuzz::Bytes;

Bytes seed(std::uint8_t level, bool suppress, std::span<const std::uint8_t> data) {
    Bytes out = {0, level, static_cast<std::uint8_t>(suppress)};
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::vector<Bytes> seeds() {
    const std::string text = "abracadabra abracadabra abracadabra, said the magician twice";
    const Bytes words(text.begin(), text.end());
    Bytes runs(5000, 'x');
    for (std::size_t i = 0; i < runs.size(); i += 97) runs[i] = static_cast<std::uint8_t>(i);
    Bytes far(8200);  // a repeat 4096 bytes back (out of reach) and 4095 back (in reach)
    for (std::size_t i = 0; i < far.size(); ++i) far[i] = static_cast<std::uint8_t>(i * 7 % 251);
    return {seed(17, false, words), seed(4, true, words), seed(2, false, runs),
            seed(9, true, far), seed(17, true, native_accel::fuzz::pattern_bytes(64, 0))};
}

std::uint64_t effective_level(std::uint64_t level) { return level < 3 ? 2 : std::min<std::uint64_t>(level, 17); }

}  // namespace

// Data up to 6000 bytes: past the 4095-byte window, while each case (three encodings) stays cheap.
NATIVE_ACCEL_FUZZ_SEEDS(seeds, 6000)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    native_accel::fuzz::ParamReader in(input, size);
    const std::uint64_t level = in.take_size();
    const bool suppress = (in.take<std::uint8_t>() & 1u) != 0;
    const std::span<const std::uint8_t> rest = in.rest();
    const Bytes data(rest.begin(), rest.end());  // exact size, for the sanitizer

    auto packed = native_accel::lzss::pack(data, level, suppress);
    FUZZ_CHECK(packed.ok());
    const auto& stream = packed.value();
    if (data.empty()) {
        FUZZ_CHECK(stream.empty());
        return 0;
    }
    FUZZ_CHECK(stream.size() > native_accel::lzss::kHeaderSize);
    FUZZ_CHECK(native_accel::fuzz::stream_u32(stream, 0) == stream.size());
    FUZZ_CHECK(native_accel::fuzz::stream_u32(stream, 4) == data.size());

    const Bytes exact(stream.begin(), stream.end());
    const auto decoded = native_accel::lzss::unpack(exact);
    FUZZ_CHECK(std::ranges::equal(decoded, data));
    FUZZ_CHECK(native_accel::fuzz::reference_lzss_unpack(exact) == data);

    const auto same_level = native_accel::lzss::pack(data, effective_level(level), suppress);
    FUZZ_CHECK(same_level.ok() && std::ranges::equal(same_level.value(), stream));

    // With the other flag: equal, or one 0x00 byte longer (and packed_size one larger).
    const auto other = native_accel::lzss::pack(data, level, !suppress);
    FUZZ_CHECK(other.ok());
    const auto& kept = suppress ? other.value() : stream;
    const auto& dropped = suppress ? stream : other.value();
    if (kept.size() != dropped.size()) {
        FUZZ_CHECK(kept.size() == dropped.size() + 1 && kept.back() == 0x00);
        FUZZ_CHECK(std::equal(dropped.begin() + 8, dropped.end(), kept.begin() + 8));
    } else {
        FUZZ_CHECK(std::ranges::equal(kept, dropped));
    }
    return 0;
}
