// The greedy parse of both LZSS encoders: each token is the longest match the search tree
// finds for its position (a literal when there is none of kMinMatch units), and every
// position the token covers enters the tree before the next token is chosen. Tokens are
// gathered eight to a group behind their flag byte, and each group is written out whole.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "lzss/lzss.hpp"
#include "lzss/lzss32.hpp"
#include "lzss/search_tree.hpp"

namespace native_accel::lzss {

// What a stream's units are, for the parse:
//   Unit                    the unit type;
//   kMinMatch, kMaxMatch    the shortest match written as a reference, the longest;
//   kLiteralBytes           bytes of a literal token;
//   write_literal(p, unit)  stores a literal token at p.

// The byte stream: a literal is the byte itself, a reference holds 2 to 17 bytes.
struct ByteFormat {
    using Unit = std::uint8_t;
    static constexpr std::size_t kMinMatch = lzss::kMinMatch;
    static constexpr std::size_t kMaxMatch = lzss::kMaxMatch;
    static constexpr std::size_t kLiteralBytes = 1;
    static void write_literal(std::uint8_t* p, std::uint8_t unit) noexcept { *p = unit; }
};

// The 4-byte-unit stream: a literal stores bytes 0, 1 and 2 of its unit (byte 3 is
// dropped), a reference holds 1 to 16 units.
struct UnitFormat {
    using Unit = std::uint32_t;
    static constexpr std::size_t kMinMatch = lzss32::kMinMatch;
    static constexpr std::size_t kMaxMatch = lzss32::kMaxMatch;
    static constexpr std::size_t kLiteralBytes = lzss32::kLiteralBytes;
    static void write_literal(std::uint8_t* p, std::uint32_t unit) noexcept {
        p[0] = static_cast<std::uint8_t>(unit);
        p[1] = static_cast<std::uint8_t>(unit >> 8);
        p[2] = static_cast<std::uint8_t>(unit >> 16);
    }
};

// Greedy parse of `units` into the stream's groups, written into out from offset
// kHeaderSize on (the header is the caller's); returns the end of the last group. `out`
// must hold the longest stream the units can make (the encoder's pack_bound). A reference
// is the 16-bit word (distance << 4) | (length - kMinMatch), low byte first. The tail
// group is written when it holds a token, or when empty and keep_empty_tail. Tree is the
// match finder (the micro-benchmark and the checks pass other ways of running it).
template <class Format, template <class> class Tree = SearchTree>
std::size_t encode_groups(std::span<const typename Format::Unit> units, std::size_t max_match,
                          bool keep_empty_tail, std::span<std::uint8_t> out) {
    using Unit = typename Format::Unit;
    constexpr std::size_t kGroupCapacity =
        1 + kGroupTokens * (Format::kLiteralBytes > 2 ? Format::kLiteralBytes : 2);
    const std::size_t n = units.size();
    assert(n >= 1 && max_match >= Format::kMinMatch);
    assert(out.size() >= kHeaderSize);

    auto tree = std::make_unique<Tree<Unit>>(units);
    std::array<std::uint8_t, kGroupCapacity> group;
    std::size_t group_length = 1;
    std::size_t written = kHeaderSize;
    std::size_t position = 0;
    std::uint16_t node = 0;
    Match match;  // position 0 is never searched: the first token is a literal
    std::size_t advance = 0;
    // Each group ends up in out in one piece; the caller's bound leaves room for it.
    auto flush_group = [&] {
        assert(out.size() - written >= group_length);
        std::memcpy(out.data() + written, group.data(), group_length);
        written += group_length;
    };

    for (;;) {
        group[0] = 0;
        group_length = 1;
        for (unsigned slot = 0; slot < kGroupTokens; ++slot) {
            // Every position the previous token covered enters the tree; the search of the
            // last one gives the match of the next token.
            for (; advance > 0; --advance) {
                const std::size_t h = position + 1;
                node = static_cast<std::uint16_t>((node + 1) & kSlotMask);
                tree->remove(node);  // position h - 4096 leaves the window
                if (h >= n) goto finish;
                match = tree->insert(h, std::min(n - h, max_match), advance == 1);
                position = h;
            }
            if (match.length >= Format::kMinMatch) {
                const std::size_t word = (((std::size_t{node} - match.node) & kSlotMask) << 4) |
                                         (match.length - Format::kMinMatch);
                group[group_length] = static_cast<std::uint8_t>(word);
                group[group_length + 1] = static_cast<std::uint8_t>(word >> 8);
                group_length += 2;
                advance = match.length;
            } else {
                group[0] |= static_cast<std::uint8_t>(1u << slot);
                Format::write_literal(group.data() + group_length, units[position]);
                group_length += Format::kLiteralBytes;
                advance = 1;
            }
        }
        flush_group();
    }
finish:
    if (group_length > 1 || keep_empty_tail) flush_group();
    return written;
}

}  // namespace native_accel::lzss
