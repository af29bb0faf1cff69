// The seed search by solving: instead of testing the 2^32 seeds one by one, list the few
// generator states from which a matching shuffle can end, and walk each one back to the
// seed it came from.
//
// Facts about the generator (msvc_rand.hpp) that the solver stands on:
//   * The step x -> a x + c modulo 2^32 is a bijection, and so is the step modulo 2^31:
//     x = a^-1 (x' - c) undoes it, a being odd. A state determines the whole sequence before
//     it as well as after it.
//   * The output, bits 16..30, depends only on the state modulo 2^31, and bit 31 never
//     reaches the lower bits of a later state. So seeds s and s + 2^31 draw the same outputs
//     and shuffle alike: the solver works modulo 2^31 and reports both twins.
//   * Up to 32768 items every draw takes one output: bound b keeps an output o when o <
//     accept[b] (= b * floor(32767 / b), or 32768 when b divides 32768) and draws o mod b.
//     Bound 2 keeps everything, so the draw of bound 2 is always the first output.
//
// Where the items end. The shuffle's step of bound b moves item b - 1 from position b - 1
// to j_b; later steps move it only when their draw hits its position. So the final
// position of item b - 1 is P_b(j_b), where P_b tracks a position through the steps b + 1
// .. n; P_n is the identity and P_(b-1) is P_b with its entries at b - 1 and j_b exchanged.
// Where the positive sizes sum below 2^32 (no running offset wraps), a matching seed lays the
// items out at non-decreasing offsets along the positions, which bounds where each item
// can end: after every item expected at a smaller offset, before every item expected at a
// larger one, and, among the items of its own offset, last if it takes room, else before
// the one that does (PositionRanges). It also means one order, offsets sorted, decides
// whether any order matches at all (layout_is_consistent); a layout that fails it has no
// matching seed.
//
// The walk back. Take a state x from which bound n's draw was accepted. Its item n - 1
// ends at j_n = o(x) mod n, which must lie in its range. The outputs before it are bound
// n's rejected candidates (o >= accept[n]) and, before those, bound n - 1's accepted draw
// (o < accept[n - 1]): stepping back one state at a time, an output that only one of the two
// can be decides, one that both can be makes the walk branch, one that neither can be ends
// it. Each accepted draw places one more item, which must land in its range; the walk stops
// at the first that does not. A walk that places every item has reached the first output,
// and the state before it is the seed, which goes to the reference test (seed_match.hpp):
// only that test decides a match. The walk needs no bound on the number of rejections: it
// takes them as it meets them, exactly as the shuffle does.
//
// Which states to start from. The state of bound n's draw must have its output o_n below
// accept[n] with o_n mod n in item n - 1's range: for each such o_n (a work unit) the
// 2^16 states x with o(x) = o_n. Their predecessors x' = a^-1 (x - c) must either draw for
// bound n - 1 with item n - 2 in its range (o(x') < accept[n - 1], o(x') mod (n - 1) in a
// set that the range and j_n fix), or be a rejected candidate of bound n (o(x') >=
// accept[n]). Those are intervals of x'. The predecessors of the unit's states are x'_0 +
// a^-1 l for l < 2^16, so one index of the 2^16 values a^-1 l modulo 2^31, bucketed by their
// top bits (PredecessorIndex), lists the states whose predecessor falls in an interval in
// time proportional to what it lists. About 2^16 * 2^16 / 2^31 = 2 states a unit and
// predecessor output pass, one in n^2 of all states; a check of item n - 3 from the next
// two states back ends most of them before the walk starts.
//
// What it costs: over the whole seed space about (32767 / n)^2 interval look-ups and
// twice as many checks, and nothing that grows with the number of items or the number of
// rejections. On one core of the machine of the README's benchmark run that is 0.2 s at
// 16 items, 10 ms at 64 and a few milliseconds from a few hundred items on, most of it
// building the tables. With few items the matching seeds are themselves a large share of
// all seeds and the solve lists them by the million; there the search finds the first
// one by scanning instead (seed_search.hpp).
#pragma once

#include "shuffle/seed_match.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace native_accel::shuffle {

// The mask of a state modulo 2^31: twins, 2^31 apart, are one state.
inline constexpr std::uint32_t kStateMask = 0x7FFFFFFF;

// Where each item can end in a matching seed, for layouts whose positive sizes do not wrap:
// item k at a position p with low[k] <= p <= high[k].
struct PositionRanges {
    explicit PositionRanges(const SearchTables& tables);

    std::vector<std::uint32_t> low;
    std::vector<std::uint32_t> high;
};

// Whether any order lays the items out at their expected offsets (positive sizes must not
// wrap): the items sorted by offset, those that take room after the others of their offset.
bool layout_is_consistent(const SearchTables& tables);

// The 2^16 states with one output value, listed by where their predecessors fall: the
// predecessor of state (o << 16) + l is that of (o << 16) plus a^-1 l, modulo 2^31.
class PredecessorIndex {
public:
    PredecessorIndex();

    // Calls visit(l) for every l < 2^16 with base + a^-1 l (modulo 2^31) inside the states
    // of outputs first .. last.
    template <class Visit>
    void each(std::uint32_t base, std::uint32_t first, std::uint32_t last, Visit&& visit) const;

private:
    static constexpr std::uint32_t kBuckets = 1u << 15;  // by the top 15 of 31 bits
    std::vector<std::uint32_t> turned_;   // a^-1 l modulo 2^31, by bucket
    std::vector<std::uint16_t> l_;        // the l of each
    std::vector<std::uint32_t> bucket_;   // first entry of each bucket, and the end
};

// The outputs first .. last of a predecessor state, in one look-up.
struct OutputRun {
    std::uint32_t first;
    std::uint32_t last;
};

// What every worker of a solved search reads: built once per search, read-only afterwards.
class SolveTables {
public:
    // The solver judges layouts of up to 32768 items (one output a draw) whose positive
    // sizes do not wrap.
    static bool judges(const SearchTables& tables) noexcept;
    explicit SolveTables(const SearchTables& tables);

    // The work units: the outputs bound n's draw may have taken.
    [[nodiscard]] std::uint32_t units() const noexcept {
        return static_cast<std::uint32_t>(last_outputs_.size());
    }
    // The output of bound n's draw that each unit stands for, in increasing order.
    [[nodiscard]] std::span<const std::uint16_t> last_outputs() const noexcept { return last_outputs_; }
    // About how long one worker takes to solve every unit, in seconds, on the machine the
    // constants were measured on; the search weighs it against scanning.
    [[nodiscard]] double estimated_seconds() const noexcept { return estimated_seconds_; }
    // The natural logarithm of the chance that a seed matches, about.
    [[nodiscard]] double log_match_chance() const noexcept { return log_match_chance_; }

    // The predecessor outputs the states of a unit whose draw j_n = last_draw may step back
    // to: bound n - 1's draws that put item n - 2 in its range, then bound n's rejection band.
    void predecessor_runs(std::uint32_t last_draw, std::vector<OutputRun>& runs) const;

private:
    friend class SeedSolver;

    const SearchTables& tables_;
    PositionRanges ranges_;
    std::vector<std::uint32_t> accept_;  // accept[b] for bounds 0 .. n (0 and 1 unused)
    std::vector<std::uint16_t> last_outputs_;
    PredecessorIndex predecessors_;
    double estimated_seconds_ = 0;
    double log_match_chance_ = 0;

    void estimate_costs();
};

// One worker's solver with its scratch, allocated once.
class SeedSolver {
public:
    explicit SeedSolver(const SolveTables& tables);

    // Appends every matching seed (both twins) whose shuffle ends with a draw from the
    // output of unit `unit`, in no particular order.
    void solve(std::uint32_t unit, std::vector<std::uint32_t>& matches);

private:
    struct Branch {  // state, a rejected candidate of bound `level`, not yet walked on from
        std::uint32_t level;
        std::uint32_t state;
        std::size_t undo_mark;
    };
    struct Undo {
        std::uint32_t position;
        std::uint32_t value;
    };

    bool tail_fits(std::uint32_t last_draw, std::uint32_t state) const;
    void walk(std::uint32_t state, std::vector<std::uint32_t>& matches);
    bool place(std::uint32_t level, std::uint32_t state);
    bool draw_before(std::uint32_t& level, std::uint32_t from, std::uint32_t& state);

    // P, the final position of what sits at a position after the later steps; the identity
    // but where set in the current walk.
    std::uint32_t final_position(std::uint32_t p) const noexcept {
        return mark_[p] == walk_mark_ ? moved_[p] : p;
    }
    void set_final_position(std::uint32_t p, std::uint32_t value);

    const SolveTables& tables_;
    ReferenceTest reference_;
    std::vector<std::uint32_t> moved_;
    std::vector<std::uint32_t> mark_;
    std::uint32_t walk_mark_ = 0;
    std::vector<Undo> undo_;
    std::vector<Branch> branches_;
    std::vector<OutputRun> runs_;
};

template <class Visit>
void PredecessorIndex::each(std::uint32_t base, std::uint32_t first, std::uint32_t last,
                            Visit&& visit) const {
    const std::uint32_t start = ((first << 16) - base) & kStateMask;  // modulo 2^31 on purpose
    const std::uint32_t length = (last - first + 1) << 16;         // 2^31 at most
    // The buckets the interval touches, from the one holding `start` round the circle.
    const std::uint32_t buckets =
        std::min(kBuckets, ((start & 0xFFFF) + length + 0xFFFF) >> 16);
    for (std::uint32_t i = 0; i < buckets; ++i) {
        const std::uint32_t bucket = ((start >> 16) + i) & (kBuckets - 1);
        for (std::uint32_t e = bucket_[bucket]; e < bucket_[bucket + 1]; ++e) {
            if (((turned_[e] - start) & kStateMask) < length) visit(l_[e]);
        }
    }
}

}  // namespace native_accel::shuffle
