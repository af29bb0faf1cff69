// Every search-tree variant of bench/encoder_variants.hpp, and the module's encoders, against
// the plain transcription of the format's rules, byte for byte, on arbitrary data: the byte
// encoder at the level the input chooses (small or any 64-bit value) and with the tail-group
// flag it chooses, the 4-byte-unit encoder on the data cut to whole units. Each case runs
// the module and one variant, which the input also chooses, so that a case stays cheap and
// every variant gets its share. An input can also stand for a longer one, its payload tiled
// past the window (see tiled()). The module's tree, run once more, checks its prefix-group
// entries after every search and removal (on long data at intervals).
#include "../bench/encoder_variants.hpp"
#include "lzss/search_tree_testing.hpp"
#include "support.hpp"

#include <string>

namespace {

namespace v = native_accel::lzss::variants;
using native_accel::fuzz::Bytes;

constexpr std::size_t kWindow = 4096;

// Level (small), flag, variant, tiling, drift 0, data.
Bytes seed(std::uint8_t level, bool suppress, std::uint8_t variant, std::uint8_t tiling,
           const Bytes& data) {
    Bytes out = {0, level, static_cast<std::uint8_t>(suppress), variant, tiling, 0};
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::vector<Bytes> seeds() {
    const std::string text = "the tree keeps the first word of every key, and the top node "
                             "of every group of keys that share their first two bytes; ";
    Bytes words;
    while (words.size() < 1500) words.insert(words.end(), text.begin(), text.end());
    Bytes gradient(4 * 600);
    for (std::size_t i = 0; i < gradient.size(); ++i) {
        gradient[i] = static_cast<std::uint8_t>(i % 4 == 3 ? 0xFF : (i / 4) / (3 + i % 4));
    }
    // The variant byte picks one of the table (after plain): a few different ones here.
    // Tiled payloads of 1365 and 1024 bytes repeat 4095 and 4096 bytes apart.
    return {seed(17, false, 8, 0, words),
            seed(3, true, 20, 0, words),
            seed(2, false, 13, 0, Bytes(1500, 'x')),
            seed(17, true, 19, 0, gradient),
            seed(9, false, 18, 3, native_accel::fuzz::pattern_bytes(1365, 3)),
            seed(9, false, 0, 3, native_accel::fuzz::pattern_bytes(1024, 3)),
            seed(17, false, 21, 9, Bytes(words.begin(), words.begin() + 300)),
            seed(4, false, 22, 41, Bytes(gradient.begin(), gradient.begin() + 200))};
}

template <class Unit>
struct CheckedTree : native_accel::lzss::SearchTree<Unit> {
    // Entries weighed every 256 searches: on data without repeats they pause and start
    // afresh many times.
    explicit CheckedTree(std::span<const Unit> units) noexcept
        : native_accel::lzss::SearchTree<Unit>(units, {.entry_probe = 256}) {}

    native_accel::lzss::Match insert(std::size_t h, std::size_t m, bool wanted) noexcept {
        const auto found = native_accel::lzss::SearchTree<Unit>::insert(h, m, wanted);
        ++inserted;
        check();
        return found;
    }

    void remove(std::uint16_t s) noexcept {
        native_accel::lzss::SearchTree<Unit>::remove(s);
        check();
    }

    // Checks from the `from`-th search on, and at every 256th before.
    void check() noexcept {
        if (inserted >= from || inserted % 256 == 0) FUZZ_CHECK(native_accel::lzss::testing::SearchTreeProbe<Unit>::entries_consistent(*this));
    }

    std::size_t inserted = 0;
    static inline std::size_t from = 0;
};

}  // namespace

// Data past the 4096-position window, where positions leave the tree and removals of every
// shape happen, is what tests the tree most; the input reaches it cheaply by tiling (below),
// so that a short input can stand for a long one.
NATIVE_ACCEL_FUZZ_SEEDS(seeds, 2048)

// The payload as it is, or (odd tiling byte) repeated into 4096 + 64 * (tiling >> 1) bytes,
// each copy shifted by `drift` from the one before: repeats a window apart, and runs of
// similar keys whose oldest nodes leave the tree one after the other.
Bytes tiled(std::span<const std::uint8_t> payload, std::uint8_t tiling, std::uint8_t drift) {
    if ((tiling & 1u) == 0 || payload.empty()) return Bytes(payload.begin(), payload.end());
    Bytes out(kWindow + 64 * std::size_t{static_cast<std::uint8_t>(tiling >> 1)});
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(payload[i % payload.size()] + drift * (i / payload.size()));
    }
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    native_accel::fuzz::ParamReader in(input, size);
    const std::uint64_t level = in.take_size();
    const bool suppress = (in.take<std::uint8_t>() & 1u) != 0;
    const v::NamedVariant& chosen =
        v::kVariants[1 + in.take<std::uint8_t>() % (std::size(v::kVariants) - 1)];
    const std::uint8_t tiling = in.take<std::uint8_t>();
    const std::uint8_t drift = in.take<std::uint8_t>();
    const Bytes data = tiled(in.rest(), tiling, drift);  // exact size, for the sanitizer
    // The check walks the whole tree: after every change on short data, and on longer
    // data in its last stretch and every 256 positions (it is slow under the sanitizers;
    // tests/native/encoder_check.cpp checks long inputs more closely).
    CheckedTree<std::uint8_t>::from = data.size() <= 600 ? 0 : data.size() - 24;
    CheckedTree<std::uint32_t>::from = data.size() <= 4 * 600 ? 0 : data.size() / 4 - 24;

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
