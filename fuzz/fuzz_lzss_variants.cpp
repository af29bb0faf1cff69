// Every search-tree variant of bench/encoder_variants.hpp, and the module's encoders, against
// the plain transcription of the format's rules, byte for byte, on arbitrary data: the byte
// encoder at the level the input chooses (small or any 64-bit value) and with the tail-group
// flag it chooses, the 4-byte-unit encoder on the data cut to whole units. Each case runs
// the module and one variant, which the input also chooses, so that a case stays cheap and
// every variant gets its share. The module's tree also checks its group entries after every
// search and removal (every 97th on longer data).
#include "../bench/encoder_variants.hpp"
#include "support.hpp"

#include <string>

namespace {

namespace v = native_accel::lzss::variants;
using native_accel::fuzz::Bytes;

// Level (small), flag, variant, data.
Bytes seed(std::uint8_t level, bool suppress, std::uint8_t variant, const Bytes& data) {
    Bytes out = {0, level, static_cast<std::uint8_t>(suppress), variant};
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::vector<Bytes> seeds() {
    const std::string text = "the tree keeps the first word of every key, and the top node "
                             "of every group of keys that share their first two bytes; ";
    Bytes words;
    while (words.size() < 1500) words.insert(words.end(), text.begin(), text.end());
    Bytes edge = native_accel::fuzz::pattern_bytes(4200, 3);  // repeats 4095 and 4096 back
    for (std::size_t k = 0; k < 16; ++k) edge[4095 + k] = edge[k];
    Bytes gradient(4 * 600);
    for (std::size_t i = 0; i < gradient.size(); ++i) {
        gradient[i] = static_cast<std::uint8_t>(i % 4 == 3 ? 0xFF : (i / 4) / (3 + i % 4));
    }
    // The variant byte picks one of the table (after plain): a few different ones here.
    return {seed(17, false, 8, words), seed(3, true, 20, words), seed(2, false, 13, Bytes(1500, 'x')),
            seed(9, false, 18, edge), seed(17, true, 19, gradient), seed(5, false, 0, gradient)};
}

template <class Unit>
struct CheckedTree : native_accel::lzss::SearchTree<Unit> {
    explicit CheckedTree(std::span<const Unit> units) noexcept
        : native_accel::lzss::SearchTree<Unit>(units) {}

    native_accel::lzss::Match insert(std::size_t h, std::size_t m, bool wanted) noexcept {
        const auto found = native_accel::lzss::SearchTree<Unit>::insert(h, m, wanted);
        check();
        return found;
    }

    void remove(std::uint16_t s) noexcept {
        native_accel::lzss::SearchTree<Unit>::remove(s);
        check();
    }

    void check() noexcept {
        if (++changes % stride == 0) FUZZ_CHECK(this->entries_consistent());
    }

    std::size_t changes = 0;
    static inline std::size_t stride = 1;
};

}  // namespace

// 6000 bytes: past the 4096-position window, while each case (8 encodings) stays cheap.
NATIVE_ACCEL_FUZZ_SEEDS(seeds, 6000)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    native_accel::fuzz::ParamReader in(input, size);
    const std::uint64_t level = in.take_size();
    const bool suppress = (in.take<std::uint8_t>() & 1u) != 0;
    const v::NamedVariant& chosen =
        v::kVariants[1 + in.take<std::uint8_t>() % (std::size(v::kVariants) - 1)];
    const std::span<const std::uint8_t> rest = in.rest();
    const Bytes data(rest.begin(), rest.end());  // exact size, for the sanitizer
    CheckedTree<std::uint8_t>::stride = data.size() <= 400 ? 1 : 97;
    CheckedTree<std::uint32_t>::stride = data.size() <= 4 * 400 ? 1 : 97;

    const v::NamedVariant& plain = v::kVariants[0];
    const Bytes expected = plain.bytes(data, level, suppress);
    FUZZ_CHECK(v::module_bytes(data, level, suppress) == expected);
    FUZZ_CHECK(chosen.bytes(data, level, suppress) == expected);
    FUZZ_CHECK(v::pack_bytes<CheckedTree>(data, level, suppress) == expected);

    const Bytes units(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(data.size() & ~std::size_t{3}));
    const Bytes expected_units = plain.units(units);
    FUZZ_CHECK(v::module_units(units) == expected_units);
    FUZZ_CHECK(chosen.units(units) == expected_units);
    FUZZ_CHECK(v::pack_units<CheckedTree>(units) == expected_units);
    return 0;
}
