// The match finder of both LZSS encoders: a binary search tree over the positions of a
// 4096-slot window, keyed on the units that follow each position. The greedy parse that
// drives it is in greedy_parse.hpp.
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
#include <span>

#include "lzss/lzss.hpp"

namespace native_accel::lzss {

inline constexpr std::size_t kSlotMask = kWindowSlots - 1;
inline constexpr std::uint16_t kTreeRoot = 4096;
inline constexpr std::uint16_t kNoNode = 4097;
inline constexpr std::size_t kTreeEntries = 4098;

static_assert(std::endian::native == std::endian::little ||
                  std::endian::native == std::endian::big,
              "the word compares need a byte order in which units keep their memory order");

// ---- Words of units in string order ----------------------------------------------------------

template <class Unit>
inline constexpr std::size_t kUnitsPerWord = sizeof(std::uint64_t) / sizeof(Unit);

// A word of units read from memory, its units reversed where needed so that the first unit
// in memory is the most significant: two such words compare as integers the way their
// units compare as strings, and the highest differing bit lies in the first differing
// unit. On a little-endian machine that is a byte swap for bytes, a swap of the two halves
// for 32-bit units.
template <class Unit>
[[gnu::always_inline]] inline std::uint64_t in_string_order(std::uint64_t word) noexcept {
    static_assert(sizeof(Unit) == 1 || sizeof(Unit) == 4);
    if constexpr (std::endian::native == std::endian::big) {
        return word;
    } else if constexpr (sizeof(Unit) == 4) {
        return std::rotl(word, 32);
    } else {
#if defined(__GNUC__) || defined(__clang__)
        return __builtin_bswap64(word);
#else
        word = (word & 0x00FF00FF00FF00FFull) << 8 | (word >> 8 & 0x00FF00FF00FF00FFull);
        word = (word & 0x0000FFFF0000FFFFull) << 16 | (word >> 16 & 0x0000FFFF0000FFFFull);
        return std::rotl(word, 32);
#endif
    }
}

template <class Unit>
[[gnu::always_inline]] inline std::uint64_t load_word(const Unit* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The first word of units at position h in string order. Units at or past the end read
// as 0; no compare ever looks at them, since a search compares at most n - h units.
template <class Unit>
[[gnu::always_inline]] inline std::uint64_t leading_word(const Unit* units, std::size_t n,
                                                         std::size_t h) noexcept {
    assert(h < n);
    if (n - h >= kUnitsPerWord<Unit>) [[likely]] {
        return in_string_order<Unit>(load_word(units + h));
    }
    std::uint64_t word = 0;
    for (std::size_t k = 0; k < kUnitsPerWord<Unit>; ++k) {
        word = word << (8 * sizeof(Unit)) | (h + k < n ? units[h + k] : 0);
    }
    return word;
}

// Where a[k .. m) and b[k .. m) first differ, a[0 .. k) and b[0 .. k) being equal: the
// number of equal units (m when all agree) and two integers that compare as the two
// strings do there, the differing words in string order or, past the last whole word,
// the differing units. No load reaches past a + m or b + m.
struct Divergence {
    std::size_t length;
    std::uint64_t a;
    std::uint64_t b;
};

template <class Unit>
[[gnu::always_inline]] inline Divergence diverge(const Unit* a, const Unit* b, std::size_t k,
                                                 std::size_t m) noexcept {
    constexpr int kUnitBits = 8 * sizeof(Unit);
    for (; k + kUnitsPerWord<Unit> <= m; k += kUnitsPerWord<Unit>) {
        const std::uint64_t wa = load_word(a + k);
        const std::uint64_t wb = load_word(b + k);
        if (wa != wb) {
            const std::uint64_t oa = in_string_order<Unit>(wa);
            const std::uint64_t ob = in_string_order<Unit>(wb);
            return {k + static_cast<std::size_t>(std::countl_zero(oa ^ ob) / kUnitBits), oa, ob};
        }
    }
    for (; k < m; ++k) {
        if (a[k] != b[k]) return {k, a[k], b[k]};
    }
    return {m, 0, 0};
}

// Conditional moves the compiler cannot turn back into branches.
//
// The next node of a search must be picked by a conditional move (the side is a coin toss
// on text), and g++ 12 undoes a plain `less ? left : right` in some instantiations of a
// loop and not in others: it threads the test for a missing child, which comes right
// after, through the pick, or it moves the load of one child link into a branch of its
// own. Hiding values behind empty asm statements only moved the branch elsewhere. On
// x86-64 with g++ or clang the compare and the move are therefore written out; elsewhere
// the plain expression stands, and the compiler decides.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define NATIVE_ACCEL_CMOV_ASM 1
#endif

// a < b ? if_below : otherwise (unsigned compare).
template <class T>
[[gnu::always_inline]] inline T pick_below(std::uint64_t a, std::uint64_t b, T if_below,
                                           T otherwise) noexcept {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8);
#ifdef NATIVE_ACCEL_CMOV_ASM
    asm("cmpq %2, %1\n\tcmovb %3, %0" : "+r"(otherwise) : "r"(a), "r"(b), "rm"(if_below) : "cc");
    return otherwise;
#else
    return a < b ? if_below : otherwise;
#endif
}

// a == b ? if_equal : otherwise.
template <class T>
[[gnu::always_inline]] inline T pick_equal(std::uint32_t a, std::uint32_t b, T if_equal,
                                           T otherwise) noexcept {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8);
#ifdef NATIVE_ACCEL_CMOV_ASM
    asm("cmpl %2, %1\n\tcmove %3, %0" : "+r"(otherwise) : "r"(a), "r"(b), "rm"(if_equal) : "cc");
    return otherwise;
#else
    return a == b ? if_equal : otherwise;
#endif
}

// ---- The tree --------------------------------------------------------------------------------

// What the search of one position found: the longest match length (0 when no unit
// matched) and the slot of the position it matched.
struct Match {
    std::size_t length = 0;
    std::uint16_t node = 0;
};

// How the tree is searched. Each lever was measured on its own (bench/encoder_variants.hpp
// keeps the variants, the README their figures); together they make the byte encoder about
// twice as fast on text and the 4-byte one more than twice on pictures, with the same bytes.
//
// - Each slot keeps the first word of its position's key in string order (keys_), written
//   when the position is inserted: a slot changes its position only then, and a node that
//   Delete or Replace moves keeps its slot. The first compare at a node is one load
//   indexed by the slot; the window is read only when those 8 bytes (2 pixels) agree.
// - A search starts at the top node of its key's prefix group when that is known (see
//   Entries below), not at the top of the tree: on text that skips about half of the
//   nodes of a path, on pictures about two thirds.
// - A position whose key equals, for all m units, that of the position after the one the
//   previous search replaced needs no search at all (insert): on text and pictures one
//   search in five, inside long repeats.
// - The side is decided by one compare of two integers, the cached words or the words
//   where the keys differ, and both child links are loaded with the node, so that the
//   next node is a conditional move (pick_below): on text the side is a coin toss that a
//   branch mispredicts at every other node.
// - Where the side is predictable, a branch is faster: the processor follows the
//   predicted child without waiting for the compare. Gradients in pictures build long
//   one-sided chains, whose nodes all send a search the same way. A search that follows
//   one of long_path nodes or more takes the branch (descend<.., true>).
// - The best match is kept only where the encoder uses it: in the search of the last
//   position a token covers. On text 5 of 6 positions lie inside a match and are searched
//   only for their place in the tree (and for a same-key replacement).
// - Delete and Replace rewrite the link in the parent without a branch on its side, and a
//   node's two child links lie side by side (one cache line less per visit).
//
// Entries. The group of a prefix P (the first kPrefixUnits units: 2 bytes, or 1 pixel) is
// the set of nodes whose keys begin with P. The tree is ordered by key, so a group is a
// run of consecutive keys, and its nodes all lie below one of them, its top node. A
// search for a key beginning with P, m >= kPrefixUnits, meets that top node before any
// other node of the group, and every node it meets before shares fewer than kPrefixUnits
// units with the key: they send the search the same way as they send every key of the
// group, can be neither the best match (the top node matches more) nor a same-key
// replacement. Starting at the top node therefore finds the same match and the same
// place, node for node below it. buckets_[bucket(P)] holds the top node of P's group, or
// kNoNode when unknown; a bucket may also hold the top node of another prefix with the
// same bucket, which its key tells apart. The one invariant: a bucket's top node is a
// node in the tree and the top node of its own key's group, and its count the number of
// nodes in the tree whose prefix falls in the bucket. It is kept by
// - a search that starts at the top of the tree: the first node of its group it meets is
//   the top node, which it stores; when it meets none the group was empty, and the new
//   node is its top node;
// - a same-key replacement: the new node takes the place, and the entry, of the old;
// - Delete: the entry of the removed node's group, when it was that node, moves to the
//   first node of the group below the node that took its place (none when the count
//   drops to 0); when the rightmost node of a left subtree moves up into the removed
//   node's place, it becomes the top node of its own group if that group's top node was
//   below the removed one.
// Keys shorter than kPrefixUnits units exist only at the last positions of the input:
// from the first search of such a position on, entries are no longer used or kept.
namespace testing {
template <class Unit>
struct SearchTreeProbe;
}  // namespace testing

template <class Unit>
class SearchTree {
public:
    // How the checks and the micro-benchmark pin the choices the tree otherwise makes.
    struct Steering {
        // A search of this many nodes or more makes the next one branch on the side
        // (0: always branch; SIZE_MAX: never).
        std::size_t long_path = 24;
        // Start searches at the top node of their key's group when it is known.
        bool entries = true;
        // Skip the search of a position that continues a same-key replacement.
        bool chains = true;
        // Searches over which the entries' use is weighed: when fewer than 1 in 8 of them
        // start at a group's top node (on data without repeats, where most groups have one
        // node), entries pause for three times as many positions, then start afresh.
        // 0: never pause.
        std::size_t entry_probe = 4096;
    };

    // Position 0 starts in the tree as its top node.
    explicit SearchTree(std::span<const Unit> units, Steering steering = {}) noexcept
        : units_(units.data()),
          n_(units.size()),
          long_path_(steering.long_path),
          chains_(steering.chains),
          probe_(steering.entry_probe),
          resume_at_(steering.entries ? 0 : SIZE_MAX),
          entries_live_(steering.entries) {
        assert(!units.empty());
        parent_.fill(kNoNode);
        links_.fill({kNoNode, kNoNode});
        buckets_.fill({kNoNode, 0});
        links_[kTreeRoot][kRight] = 0;
        parent_[0] = kTreeRoot;
        keys_[0] = leading_word(units_, n_, 0);
        buckets_[bucket(prefix_of(0))] = {0, 1};
    }

    // Finds the longest match for position h among the window's positions, comparing at
    // most m units (1 <= m <= units left at h), and puts h into the tree. When the match
    // is not `wanted` only the tree changes, and the result is meaningful only for a
    // same-key replacement (length m).
    [[gnu::always_inline]] Match insert(std::size_t h, std::size_t m, bool wanted) noexcept {
        if (h == chain_next_ && n_ - h > m && chains_) {
            // The search of h - 1 replaced the node of an earlier position p by its own,
            // same key: h and p + 1 share m - 1 units, and when the next one agrees too,
            // p + 1 (if still in the tree) is the one node whose key is h's, where the
            // search of h would end. With n - h > m every position in the tree was
            // inserted comparing m units, so no other node shares those m units.
            const auto d = static_cast<std::uint16_t>(h & kSlotMask);
            const std::uint16_t next = chain_slot_;
            const Unit* key = units_ + h;
            const Unit* candidate = key - ((std::size_t{d} - next) & kSlotMask);
            if (parent_[next] != kNoNode && key[m - 1] == candidate[m - 1]) {
                return follow_chain(h, m, d, next);
            }
        }
        if (last_path_ >= long_path_) {
            return wanted ? descend<true, true>(h, m) : descend<false, true>(h, m);
        }
        return wanted ? descend<true, false>(h, m) : descend<false, false>(h, m);
    }

    // Takes slot s out of the tree; nothing happens when s is not in it.
    [[gnu::always_inline]] void remove(std::uint16_t s) noexcept {
        if (parent_[s] == kNoNode) return;
        const std::uint16_t left = links_[s][kLeft];
        const std::uint16_t right = links_[s][kRight];
        if ((left == kNoNode) | (right == kNoNode)) {
            const std::uint16_t y = right == kNoNode ? left : right;
            splice_out(s, y);
            if (entries_live_) {
                Bucket& b = buckets_[bucket(prefix_of(s))];
                --b.count;
                if (b.top == s) b.top = b.count == 0 ? kNoNode : top_of_group(y, prefix_of(s));
            }
            return;
        }
        // Two children: the rightmost node of the left subtree (which has no right child)
        // leaves its own place to its left child and then takes s's place.
        std::uint16_t q = left;
        while (links_[q][kRight] != kNoNode) q = links_[q][kRight];
        splice_out(q, links_[q][kLeft]);
        replace(s, q);
        if (entries_live_) lift_entries(s, q, left);
    }

private:
    friend struct testing::SearchTreeProbe<Unit>;  // the checks' view of the buckets

    static constexpr bool kLeft = true;  // the side taken when the new key is smaller
    static constexpr bool kRight = false;
    static constexpr std::size_t kKeyUnits = kUnitsPerWord<Unit>;
    static constexpr int kUnitBits = 8 * sizeof(Unit);
    static constexpr std::size_t kPrefixUnits = sizeof(Unit) == 1 ? 2 : 1;
    static constexpr int kPrefixShift = 64 - kUnitBits * static_cast<int>(kPrefixUnits);
    // Bytes: one bucket per 2-byte prefix. Pixels: a multiplicative hash of the pixel.
    static constexpr int kBucketBits = 13;

    // The top node of a group whose prefix falls in this bucket (kNoNode: none known), and
    // how many nodes in the tree have a prefix that falls in it: at 0 every such group is
    // empty, which spares Delete a walk down to a leaf when the last one leaves.
    struct Bucket {
        std::uint16_t top;
        std::uint16_t count;
    };

    static std::uint64_t prefix_of_word(std::uint64_t word) noexcept { return word >> kPrefixShift; }
    std::uint64_t prefix_of(std::uint32_t node) const noexcept { return prefix_of_word(keys_[node]); }

    // Where a search starts, and what it tells the bucket b of its key's prefix:
    //   group  at the top node of the key's group (or, entries off, at the top of the
    //          tree): nothing, but a same-key replacement of that top node;
    //   learn  at the top of the tree, the group's top node unknown: the first node met
    //          that shares the prefix is the top node (from there on the search is one
    //          from that node); when none is met the group was empty and the new node is
    //          its top node;
    //   empty  at the top of the tree, no node with a prefix in b in the tree: the new node
    //          is the top node of its group.
    enum class Start { group, learn, empty };

    // Fibonacci hashing: the top bits of the product depend on every bit of the prefix.
    static std::size_t bucket(std::uint64_t prefix) noexcept {
        return static_cast<std::uint32_t>(prefix) * 0x9E3779B1u >> (32 - kBucketBits);
    }

    // kKeepBest: track the best match. kBranch: pick the next node by a branch on the side
    // (and load only that link) instead of a conditional move.
    template <bool kKeepBest, bool kBranch>
    [[gnu::always_inline]] Match descend(std::size_t h, std::size_t m) noexcept {
        const auto d = static_cast<std::uint16_t>(h & kSlotMask);
        assert(h > 0 && m >= 1 && m <= n_ - h);
        assert(parent_[d] == kNoNode);  // the slot was removed before: d is in no path
        const std::uint64_t key_word = leading_word(units_, n_, h);
        keys_[d] = key_word;
        if (entries_ready(h, m)) {
            Bucket& b = buckets_[bucket(prefix_of_word(key_word))];
            const std::uint32_t top = b.top;
            const std::uint32_t root = links_[kTreeRoot][kRight];
            if (top != kNoNode && prefix_of(top) == prefix_of_word(key_word)) {
                ++hits_;
                return walk<kKeepBest, kBranch, Start::group>(h, m, d, key_word, top, 0, b);
            }
            if (b.count == 0) {
                return walk<kKeepBest, kBranch, Start::empty>(h, m, d, key_word, root, 0, b);
            }
            return walk<kKeepBest, kBranch, Start::learn>(h, m, d, key_word, root, 0, b);
        }
        Bucket unused{kNoNode, 0};
        return walk<kKeepBest, kBranch, Start::group>(h, m, d, key_word, links_[kTreeRoot][kRight],
                                                      0, unused);
    }

    // Whether the search of h uses (and keeps) the entries: they end for good at the last
    // positions, whose keys are shorter than a prefix, and pause while they do not pay.
    [[gnu::always_inline]] bool entries_ready(std::size_t h, std::size_t m) noexcept {
        if (!entries_live_) {
            if (h < resume_at_) return false;
            resume_entries();
        }
        if (m < kPrefixUnits) {
            entries_live_ = false;
            resume_at_ = SIZE_MAX;
            return false;
        }
        if (++probed_ == probe_) {
            const bool paying = hits_ * 8 >= probe_;
            probed_ = 0;
            hits_ = 0;
            if (!paying) {
                entries_live_ = false;
                resume_at_ = h + 3 * probe_;
                return false;
            }
        }
        return true;
    }

    // Entries start afresh: every group's top node unknown, the counts taken from the tree.
    void resume_entries() noexcept {
        buckets_.fill({kNoNode, 0});
        for (std::uint16_t s = 0; s < kWindowSlots; ++s) {
            if (parent_[s] != kNoNode) ++buckets_[bucket(prefix_of(s))].count;
        }
        entries_live_ = true;
        probed_ = 0;
        hits_ = 0;
    }

    // The search proper, from node e down, `visited` nodes already behind.
    template <bool kKeepBest, bool kBranch, Start kStart>
    [[gnu::always_inline]] Match walk(std::size_t h, std::size_t m, std::uint16_t d,
                                      std::uint64_t key_word, std::uint32_t e,
                                      std::size_t visited, Bucket& b) noexcept {
        const Unit* key = units_ + h;
        // The units of the first word that take part in the compares: all of them unless
        // m is shorter than a word.
        const std::uint64_t key_mask =
            m >= kKeyUnits ? ~std::uint64_t{0} : ~(~std::uint64_t{0} >> (kUnitBits * m));
        std::size_t best_length = 0;
        std::uint32_t best_node = 0;
        for (;;) {
            std::uint64_t new_word = key_word;
            std::uint64_t old_word = keys_[e];
            const std::uint64_t diff = old_word ^ key_word;
            if constexpr (kStart == Start::learn) {
                if (prefix_of_word(diff) == 0) [[unlikely]] {
                    // Nodes met so far share less than the prefix: none of them is the best.
                    b.top = static_cast<std::uint16_t>(e);
                    return walk<kKeepBest, kBranch, Start::group>(h, m, d, key_word, e, visited, b);
                }
            }
            ++visited;
            std::size_t length = 0;
            if ((diff & key_mask) != 0) [[likely]] {
                if constexpr (kKeepBest) {
                    length = static_cast<std::size_t>(std::countl_zero(diff) / kUnitBits);
                }
            } else {
                if (m <= kKeyUnits) return take_place(h, e, d, m, visited, b);
                // The one position in h - 4095 .. h - 1 whose slot is e (unsigned wrap-around).
                const Unit* candidate = key - ((std::size_t{d} - e) & kSlotMask);
                const Divergence v = diverge(key, candidate, kKeyUnits, m);
                if (v.length >= m) return take_place(h, e, d, m, visited, b);
                new_word = v.a;
                old_word = v.b;
                length = v.length;
            }
            const bool less = new_word < old_word;
            if constexpr (kKeepBest) {
                // Strictly longer only: on a tie the node nearer the top stays the best.
                best_node = pick_below(best_length, length, e, best_node);
                best_length = pick_below(best_length, length, length, best_length);
            }
            std::uint32_t next;
            if constexpr (kBranch) {
                next = less ? links_[e][kLeft] : links_[e][kRight];
            } else {
                const std::uint32_t left = links_[e][kLeft];
                const std::uint32_t right = links_[e][kRight];
                next = pick_below(new_word, old_word, left, right);
            }
            if (next == kNoNode) {
                last_path_ = visited;
                links_[e][less] = d;
                parent_[d] = static_cast<std::uint16_t>(e);
                links_[d][kLeft] = kNoNode;
                links_[d][kRight] = kNoNode;
                if constexpr (kStart != Start::group) b.top = d;
                ++b.count;
                return {best_length, static_cast<std::uint16_t>(best_node)};
            }
            e = next;
        }
    }

    // Same key for m units: the newer position takes the older one's place, and the older
    // can never be found again. The key's group keeps its top node, d standing in for e.
    Match take_place(std::size_t h, std::uint32_t e, std::uint16_t d, std::size_t m,
                     std::size_t visited, Bucket& b) noexcept {
        last_path_ = visited;
        replace(static_cast<std::uint16_t>(e), d);
        if (b.top == e) b.top = d;
        chain_next_ = h + 1;
        chain_slot_ = static_cast<std::uint16_t>((e + 1) & kSlotMask);
        return {m, static_cast<std::uint16_t>(e)};
    }

    // The search of h ends at node e, whose key is h's for m units (see insert).
    Match follow_chain(std::size_t h, std::size_t m, std::uint16_t d, std::uint16_t e) noexcept {
        const std::uint64_t key_word = leading_word(units_, n_, h);
        keys_[d] = key_word;
        Bucket unused{kNoNode, 0};
        Bucket& b = entries_live_ ? buckets_[bucket(prefix_of_word(key_word))] : unused;
        return take_place(h, e, d, m, last_path_, b);
    }

    // The first node of the group of `prefix` on the way down from node r (the top node of
    // the group's nodes below r), or kNoNode when none lies below r.
    std::uint16_t top_of_group(std::uint16_t r, std::uint64_t prefix) const noexcept {
        while (r != kNoNode) {
            const std::uint64_t here = prefix_of(r);
            if (here == prefix) return r;
            r = links_[r][prefix < here];
        }
        return kNoNode;
    }

    // Node s, which had two children, was removed and q, the rightmost node of s's left
    // subtree (whose top was `left`), took its place.
    void lift_entries(std::uint16_t s, std::uint16_t q, std::uint16_t left) noexcept {
        const std::uint64_t s_prefix = prefix_of(s);
        const std::uint64_t q_prefix = prefix_of(q);
        Bucket& s_bucket = buckets_[bucket(s_prefix)];
        --s_bucket.count;
        if (s_bucket.top == s) {
            s_bucket.top = q_prefix == s_prefix  ? q
                           : s_bucket.count == 0 ? kNoNode
                                                 : top_of_group(q, s_prefix);
        }
        if (q_prefix == s_prefix) return;
        // q's group lies in order just below s. Its top node t is above s (then every node
        // between t and q in order, left among them, is in the group, and t stays on top),
        // or t is left or below it on the way down to q: q is now above t.
        Bucket& q_bucket = buckets_[bucket(q_prefix)];
        const std::uint16_t t = q_bucket.top;
        if (t == q || t == kNoNode || prefix_of(t) != q_prefix) return;
        if (t == left || prefix_of(left) != q_prefix) q_bucket.top = q;
    }

    // Node s, whose only child is y (possibly NO_NODE), is replaced by y. s is one of its
    // parent's children, so both of the parent's links are written, one with its own value.
    void splice_out(std::uint16_t s, std::uint16_t y) noexcept {
        assert(parent_[s] != kNoNode);
        assert(links_[s][kRight] == kNoNode ? links_[s][kLeft] == y
                                            : links_[s][kLeft] == kNoNode && links_[s][kRight] == y);
        const std::uint16_t q = parent_[s];
        parent_[y] = q;
        const std::uint32_t left = links_[q][kLeft];
        const std::uint32_t right = links_[q][kRight];
        links_[q][kRight] = static_cast<std::uint16_t>(pick_equal<std::uint32_t>(right, s, y, right));
        links_[q][kLeft] = static_cast<std::uint16_t>(pick_equal<std::uint32_t>(right, s, left, y));
        parent_[s] = kNoNode;
    }

    // Node d, not in the tree, takes the place and both subtrees of node e. Keys stay with
    // their slots: d's was written when its position was inserted.
    void replace(std::uint16_t e, std::uint16_t d) noexcept {
        assert(parent_[d] == kNoNode && parent_[e] != kNoNode);
        const std::uint16_t q = parent_[e];
        const std::uint32_t q_left = links_[q][kLeft];
        const std::uint32_t q_right = links_[q][kRight];
        links_[q][kLeft] = static_cast<std::uint16_t>(pick_equal<std::uint32_t>(q_left, e, d, q_left));
        links_[q][kRight] = static_cast<std::uint16_t>(pick_equal<std::uint32_t>(q_left, e, q_right, d));
        const std::uint16_t left = links_[e][kLeft];
        const std::uint16_t right = links_[e][kRight];
        parent_[d] = q;
        links_[d][kLeft] = left;
        links_[d][kRight] = right;
        parent_[left] = d;  // lands on entry NO_NODE when a child is missing
        parent_[right] = d;
        parent_[e] = kNoNode;
    }

    const Unit* units_;
    std::size_t n_;
    std::size_t long_path_;
    std::size_t last_path_ = 0;
    // After a same-key replacement at h - 1: chain_next_ is h, chain_slot_ the slot after
    // the replaced node's.
    std::size_t chain_next_ = 0;
    std::uint16_t chain_slot_ = 0;
    bool chains_;
    std::size_t probe_;
    std::size_t probed_ = 0;  // searches with entries since the last weighing
    std::size_t hits_ = 0;    // of which started at a group's top node
    std::size_t resume_at_;   // while entries are off: where they start afresh
    bool entries_live_;
    std::array<std::uint64_t, kWindowSlots> keys_;
    std::array<std::uint16_t, kTreeEntries> parent_;
    std::array<std::array<std::uint16_t, 2>, kTreeEntries> links_;  // [e][kRight], [e][kLeft]
    std::array<Bucket, std::size_t{1} << kBucketBits> buckets_;
};

}  // namespace native_accel::lzss
