// The match test of the seed search: does the shuffle started from a seed lay the target's
// items out at their expected offsets?
//
// The reference test does exactly that: shuffle the identity order, lay the items out back
// to back (items of size 0 or less take no room), compare offsets in item order. The fast
// paths never decide a match themselves; they reject seeds early with a condition every
// matching seed satisfies, and hand the survivors to the reference test:
//
//   * the item that ends at position 0 has offset 0, and the item that ends at position
//     n - 1 has offset T - max(size, 0), T being the positive sizes summed (modulo 2^32);
//   * the item at position 0 is found while drawing: step i with j = 0 moves item i - 1
//     there (positions from i - 1 up still hold their own items before step i), so the last
//     such step decides it, or item 0 stays when there is none;
//   * the item at position n - 1 is found by tracing that position back through the stored
//     draws, from bound n down to bound 2: before step i, what ends at p sat at j if p was
//     i - 1, at i - 1 if p was j, else at p.
// For a target with distinct offsets a random seed passes with a chance near 1 / n^2.
//
// The draws themselves avoid the hardware division: the accept test becomes v < quotient *
// bound, and v / bound a multiplication by a reciprocal that is exact for every candidate
// (see FastDraw). The lane path runs 32 consecutive seeds in lock step on AVX2.
//
// Those two paths serve the layouts the forward filter cannot judge (positive sizes that
// wrap past 2^32, more than 32768 items). The forward path (seed_match_forward.hpp), where
// it applies, checks where the last three items end from the last three draws alone, a
// chance near 1 / n^3 for a random seed, and is what the search uses.
#pragma once

#include "shuffle/msvc_rand.hpp"
#include "shuffle/target_entry.hpp"

#include <array>
#include <cstdint>
#include <memory>
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
};

// What the forward filter reads (seed_match_forward.hpp); `applies` is false, and the rest
// empty, for layouts it cannot judge.
//
// Doubled states: with y = 2 * state (modulo 2^32) the step is y' = a * y + 2c, the output
// is y >> 17 and a one-output candidate is rejected exactly when y >= accept_below << 17, so
// a step is a multiply, an add and one unsigned compare.
struct ForwardTables {
    bool applies = false;  // n <= 32768 and the positive sizes sum below 2^32
    // Step s (bound s + 2): the doubled states from this value on are rejected; 0 when the
    // bound rejects nothing (a power of two).
    std::vector<std::uint32_t> reject_from;
    // Where items n - 1, n - 2, n - 3 (entries 0, 1, 2) may end in a matching seed:
    // position p fits when p - low <= width (unsigned). An item that does not exist (n = 2)
    // has width 2^32 - 1 and always fits.
    std::array<std::uint32_t, 3> tail_low{};
    std::array<std::uint32_t, 3> tail_width{};
    // Jump-ahead: under "no candidate rejected", the doubled state of output t (1 .. n - 1)
    // of seed s is jump_mul[t - 1] * s + jump_add[t - 1] (modulo 2^32).
    std::vector<std::uint32_t> jump_mul;
    std::vector<std::uint32_t> jump_add;
    // The outputs t whose bound t + 1 can reject, in increasing order.
    std::vector<std::uint32_t> rejecting;
};

// What every worker reads: built once per search, read-only afterwards.
struct SearchTables {
    explicit SearchTables(std::span<const TargetEntry> targets);

    std::uint32_t count;                  // n, at least 2 and below 2^32
    std::vector<RangePlan> plans;         // bound i at index i - 2
    std::vector<FastDraw> fast_draws;     // bound i at index i - 2
    std::vector<std::uint32_t> identity;  // 0, 1, ..., n - 1
    std::vector<std::int32_t> sizes;
    std::vector<std::uint32_t> expected;  // offsets compared as 32-bit patterns
    // Per item: bit 0 when it can open the layout (expects offset 0), bit 1 when it can
    // close it (expects T - max(size, 0)).
    std::vector<std::int32_t> end_flags;
    // Per item, the positions it can hold in a matching seed when the positive sizes do not
    // wrap: offsets then never decrease along the positions, so the items expected before
    // it sit before it, those expected after it after it; an item of size above 0 also has
    // every item of its own offset before it, one of size 0 or less may have them on
    // either side. Meaningless (but in range) for layouts that wrap; empty past 32768 items.
    std::vector<std::uint32_t> position_low;
    std::vector<std::uint32_t> position_high;
    ForwardTables forward;
};

inline constexpr std::int32_t kCanOpen = 1;
inline constexpr std::int32_t kCanClose = 2;

// The reference test with its scratch: shuffle the identity order, lay the items out, compare
// offsets. It is the definition of a match; the fast paths confirm their survivors with it.
class ReferenceTest {
public:
    explicit ReferenceTest(const SearchTables& tables);

    bool matches(std::uint32_t seed);

private:
    const SearchTables& tables_;
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> offsets_;
};

enum class MatchPath {
    scalar,   // one seed at a time: division-free draws, end-item filter, reference test
    lanes,    // 32 seeds in lock step (AVX2), then as scalar
    forward,  // the forward filter's best kernel for this CPU and n, then the reference test
};

struct ForwardKernel;  // seed_match_forward.hpp
class BandWalk;       // seed_match_walk.hpp

// The fastest path this CPU and target support: forward where the filter applies, else
// lanes (AVX2 and n <= 32768), else scalar.
MatchPath best_match_path(const SearchTables& tables) noexcept;
bool lanes_supported(const SearchTables& tables) noexcept;

inline constexpr std::uint32_t kLaneGroup = 32;

namespace testing {
class SeedMatcherProbe;  // seed_match_testing.hpp
}

// One worker's match tester with its scratch buffers, allocated once.
class SeedMatcher {
public:
    // The lanes path falls back to scalar where lanes_supported() is false; forward falls
    // back to the best of the others where the filter does not apply.
    SeedMatcher(const SearchTables& tables, MatchPath path);
    // The forward path with the given kernel, which must be available (checks, benchmarks).
    SeedMatcher(const SearchTables& tables, const ForwardKernel& kernel);
    ~SeedMatcher();
    SeedMatcher(const SeedMatcher&) = delete;
    SeedMatcher& operator=(const SeedMatcher&) = delete;

    // How many seeds one scan call handles at most with this path.
    [[nodiscard]] std::uint32_t group() const noexcept;

    // Tests seeds first, first + 1, ..., first + count - 1 (no wrap past 2^32 - 1) in
    // increasing order and stops at the first match. Returns how many seeds did not match
    // before it: count when none did.
    std::uint32_t scan(std::uint32_t first, std::uint32_t count);

private:
    friend class testing::SeedMatcherProbe;  // the checks' view of the filter's steps

    bool scalar_match(std::uint32_t seed);
    std::uint32_t lanes_scan(std::uint32_t first);
    std::uint32_t forward_scan(std::uint32_t first, std::uint32_t count);
    std::uint32_t draw_all(std::uint32_t seed);  // fills draws_, returns the opening item
    std::uint32_t closing_item() const noexcept;

    const SearchTables& tables_;
    MatchPath path_;
    ReferenceTest reference_;
    std::vector<std::uint32_t> draws_;       // j of bound i at index i - 2
    std::vector<std::uint32_t> lane_draws_;  // (n - 1) * kLaneGroup, lanes path only
    const ForwardKernel* kernel_ = nullptr;  // forward path only
    std::unique_ptr<BandWalk> walk_;         // forward path with a walk kernel only
};

}  // namespace native_accel::shuffle
