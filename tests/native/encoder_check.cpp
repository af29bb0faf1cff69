// Byte-for-byte agreement of every search-tree variant of bench/encoder_variants.hpp, and of
// the module's encoders, with `plain`, the format's rules written out, on generated inputs
// of every kind: text-like, runs, gradients of pixels, random bytes, few-symbol noise and
// repeats at the edge of the window. Each input runs through the byte encoder at every
// level (0 to 18 and 2**64 - 1, both settings of the tail-group flag for the module) and
// through the 4-byte-unit encoder. On the smaller inputs the module's tree also checks its
// own invariant (the top nodes of the prefix groups and their counts) after every search
// and removal. Run by tests/test_native_checks.py; exits 1 on a failure.
#include "../../bench/encoder_variants.hpp"
#include "lzss/search_tree_testing.hpp"

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

namespace v = native_accel::lzss::variants;
using native_accel::lzss::SearchTree;
using Bytes = std::vector<std::uint8_t>;
using Rng = std::mt19937_64;

int failures = 0;
long comparisons = 0;

void expect(bool ok, const std::string& what) {
    ++comparisons;
    if (!ok) {
        ++failures;
        if (failures <= 20) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    }
}

// ---- Inputs ------------------------------------------------------------------------------

std::size_t below(Rng& rng, std::size_t bound) { return static_cast<std::size_t>(rng() % bound); }

// Words of a small vocabulary between spaces, line breaks and punctuation, with phrases
// said again: long matches, many equal first bytes.
Bytes text_like(Rng& rng, std::size_t n) {
    std::vector<std::string> words(40);
    for (auto& word : words) {
        for (std::size_t k = 0, len = 1 + below(rng, 9); k < len; ++k) {
            word += static_cast<char>('a' + below(rng, 26));
        }
    }
    Bytes out;
    while (out.size() < n) {
        if (out.size() > 64 && below(rng, 8) == 0) {
            const std::size_t from = below(rng, out.size() - 32);
            out.insert(out.end(), out.begin() + static_cast<std::ptrdiff_t>(from),
                       out.begin() + static_cast<std::ptrdiff_t>(from + 8 + below(rng, 24)));
        } else {
            const std::string& word = words[below(rng, words.size())];
            out.insert(out.end(), word.begin(), word.end());
            out.push_back(".,; \n    "[below(rng, 9)]);
        }
    }
    out.resize(n);
    return out;
}

// Runs of one byte, of every length, from an alphabet of one to four values.
Bytes runs(Rng& rng, std::size_t n) {
    const std::size_t symbols = 1 + below(rng, 4);
    Bytes out;
    while (out.size() < n) {
        out.insert(out.end(), 1 + below(rng, 300), static_cast<std::uint8_t>(below(rng, symbols) * 37));
    }
    out.resize(n);
    return out;
}

// Pixels of slow gradients, some runs of one pixel and a little grain: the long one-sided
// chains of pictures.
Bytes gradients(Rng& rng, std::size_t n) {
    Bytes out(n);
    const std::size_t width = 16 + below(rng, 200);
    const std::size_t step = 1 + below(rng, 12);
    const bool grain = below(rng, 3) == 0;
    for (std::size_t i = 0; i + 4 <= n; i += 4) {
        const std::size_t x = (i / 4) % width;
        const std::size_t y = (i / 4) / width;
        out[i] = static_cast<std::uint8_t>(x / step + (grain ? below(rng, 2) : 0));
        out[i + 1] = static_cast<std::uint8_t>(y);
        out[i + 2] = static_cast<std::uint8_t>((x + y) / (2 * step));
        out[i + 3] = static_cast<std::uint8_t>(below(rng, 5) == 0 ? 0 : 255);
    }
    return out;
}

Bytes noise(Rng& rng, std::size_t n) {
    Bytes out(n);
    for (auto& byte : out) byte = static_cast<std::uint8_t>(rng());
    return out;
}

// Two or three symbols in no order: short matches everywhere, long groups of equal keys.
Bytes few_symbols(Rng& rng, std::size_t n) {
    const std::size_t symbols = 2 + below(rng, 2);
    Bytes out(n);
    for (auto& byte : out) byte = static_cast<std::uint8_t>(below(rng, symbols));
    return out;
}

// A block that occurs nowhere else, said again 4095 or 4096 bytes (or units) after it
// started: one repeat in reach of the window, one just out of it.
Bytes window_edges(Rng& rng, std::size_t n) {
    Bytes out = noise(rng, n);
    for (std::size_t gap : {4095u, 4096u, 4 * 4095u, 4 * 4096u}) {
        const std::size_t length = 8 + below(rng, 40);
        if (gap + length > n) continue;
        const std::size_t at = below(rng, n - gap - length + 1);
        for (std::size_t k = 0; k < length; ++k) out[at + gap + k] = out[at + k];
    }
    return out;
}

// Pieces of every kind back to back.
Bytes mixed(Rng& rng, std::size_t n) {
    Bytes (*const kinds[])(Rng&, std::size_t) = {text_like, runs, gradients, noise, few_symbols};
    Bytes out;
    while (out.size() < n) {
        const Bytes piece = kinds[below(rng, 5)](rng, 64 + below(rng, 3000));
        out.insert(out.end(), piece.begin(), piece.end());
    }
    out.resize(n);
    return out;
}

struct Kind {
    const char* name;
    Bytes (*make)(Rng&, std::size_t);
};

const Kind kKinds[] = {{"text", text_like},          {"runs", runs},   {"gradients", gradients},
                       {"noise", noise},             {"few", few_symbols},
                       {"window", window_edges},     {"mixed", mixed}};

// ---- The module's tree, checking its invariant after every change ------------------------

// The check walks every group, so it runs after every `stride`-th change.
template <class Unit>
struct CheckedTree : SearchTree<Unit> {
    // Entries weighed every 256 searches: on data without repeats they pause and start
    // afresh many times.
    explicit CheckedTree(std::span<const Unit> units) noexcept
        : SearchTree<Unit>(units, {.entry_probe = 256}) {}

    native_accel::lzss::Match insert(std::size_t h, std::size_t m, bool wanted) noexcept {
        const auto found = SearchTree<Unit>::insert(h, m, wanted);
        check();
        return found;
    }

    void remove(std::uint16_t s) noexcept {
        SearchTree<Unit>::remove(s);
        check();
    }

    void check() noexcept {
        if (++changes % stride == 0) consistent = consistent && native_accel::lzss::testing::SearchTreeProbe<Unit>::entries_consistent(*this);
    }

    std::size_t changes = 0;
    static inline std::size_t stride = 1;
    static inline bool consistent = true;
};

// ---- Comparisons -------------------------------------------------------------------------

const std::uint64_t kLevels[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18,
                                 UINT64_MAX};

void check_input(const Bytes& data, const std::string& where, bool checked_tree) {
    const v::NamedVariant& plain = v::kVariants[0];
    for (std::uint64_t level : kLevels) {
        // Every variant at a few levels (the rest share their code paths), the module at all.
        const bool all_variants = level == 2 || level == 5 || level == 17;
        const std::string at = where + " level " + std::to_string(level);
        const Bytes expected = plain.bytes(data, level, false);
        for (const v::NamedVariant& variant : v::kVariants) {
            const bool is_module = std::string(variant.name).rfind("module", 0) == 0;
            if (&variant == &plain || !(all_variants || is_module)) continue;
            expect(variant.bytes(data, level, false) == expected, at + ": " + variant.name);
        }
        expect(v::module_bytes(data, level, true) == plain.bytes(data, level, true),
               at + ": module, empty tail suppressed");
        if (checked_tree && (level == 2 || level == 5 || level == 17)) {
            CheckedTree<std::uint8_t>::consistent = true;
            CheckedTree<std::uint8_t>::stride = data.size() <= 1000 ? 1 : 127;
            expect(v::pack_bytes<CheckedTree>(data, level, false) == expected,
                   at + ": module tree with its invariant checked");
            expect(CheckedTree<std::uint8_t>::consistent, at + ": invariant of the byte tree");
        }
    }
    const Bytes units(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(data.size() & ~std::size_t{3}));
    const Bytes expected = plain.units(units);
    for (const v::NamedVariant& variant : v::kVariants) {
        if (&variant == &plain) continue;
        expect(variant.units(units) == expected, where + " units: " + variant.name);
    }
    if (checked_tree) {
        CheckedTree<std::uint32_t>::consistent = true;
        CheckedTree<std::uint32_t>::stride = units.size() <= 1000 ? 1 : 127;
        expect(v::pack_units<CheckedTree>(units) == expected, where + " units: module tree checked");
        expect(CheckedTree<std::uint32_t>::consistent, where + " units: invariant of the unit tree");
    }
}

}  // namespace

int main() {
    Rng rng(11);
    int inputs = 0;
    // Short inputs (shorter than a word or a prefix from their end), inputs around one and
    // two windows, and a few longer ones.
    const std::size_t sizes[] = {0,    1,    2,    3,    5,    7,    8,    9,    15,   17,
                                 31,   64,   200,  1000, 4095, 4096, 4097, 4100, 6000, 8191,
                                 8192, 8193, 9000, 12000, 20000};
    for (const Kind& kind : kKinds) {
        for (std::size_t size : sizes) {
            const int repeats = size <= 9000 ? 2 : 1;
            for (int r = 0; r < repeats; ++r) {
                const Bytes data = kind.make(rng, size);
                check_input(data, std::string(kind.name) + " size " + std::to_string(size),
                            size <= 9000);
                ++inputs;
            }
        }
    }
    std::printf("%d inputs, %ld comparisons; %d failure(s)\n", inputs, comparisons, failures);
    return failures == 0 ? 0 : 1;
}
