// Ways of running the encoders' search tree, kept side by side so that the choice made in
// src/lzss/search_tree.hpp stays visible and measurable. Every variant walks the same tree
// (same nodes in the same order, same removals and replacements) and so writes the same
// bytes; they differ only in how the work is done. bench/encoder_bench.cpp times them;
// tests/native/encoder_check.cpp and fuzz/fuzz_lzss_variants.cpp hold each of them, and the
// module, to `plain` byte for byte.
//
//   plain         unit by unit, the child link read after the compare has decided: the
//                 format's rules written out, and the yardstick of every check;
//   word          eight bytes at a time, the first differing unit read again to decide, the
//                 chosen child link loaded after a branch (the module's loop until the cache);
//   pair          word, with both child links loaded with the node and the next node picked
//                 by a conditional move once the compare has decided;
//   ordered       pair, deciding from the two differing words themselves, read with their
//                 units reversed so that integer order is string order;
//   cached        ordered, plus a per-slot cache of each node's first word in that order: the
//                 first compare at a node is one load indexed by the slot, and the window is
//                 read only when those words agree;
//   cached_branch cached, with the child link chosen by a branch again;
//   best_cmov     cached, with the best match kept by conditional moves;
//   wanted_only   best_cmov, keeping the best match only in the searches whose result is used;
//   lean_removal  wanted_only, with Delete and Replace rewriting links without branches;
//   lean_branch   lean_removal, with the child link chosen by a branch;
//   adaptiveN     lean_removal, switching to lean_branch after a search of N nodes or more;
//   indexed_attach  lean_removal, the new leaf's link chosen by index instead of a branch;
//   narrow_key    indexed_attach with only the first 4 bytes (1 pixel) of each key cached;
//   records       lean_removal with each node's key and links in one 16-byte record;
//   module_*      the module's SearchTree (src/lzss/search_tree.hpp) with one of its
//                 choices pinned: cmov, branch, root (no prefix-group entries), no_chain (no
//                 skipping of searches that continue a replacement), probe64 (entries
//                 weighed every 64 searches, for the checks), bare (neither entries nor
//                 chains);
//   module        the module's encoders themselves.
//
// "Conditional move" means one: the picks use lzss::pick_below, which writes the cmov out
// on x86-64 (g++ 12 turned plain ternaries back into branches in some instantiations).
//
// The greedy parse around them is the module's own, encode_groups(), given the tree type.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#include "common/little_endian.hpp"
#include "lzss/lzss.hpp"
#include "lzss/lzss32.hpp"
#include "lzss/greedy_parse.hpp"
#include "lzss/search_tree.hpp"

namespace native_accel::lzss::variants {

using lzss::ByteFormat;
using lzss::UnitFormat;

// ---- Words of units in string order (the module's, plus the unordered decision) --------------

// As lzss::diverge, and kOrdered = false: the side read from the differing units again,
// once the word compare has found them, as the module did before the key cache.
template <class Unit, bool kOrdered>
[[gnu::always_inline]] inline Divergence diverge_from(const Unit* a, const Unit* b, std::size_t k,
                                                      std::size_t m) noexcept {
    if constexpr (kOrdered) {
        return diverge(a, b, k, m);
    } else {
        constexpr int kUnitBits = 8 * sizeof(Unit);
        for (; k + kUnitsPerWord<Unit> <= m; k += kUnitsPerWord<Unit>) {
            const std::uint64_t wa = load_word(a + k);
            const std::uint64_t wb = load_word(b + k);
            if (wa != wb) {
                const int bit = std::endian::native == std::endian::little
                                    ? std::countr_zero(wa ^ wb)
                                    : std::countl_zero(wa ^ wb);
                const std::size_t i = k + static_cast<std::size_t>(bit / kUnitBits);
                return {i, a[i], b[i]};
            }
        }
        for (; k < m; ++k) {
            if (a[k] != b[k]) return {k, a[k], b[k]};
        }
        return {m, 0, 0};
    }
}

// ---- plain: the format's rules written out -------------------------------------------------

template <class Unit>
class PlainTree {
public:
    // Position 0 starts in the tree as its top node.
    explicit PlainTree(std::span<const Unit> units) noexcept : units_(units.data()) {
        parent_.fill(kNoNode);
        left_.fill(kNoNode);
        right_.fill(kNoNode);
        right_[kTreeRoot] = 0;
        parent_[0] = kTreeRoot;
    }

    Match insert(std::size_t h, std::size_t m, bool /*wanted*/) noexcept {
        const auto d = static_cast<std::uint16_t>(h & kSlotMask);
        assert(m >= 1 && parent_[d] == kNoNode);  // the slot was removed before
        const std::size_t base = h & ~kSlotMask;
        Match best;
        std::uint16_t e = right_[kTreeRoot];
        for (;;) {
            const std::size_t p = e < d ? base + e : base - kWindowSlots + e;
            std::size_t i = 0;
            while (i < m && units_[h + i] == units_[p + i]) ++i;
            if (i > best.length) {
                best = {i, e};
                if (i == m) {
                    replace(e, d);
                    return best;
                }
            }
            std::uint16_t& child = units_[h + i] < units_[p + i] ? left_[e] : right_[e];
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

    void remove(std::uint16_t s) noexcept {
        if (parent_[s] == kNoNode) return;
        if (right_[s] == kNoNode) {
            splice_out(s, left_[s]);
        } else if (left_[s] == kNoNode) {
            splice_out(s, right_[s]);
        } else {
            std::uint16_t q = left_[s];
            while (right_[q] != kNoNode) q = right_[q];
            splice_out(q, left_[q]);
            replace(s, q);
        }
    }

private:
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

    void replace(std::uint16_t e, std::uint16_t d) noexcept {
        const std::uint16_t q = parent_[e];
        if (left_[q] == e) {
            left_[q] = d;
        } else {
            right_[q] = d;
        }
        parent_[d] = parent_[e];
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

// ---- Every other variant: one descent, its switches -----------------------------------------

enum class Pick {
    branch,    // a branch on the side, then the chosen child link loaded
    cmov,      // both child links loaded with the node, the side chosen by a conditional move
    adaptive,  // cmov, but branch for the search after one that visited long_path nodes
};

struct Descent {
    bool ordered = false;       // decide from the differing words in string order
    bool key_cache = false;     // compare each node's first word from a per-slot cache
    Pick pick = Pick::branch;
    bool best_cmov = false;     // keep the best match with conditional moves
    bool wanted_only = false;   // keep the best match only where the result is used
    bool lean_removal = false;  // Delete and Replace rewrite links without branches
    bool records = false;       // a node's key and links in one 16-byte record
    std::size_t long_path = 0;  // adaptive: a search this long makes the next one branch
    bool indexed_attach = false;  // the new leaf's link chosen by index, not by a branch
    bool narrow_key = false;    // cache only the first 4 bytes of each node (16 KiB, not 32)
};

inline constexpr Descent kWord{};
inline constexpr Descent kPair{.pick = Pick::cmov};
inline constexpr Descent kOrdered{.ordered = true, .pick = Pick::cmov};
inline constexpr Descent kCached{.ordered = true, .key_cache = true, .pick = Pick::cmov};
inline constexpr Descent kCachedBranch{.ordered = true, .key_cache = true};
inline constexpr Descent kBestCmov{
    .ordered = true, .key_cache = true, .pick = Pick::cmov, .best_cmov = true};
inline constexpr Descent kWantedOnly{.ordered = true, .key_cache = true, .pick = Pick::cmov,
                                     .best_cmov = true, .wanted_only = true};
inline constexpr Descent kLeanRemoval{.ordered = true, .key_cache = true, .pick = Pick::cmov,
                                      .best_cmov = true, .wanted_only = true,
                                      .lean_removal = true};
inline constexpr Descent kLeanBranch{.ordered = true, .key_cache = true, .pick = Pick::branch,
                                     .best_cmov = true, .wanted_only = true,
                                     .lean_removal = true};
inline constexpr Descent kRecords{.ordered = true, .key_cache = true, .pick = Pick::cmov,
                                  .best_cmov = true, .wanted_only = true, .lean_removal = true,
                                  .records = true};

inline constexpr Descent kIndexedAttach{.ordered = true, .key_cache = true, .pick = Pick::cmov,
                                        .best_cmov = true, .wanted_only = true,
                                        .lean_removal = true, .indexed_attach = true};
inline constexpr Descent kNarrowKey{.ordered = true, .key_cache = true, .pick = Pick::cmov,
                                    .best_cmov = true, .wanted_only = true, .lean_removal = true,
                                    .indexed_attach = true, .narrow_key = true};

constexpr Descent adaptive(std::size_t long_path) {
    Descent how = kLeanRemoval;
    how.pick = Pick::adaptive;
    how.long_path = long_path;
    return how;
}

// first when take_first, else second, as a mask: no branch whatever the compiler does.
[[gnu::always_inline]] inline std::uint16_t select(bool take_first, std::uint16_t first,
                                                   std::uint16_t second) noexcept {
    const std::uint32_t mask = 0u - static_cast<std::uint32_t>(take_first);
    return static_cast<std::uint16_t>(second ^ ((first ^ second) & mask));
}

// The links (and the key cache) either as separate arrays or as one record per node.
template <bool kRecords, bool kNarrowKey>
class NodeStore;

// The first word of a node's key, or its first half (narrow), in the top bits of a word.
template <bool kNarrowKey>
class NodeStore<false, kNarrowKey> {
    using Key = std::conditional_t<kNarrowKey, std::uint32_t, std::uint64_t>;
    static constexpr int kDrop = 64 - 8 * static_cast<int>(sizeof(Key));

public:
    std::uint64_t key(std::uint32_t e) const noexcept { return std::uint64_t{keys_[e]} << kDrop; }
    void set_key(std::uint32_t e, std::uint64_t word) noexcept {
        keys_[e] = static_cast<Key>(word >> kDrop);
    }
    std::uint16_t& left(std::uint32_t e) noexcept { return links_[1][e]; }
    std::uint16_t& right(std::uint32_t e) noexcept { return links_[0][e]; }
    std::uint16_t& child(std::uint32_t e, bool less) noexcept { return links_[less][e]; }
    std::uint16_t& parent(std::uint32_t e) noexcept { return parent_[e]; }

private:
    std::array<Key, kTreeEntries> keys_;
    std::array<std::uint16_t, kTreeEntries> parent_;
    std::array<std::array<std::uint16_t, kTreeEntries>, 2> links_;  // [0] right, [1] left
};

template <>
class NodeStore<true, false> {
public:
    std::uint64_t key(std::uint32_t e) const noexcept { return nodes_[e].key; }
    void set_key(std::uint32_t e, std::uint64_t word) noexcept { nodes_[e].key = word; }
    std::uint16_t& left(std::uint32_t e) noexcept { return nodes_[e].links[1]; }
    std::uint16_t& right(std::uint32_t e) noexcept { return nodes_[e].links[0]; }
    std::uint16_t& child(std::uint32_t e, bool less) noexcept { return nodes_[e].links[less]; }
    std::uint16_t& parent(std::uint32_t e) noexcept { return nodes_[e].parent; }

private:
    struct alignas(16) Node {
        std::uint64_t key;
        std::uint16_t links[2];  // right, left
        std::uint16_t parent;
    };
    std::array<Node, kTreeEntries> nodes_;
};

template <class Unit, Descent kHow>
class VariantTree {
    static constexpr std::size_t kKeyUnits = kUnitsPerWord<Unit> / (kHow.narrow_key ? 2 : 1);
    static constexpr int kUnitBits = 8 * sizeof(Unit);
    static_assert(kHow.ordered || !kHow.key_cache, "the cache holds words in string order");

public:
    explicit VariantTree(std::span<const Unit> units) noexcept
        : units_(units.data()), n_(units.size()) {
        for (std::uint32_t e = 0; e < kTreeEntries; ++e) {
            nodes_.left(e) = kNoNode;
            nodes_.right(e) = kNoNode;
            nodes_.parent(e) = kNoNode;
        }
        nodes_.right(kTreeRoot) = 0;
        nodes_.parent(0) = kTreeRoot;
        nodes_.set_key(0, leading_word(units_, n_, 0));
    }

    [[gnu::always_inline]] Match insert(std::size_t h, std::size_t m, bool wanted) noexcept {
        constexpr bool kBranch = kHow.pick == Pick::branch;
        if constexpr (kHow.pick == Pick::adaptive) {
            if (last_path_ >= kHow.long_path) {
                return wanted ? descend<true, true>(h, m) : descend<false, true>(h, m);
            }
            return wanted ? descend<true, false>(h, m) : descend<false, false>(h, m);
        } else if constexpr (kHow.wanted_only) {
            return wanted ? descend<true, kBranch>(h, m) : descend<false, kBranch>(h, m);
        } else {
            return descend<true, kBranch>(h, m);
        }
    }

    [[gnu::always_inline]] void remove(std::uint16_t s) noexcept {
        if (nodes_.parent(s) == kNoNode) return;
        const std::uint16_t left = nodes_.left(s);
        const std::uint16_t right = nodes_.right(s);
        if constexpr (kHow.lean_removal) {
            if ((left == kNoNode) | (right == kNoNode)) {
                splice_out(s, select(right == kNoNode, left, right));
                return;
            }
        } else if (right == kNoNode) {
            splice_out(s, left);
            return;
        } else if (left == kNoNode) {
            splice_out(s, right);
            return;
        }
        std::uint16_t q = left;
        while (nodes_.right(q) != kNoNode) q = nodes_.right(q);
        splice_out(q, nodes_.left(q));
        replace(s, q);
    }

private:
    template <bool kTrack, bool kBranch>
    [[gnu::always_inline]] Match descend(std::size_t h, std::size_t m) noexcept {
        const auto d = static_cast<std::uint16_t>(h & kSlotMask);
        assert(m >= 1 && m <= n_ - h);
        assert(nodes_.parent(d) == kNoNode);  // the slot was removed before
        const Unit* key = units_ + h;
        std::uint64_t key_word = 0;
        std::uint64_t key_mask = 0;
        if constexpr (kHow.key_cache) {
            nodes_.set_key(d, leading_word(units_, n_, h));
            key_word = nodes_.key(d);  // what the nodes hold: narrow keys keep the top half
            // The units of the first word that take part in the compare: all unless m is
            // shorter than a word.
            key_mask = m >= kKeyUnits ? ~std::uint64_t{0} : ~(~std::uint64_t{0} >> (kUnitBits * m));
        }
        std::size_t best_length = 0;
        std::uint32_t best_node = 0;
        std::uint32_t e = nodes_.right(kTreeRoot);
        std::size_t visited = 0;
        for (;;) {
            if constexpr (kHow.pick == Pick::adaptive) ++visited;
            // The side is decided by comparing two integers: with the cache, in the common
            // case, the key's first word and the node's; else the words (or units) where the
            // two strings first differ. Deciding after the join lets the compiler make one
            // compare and one conditional move of it.
            std::uint64_t new_word = key_word;
            std::uint64_t old_word = 0;
            std::size_t length = 0;
            bool compared = false;
            if constexpr (kHow.key_cache) {
                old_word = nodes_.key(e);
                const std::uint64_t diff = old_word ^ key_word;
                if ((diff & key_mask) != 0) [[likely]] {
                    compared = true;
                    if constexpr (kTrack) length = static_cast<std::size_t>(std::countl_zero(diff) / kUnitBits);
                } else if (m <= kKeyUnits) {
                    return found_same_key(e, d, m, visited);
                }
            }
            if (!compared) {
                const Unit* candidate = key - ((std::size_t{d} - e) & kSlotMask);
                const std::size_t from = kHow.key_cache ? kKeyUnits : 0;
                const Divergence v = diverge_from<Unit, kHow.ordered>(key, candidate, from, m);
                if (v.length >= m) return found_same_key(e, d, m, visited);
                new_word = v.a;
                old_word = v.b;
                length = v.length;
            }
            const bool less = new_word < old_word;
            if constexpr (kTrack) {
                if constexpr (kHow.best_cmov) {
                    best_node = pick_below(best_length, length, e, best_node);
                    best_length = pick_below(best_length, length, length, best_length);
                } else if (length > best_length) {
                    best_length = length;
                    best_node = e;
                }
            }
            std::uint32_t next;
            if constexpr (kBranch) {
                next = less ? nodes_.left(e) : nodes_.right(e);
            } else {
                const std::uint32_t left = nodes_.left(e);
                const std::uint32_t right = nodes_.right(e);
                next = pick_below(new_word, old_word, left, right);
            }
            if (next == kNoNode) {
                last_path_ = visited;
                if constexpr (kHow.indexed_attach) {
                    nodes_.child(e, less) = d;
                } else {
                    (less ? nodes_.left(e) : nodes_.right(e)) = d;
                }
                nodes_.parent(d) = static_cast<std::uint16_t>(e);
                nodes_.left(d) = kNoNode;
                nodes_.right(d) = kNoNode;
                return {best_length, static_cast<std::uint16_t>(best_node)};
            }
            e = next;
        }
    }

    // Same key for m units: the newer position takes the older one's place.
    Match found_same_key(std::uint32_t e, std::uint16_t d, std::size_t m,
                         std::size_t visited) noexcept {
        last_path_ = visited;
        replace(static_cast<std::uint16_t>(e), d);
        return {m, static_cast<std::uint16_t>(e)};
    }

    void splice_out(std::uint16_t s, std::uint16_t y) noexcept {
        const std::uint16_t q = nodes_.parent(s);
        nodes_.parent(y) = q;
        if constexpr (kHow.lean_removal) {
            // s is one of q's children: both links are written, one with its own value.
            const std::uint16_t left = nodes_.left(q);
            const std::uint16_t right = nodes_.right(q);
            const bool on_right = right == s;
            nodes_.right(q) = select(on_right, y, right);
            nodes_.left(q) = select(on_right, left, y);
        } else if (nodes_.right(q) == s) {
            nodes_.right(q) = y;
        } else {
            nodes_.left(q) = y;
        }
        nodes_.parent(s) = kNoNode;
    }

    // The key stays with the slot: a node that moves keeps its position, and so its key.
    void replace(std::uint16_t e, std::uint16_t d) noexcept {
        assert(nodes_.parent(d) == kNoNode && nodes_.parent(e) != kNoNode);
        const std::uint16_t q = nodes_.parent(e);
        if constexpr (kHow.lean_removal) {
            const std::uint16_t q_left = nodes_.left(q);
            const std::uint16_t q_right = nodes_.right(q);
            const bool on_left = q_left == e;
            nodes_.left(q) = select(on_left, d, q_left);
            nodes_.right(q) = select(on_left, q_right, d);
        } else if (nodes_.left(q) == e) {
            nodes_.left(q) = d;
        } else {
            nodes_.right(q) = d;
        }
        const std::uint16_t left = nodes_.left(e);
        const std::uint16_t right = nodes_.right(e);
        nodes_.parent(d) = q;
        nodes_.left(d) = left;
        nodes_.right(d) = right;
        nodes_.parent(left) = d;
        nodes_.parent(right) = d;
        nodes_.parent(e) = kNoNode;
    }

    const Unit* units_;
    std::size_t n_;
    NodeStore<kHow.records, kHow.narrow_key> nodes_;
    std::size_t last_path_ = 0;
};

template <Descent kHow>
struct Variant {
    template <class Unit>
    using Tree = VariantTree<Unit, kHow>;
};

// ---- The module's tree with its choice of descent pinned --------------------------------------

// The module's SearchTree with one of its choices pinned: always the conditional move or
// always the branch, always starting at the top of the tree (root), never skipping the
// search of a position that continues a replacement (no_chain), entries paused and resumed
// often (probe64), or neither entries nor chains (bare).
template <class Unit>
struct ModuleCmovTree : SearchTree<Unit> {
    explicit ModuleCmovTree(std::span<const Unit> units) noexcept
        : SearchTree<Unit>(units, {.long_path = SIZE_MAX}) {}
};

template <class Unit>
struct ModuleBranchTree : SearchTree<Unit> {
    explicit ModuleBranchTree(std::span<const Unit> units) noexcept
        : SearchTree<Unit>(units, {.long_path = 0}) {}
};

template <class Unit>
struct ModuleRootTree : SearchTree<Unit> {
    explicit ModuleRootTree(std::span<const Unit> units) noexcept
        : SearchTree<Unit>(units, {.entries = false}) {}
};

template <class Unit>
struct ModuleNoChainTree : SearchTree<Unit> {
    explicit ModuleNoChainTree(std::span<const Unit> units) noexcept
        : SearchTree<Unit>(units, {.chains = false}) {}
};

template <class Unit>
struct ModuleShortProbeTree : SearchTree<Unit> {
    explicit ModuleShortProbeTree(std::span<const Unit> units) noexcept
        : SearchTree<Unit>(units, {.entry_probe = 64}) {}
};

template <class Unit>
struct ModuleBareTree : SearchTree<Unit> {
    explicit ModuleBareTree(std::span<const Unit> units) noexcept
        : SearchTree<Unit>(units, {.entries = false, .chains = false}) {}
};

// ---- The module's greedy parse over any of them ---------------------------------------------

// The whole stream (header included) for `units`, as the module's encoders write it, with
// the tree as a parameter.
template <template <class> class Tree, class Format>
std::vector<std::uint8_t> encode(std::span<const typename Format::Unit> units,
                                 std::size_t max_match, bool keep_empty_tail,
                                 std::size_t unpacked_size) {
    const std::size_t n = units.size();
    std::vector<std::uint8_t> out;
    if (n == 0) return out;
    assert(max_match >= Format::kMinMatch && max_match <= Format::kMaxMatch);
    // The longest stream: a token per unit, each a literal at worst, a flag byte per group
    // and an empty tail group.
    out.resize(kHeaderSize + n * std::max<std::size_t>(Format::kLiteralBytes, 1) +
               n / kGroupTokens + 2);
    out.resize(encode_groups<Format, Tree>(units, max_match, keep_empty_tail, out));
    little_endian::store32(out.data(), static_cast<std::uint32_t>(out.size()));
    little_endian::store32(out.data() + 4, static_cast<std::uint32_t>(unpacked_size));
    return out;
}

// The 32-bit units of a byte string whose length is a multiple of 4.
inline std::vector<std::uint32_t> units_of(std::span<const std::uint8_t> data) {
    std::vector<std::uint32_t> units(data.size() / 4);
    for (std::size_t k = 0; k < units.size(); ++k) units[k] = little_endian::load32(data.data() + 4 * k);
    return units;
}

template <template <class> class Tree>
std::vector<std::uint8_t> pack_bytes(std::span<const std::uint8_t> data, std::uint64_t level,
                                     bool suppress_empty_tail_group) {
    return encode<Tree, ByteFormat>(data, max_match_for_level(level), !suppress_empty_tail_group,
                                    data.size());
}

template <template <class> class Tree>
std::vector<std::uint8_t> pack_units(std::span<const std::uint8_t> data) {
    const std::vector<std::uint32_t> units = units_of(data);
    return encode<Tree, UnitFormat>(units, UnitFormat::kMaxMatch, false, data.size());
}

// ---- Every variant by name ----------------------------------------------------------------

using BytePacker = std::vector<std::uint8_t> (*)(std::span<const std::uint8_t> data,
                                                 std::uint64_t level, bool suppress_empty_tail_group);
using UnitPacker = std::vector<std::uint8_t> (*)(std::span<const std::uint8_t> data);

struct NamedVariant {
    const char* name;
    BytePacker bytes;  // the byte encoder
    UnitPacker units;  // the 4-byte-unit encoder (data a multiple of 4 bytes)
};

// The module itself, through its bodies.
inline std::vector<std::uint8_t> module_bytes(std::span<const std::uint8_t> data,
                                              std::uint64_t level, bool suppress) {
    const auto packed = lzss::pack(data, level, suppress);
    return {packed.value().begin(), packed.value().end()};
}

inline std::vector<std::uint8_t> module_units(std::span<const std::uint8_t> data) {
    const auto packed = lzss32::pack(data);
    return {packed.value().begin(), packed.value().end()};
}

#define NATIVE_ACCEL_VARIANT(name, Tree) NamedVariant{name, pack_bytes<Tree>, pack_units<Tree>}
#define NATIVE_ACCEL_DESCENT(name, how) NATIVE_ACCEL_VARIANT(name, Variant<how>::Tree)

// plain first: every other output is compared with it.
inline constexpr NamedVariant kVariants[] = {
    NATIVE_ACCEL_VARIANT("plain", PlainTree),
    NATIVE_ACCEL_DESCENT("word", kWord),
    NATIVE_ACCEL_DESCENT("pair", kPair),
    NATIVE_ACCEL_DESCENT("ordered", kOrdered),
    NATIVE_ACCEL_DESCENT("cached", kCached),
    NATIVE_ACCEL_DESCENT("cached_branch", kCachedBranch),
    NATIVE_ACCEL_DESCENT("best_cmov", kBestCmov),
    NATIVE_ACCEL_DESCENT("wanted_only", kWantedOnly),
    NATIVE_ACCEL_DESCENT("lean_removal", kLeanRemoval),
    NATIVE_ACCEL_DESCENT("lean_branch", kLeanBranch),
    NATIVE_ACCEL_DESCENT("indexed_attach", kIndexedAttach),
    NATIVE_ACCEL_DESCENT("narrow_key", kNarrowKey),
    NATIVE_ACCEL_DESCENT("adaptive16", adaptive(16)),
    NATIVE_ACCEL_DESCENT("adaptive24", adaptive(24)),
    NATIVE_ACCEL_DESCENT("adaptive32", adaptive(32)),
    NATIVE_ACCEL_DESCENT("adaptive48", adaptive(48)),
    NATIVE_ACCEL_DESCENT("records", kRecords),
    NATIVE_ACCEL_VARIANT("module_cmov", ModuleCmovTree),
    NATIVE_ACCEL_VARIANT("module_branch", ModuleBranchTree),
    NATIVE_ACCEL_VARIANT("module_root", ModuleRootTree),
    NATIVE_ACCEL_VARIANT("module_no_chain", ModuleNoChainTree),
    NATIVE_ACCEL_VARIANT("module_probe64", ModuleShortProbeTree),
    NATIVE_ACCEL_VARIANT("module_bare", ModuleBareTree),
    NamedVariant{"module", module_bytes, module_units},
};

}  // namespace native_accel::lzss::variants
