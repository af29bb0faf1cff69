// The match finder and greedy parse shared by both LZSS encoders: a binary search tree
// over the positions of a 4096-slot window, keyed on the units that follow each position.
//
// The encoders run over units: bytes for the byte stream, 32-bit pixels for the 4-byte
// variant. Everything else is one code path: the tree, its removal and replacement rules,
// the order in which positions enter and leave it, the tie-breaks and the group assembly.
// The output is fixed to the byte by those rules, so none of them may be "improved":
//
// - every position is inserted, also those inside a match, and the search of position h
//   is what finds the match for the token that starts at h;
// - a node's key is compared for at most m = min(units left, longest match) units; two
//   positions whose next m units agree are the same key, and the newer one replaces the
//   older in the tree (the older can then never be found again);
// - the best match is the first node met (nearest the top) with the greatest length: a
//   later node replaces it only when strictly longer;
// - removal of a node with two children lifts the rightmost node of its left subtree.
//
// A window position p lives in slot p & 0xFFF. Slot 4096 is the header node TREE_ROOT,
// whose right child is the top of the tree; slot 4097, NO_NODE, marks a missing link and
// is also a real entry that Delete and Replace may write (its parent entry is scratch).
#pragma once

#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "lzss/lzss.hpp"

namespace native_accel::lzss {

inline constexpr std::size_t kSlotMask = kWindowSlots - 1;
inline constexpr std::uint16_t kTreeRoot = 4096;
inline constexpr std::uint16_t kNoNode = 4097;
inline constexpr std::size_t kTreeEntries = 4098;

static_assert(std::endian::native == std::endian::little ||
                  std::endian::native == std::endian::big,
              "the word compare needs a byte order in which units keep their memory order");

// Number of equal leading units of a[0 .. m) and b[0 .. m).
//
// Eight bytes at a time: a word holding 8 / sizeof(Unit) units is loaded from each side and
// XORed; the first nonzero unit of the XOR is the first difference. In memory order the
// first unit is the low end of a little-endian word and the high end of a big-endian one.
// No load reaches past a + m or b + m, so the last m % (8 / sizeof(Unit)) units go one by one.
template <class Unit>
[[gnu::always_inline]] inline std::size_t common_length(const Unit* a, const Unit* b,
                                                        std::size_t m) noexcept {
    constexpr std::size_t kUnitsPerWord = sizeof(std::uint64_t) / sizeof(Unit);
    constexpr int kUnitBits = 8 * sizeof(Unit);
    std::size_t i = 0;
    for (; i + kUnitsPerWord <= m; i += kUnitsPerWord) {
        std::uint64_t wa;
        std::uint64_t wb;
        std::memcpy(&wa, a + i, sizeof wa);
        std::memcpy(&wb, b + i, sizeof wb);
        if (const std::uint64_t x = wa ^ wb) {
            if constexpr (std::endian::native == std::endian::little) {
                return i + static_cast<std::size_t>(std::countr_zero(x) / kUnitBits);
            } else {
                return i + static_cast<std::size_t>(std::countl_zero(x) / kUnitBits);
            }
        }
    }
    while (i < m && a[i] == b[i]) ++i;
    return i;
}

// What the search of one position found: the longest match length (0 when no unit
// matched) and the slot of the position it matched.
struct Match {
    std::size_t length = 0;
    std::uint16_t node = 0;
};

template <class Unit>
class SearchTree {
public:
    // Position 0 starts in the tree as its top node.
    explicit SearchTree(std::span<const Unit> units) noexcept : units_(units.data()) {
        parent_.fill(kNoNode);
        left_.fill(kNoNode);
        right_.fill(kNoNode);
        right_[kTreeRoot] = 0;
        parent_[0] = kTreeRoot;
    }

    // Finds the longest match for position h among the window's positions, comparing at
    // most m units (1 <= m <= units left at h), and puts h into the tree. Slot h & 0xFFF
    // must have been removed, and h - 1 is in the tree, so the tree is not empty.
    Match insert(std::size_t h, std::size_t m) noexcept {
        assert(m >= 1);
        const auto d = static_cast<std::uint16_t>(h & kSlotMask);
        const Unit* key = units_ + h;
        Match best;
        std::uint16_t e = right_[kTreeRoot];
        for (;;) {
            // The one position in h - 4095 .. h - 1 whose slot is e (unsigned wrap-around).
            const Unit* candidate = key - ((std::size_t{d} - e) & kSlotMask);
            const std::size_t i = common_length(key, candidate, m);
            if (i > best.length) {
                best = {i, e};
                if (i == m) {  // same key: the newer position takes the older one's place
                    replace(e, d);
                    return best;
                }
            }
            std::uint16_t& child = key[i] < candidate[i] ? left_[e] : right_[e];
            if (child == kNoNode) {
                child = d;
                parent_[d] = e;
                left_[d] = kNoNode;
                right_[d] = kNoNode;
                return best;
            }
            e = child;
        }
    }

    // Takes slot s out of the tree; nothing happens when s is not in it.
    void remove(std::uint16_t s) noexcept {
        if (parent_[s] == kNoNode) return;
        if (right_[s] == kNoNode) {
            splice_out(s, left_[s]);
        } else if (left_[s] == kNoNode) {
            splice_out(s, right_[s]);
        } else {
            // Two children: the rightmost node of the left subtree (which has no right
            // child) leaves its own place to its left child and then takes s's place.
            std::uint16_t q = left_[s];
            while (right_[q] != kNoNode) q = right_[q];
            splice_out(q, left_[q]);
            replace(s, q);
        }
    }

private:
    // Node s, with at most the one child y (possibly NO_NODE), is replaced by y.
    void splice_out(std::uint16_t s, std::uint16_t y) noexcept {
        const std::uint16_t q = parent_[s];
        parent_[y] = q;
        if (right_[q] == s) {
            right_[q] = y;
        } else {
            left_[q] = y;
        }
        parent_[s] = kNoNode;
    }

    // Node d, not in the tree, takes the place and both subtrees of node e.
    void replace(std::uint16_t e, std::uint16_t d) noexcept {
        const std::uint16_t q = parent_[e];
        if (left_[q] == e) {
            left_[q] = d;
        } else {
            right_[q] = d;
        }
        parent_[d] = q;
        left_[d] = left_[e];
        right_[d] = right_[e];
        parent_[left_[e]] = d;
        parent_[right_[e]] = d;
        parent_[e] = kNoNode;
    }

    const Unit* units_;
    std::array<std::uint16_t, kTreeEntries> parent_;
    std::array<std::uint16_t, kTreeEntries> left_;
    std::array<std::uint16_t, kTreeEntries> right_;
};

// Greedy parse of `units` into the stream's groups, written into out from offset
// kHeaderSize on (the header is the caller's); returns the end of the last group. `out`
// must hold the longest stream the units can make (Format::stream_bound). Format supplies:
//   Unit               the unit type;
//   kMinMatch          the shortest match written as a reference (shorter: a literal);
//   kLiteralBytes      bytes of a literal token;
//   write_literal(p, unit)  stores a literal token at p.
// A reference is the 16-bit word (distance << 4) | (length - kMinMatch), low byte first.
// The tail group is written when it holds a token, or when empty and keep_empty_tail.
template <class Format>
std::size_t encode_groups(std::span<const typename Format::Unit> units, std::size_t max_match,
                          bool keep_empty_tail, std::span<std::uint8_t> out) {
    using Unit = typename Format::Unit;
    constexpr std::size_t kGroupCapacity =
        1 + kGroupTokens * (Format::kLiteralBytes > 2 ? Format::kLiteralBytes : 2);
    const std::size_t n = units.size();
    assert(n >= 1 && max_match >= Format::kMinMatch);
    assert(out.size() >= kHeaderSize);

    auto tree = std::make_unique<SearchTree<Unit>>(units);
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
                match = tree->insert(h, std::min(n - h, max_match));
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
