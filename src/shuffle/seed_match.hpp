// The match test of the seed search, one seed at a time: does the shuffle started from a
// seed lay the target's items out at their expected offsets?
//
// The reference test does exactly that: shuffle the identity order, lay the items out back
// to back (items of size 0 or less take no room), compare offsets in item order. It is the
// definition of a match, and every seed the search returns has passed it.
//
// The scan in front of it rejects most seeds from two items alone: the item that ends at
// position 0 has offset 0, and the item that ends at position n - 1 has offset T - max(size,
// 0), T being the positive sizes summed (modulo 2^32). The item at position 0 is found while
// drawing: step i with j = 0 moves item i - 1 there (positions from i - 1 up still hold
// their own items before step i), so the last such step decides it, or item 0 stays when
// there is none. The item at position n - 1 is found by tracing that position back through
// the stored draws, from bound n down to bound 2: before step i, what ends at p sat at j if p
// was i - 1, at i - 1 if p was j, else at p. The draws avoid the hardware division (see
// FastDraw).
//
// The scan serves the layouts the solver (seed_solve.hpp) cannot judge, and the short
// stretch of seeds a search tries before it solves.
#pragma once

#include "shuffle/msvc_rand.hpp"
#include "shuffle/target_entry.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace native_accel::shuffle {

// The draw below `bound` without a division.
//
// One output (bounds up to 32768): with L = ceil(log2 bound) and k = 15 + L, the multiplier
// m = ceil(2^k / bound) fits 16 bits, and (v * m) >> k equals v / bound for every v < 2^15:
// m * bound = 2^k + e with e < bound, so v * m / 2^k exceeds v / bound by v * e / (bound * 2^k)
// < 2^15 / 2^k = 2^-L <= 1 / bound, never enough to reach the next integer.
// Two or three outputs: m = ceil(2^64 / bound) and the high half of v * m, by the same
// argument with 2^32 / 2^64 as the bound on the error.
struct FastDraw {
    std::uint32_t bound;
    std::uint32_t draws;
    std::uint64_t accept_below;       // keep v when v < accept_below (2^32: keep every v)
    std::uint64_t wide_reciprocal;    // ceil(2^64 / bound)
    std::uint32_t narrow_multiplier;  // ceil(2^(15 + L) / bound), below 2^16
    std::uint32_t narrow_shift;       // 15 + L

    static FastDraw for_plan(const RangePlan& plan) noexcept;

    [[nodiscard]] std::uint32_t quotient_of(std::uint32_t v) const noexcept {
        if (draws == 1) return (v * narrow_multiplier) >> narrow_shift;  // v * m < 2^31
        // The high half of the 96-bit v * m from two 32 x 32 products; neither sum can
        // pass 2^64 since v < 2^32.
        const std::uint64_t low = (wide_reciprocal & 0xFFFFFFFFu) * v;
        const std::uint64_t high = (wide_reciprocal >> 32) * v + (low >> 32);
        return static_cast<std::uint32_t>(high >> 32);
    }
    [[nodiscard]] std::uint32_t remainder_of(std::uint32_t v) const noexcept {
        return v - quotient_of(v) * bound;
    }
};

inline constexpr std::int32_t kCanOpen = 1;
inline constexpr std::int32_t kCanClose = 2;

// What every worker reads: built once per search, read-only afterwards.
struct SearchTables {
    explicit SearchTables(std::span<const TargetEntry> targets);

    std::uint32_t count;                  // n, at least 2 and below 2^32
    std::vector<RangePlan> plans;         // bound i at index i - 2
    std::vector<FastDraw> fast_draws;     // bound i at index i - 2
    std::vector<std::int32_t> sizes;
    std::vector<std::uint32_t> expected;  // offsets compared as 32-bit patterns
    // Per item: kCanOpen when it expects offset 0, kCanClose when it expects T - max(size, 0).
    std::vector<std::int32_t> end_flags;
    // The positive sizes sum to 2^32 or more, so that running offsets wrap.
    bool wraps = false;
};

// The reference test with its scratch: shuffle the identity order, lay the items out, compare
// offsets. It is the definition of a match.
class ReferenceTest {
public:
    explicit ReferenceTest(const SearchTables& tables);

    bool matches(std::uint32_t seed);

private:
    const SearchTables& tables_;
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> offsets_;
};

// One worker's scan with its scratch buffers, allocated once.
class SeedScanner {
public:
    explicit SeedScanner(const SearchTables& tables);

    // The draws, the end items and the reference test for one seed.
    bool matches(std::uint32_t seed);

    // The items that end at positions 0 and n - 1 for `seed`, from the stored draws.
    void end_items(std::uint32_t seed, std::uint32_t& opening, std::uint32_t& closing);

private:
    std::uint32_t draw_all(std::uint32_t seed);  // fills draws_, returns the opening item
    std::uint32_t closing_item() const noexcept;

    const SearchTables& tables_;
    ReferenceTest reference_;
    std::vector<std::uint32_t> draws_;  // j of bound i at index i - 2
};

}  // namespace native_accel::shuffle
