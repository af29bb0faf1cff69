#include "shuffle/seed_solve.hpp"

#include <cassert>
#include <cmath>
#include <numeric>
#include <utility>

namespace native_accel::shuffle {
namespace {

constexpr std::uint32_t kOutputs = kOutputMask + 1;
constexpr std::uint32_t kStatesPerOutput = 1u << 16;

// a^-1 modulo 2^32 by Newton's iteration (each round doubles the correct low bits); it is
// also the inverse modulo 2^31.
constexpr std::uint32_t inverse_of_odd(std::uint32_t a) {
    std::uint32_t x = a;
    for (int round = 0; round < 5; ++round) x *= 2 - a * x;  // modulo 2^32 on purpose
    return x;
}
constexpr std::uint32_t kStepBackMultiplier = inverse_of_odd(kRandMultiplier);
static_assert(kStepBackMultiplier * kRandMultiplier == 1);

// The state before x, modulo 2^31.
constexpr std::uint32_t step_back(std::uint32_t x) {
    return ((x - kRandIncrement) * kStepBackMultiplier) & kStateMask;  // modulo 2^32, then 2^31
}

// Costs behind estimated_seconds, measured with bench/match_bench on the machine of the
// README's benchmark run: an index entry looked at, a state's quick check, a walk.
constexpr double kSecondsPerEntry = 2.5e-9;
constexpr double kSecondsPerCheck = 12e-9;
constexpr double kSecondsPerWalk = 30e-9;
// The draws before bound n's that the quick check follows before a walk.
constexpr std::uint32_t kQuickDraws = 4;

}  // namespace

PositionRanges::PositionRanges(const SearchTables& tables)
    : low(tables.count), high(tables.count) {
    assert(!tables.wraps);
    // below = items expected before, not_above = items expected before or at the same
    // offset (the item itself included). An item that takes room stands last of its
    // offset; the others stand anywhere before it, or anywhere at all among their offset
    // when none there takes room.
    std::vector<std::uint32_t> sorted(tables.expected);
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::uint32_t> taking_room;
    for (std::uint32_t k = 0; k < tables.count; ++k) {
        if (tables.sizes[k] > 0) taking_room.push_back(tables.expected[k]);
    }
    std::sort(taking_room.begin(), taking_room.end());
    for (std::uint32_t k = 0; k < tables.count; ++k) {
        const std::uint32_t e = tables.expected[k];
        const auto below = static_cast<std::uint32_t>(
            std::lower_bound(sorted.begin(), sorted.end(), e) - sorted.begin());
        const auto not_above = static_cast<std::uint32_t>(
            std::upper_bound(sorted.begin(), sorted.end(), e) - sorted.begin());
        if (tables.sizes[k] > 0) {
            low[k] = high[k] = not_above - 1;
        } else {
            const bool room_here = std::binary_search(taking_room.begin(), taking_room.end(), e);
            low[k] = below;
            high[k] = not_above - 1 - (room_here ? 1 : 0);
        }
    }
}

// In a matching order the offsets never decrease along the positions (nothing wraps), so
// the items stand sorted by offset; an item that takes room pushes every later offset past
// its own, so it stands last among those of its offset, and the order of the others there
// changes no offset. That one order therefore lays the items out as expected exactly when
// some order does.
bool layout_is_consistent(const SearchTables& tables) {
    assert(!tables.wraps);
    std::vector<std::uint32_t> order(tables.count);
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    std::sort(order.begin(), order.end(), [&tables](std::uint32_t x, std::uint32_t y) {
        const bool x_room = tables.sizes[x] > 0;
        const bool y_room = tables.sizes[y] > 0;
        return tables.expected[x] != tables.expected[y] ? tables.expected[x] < tables.expected[y]
                                                        : x_room < y_room;
    });
    std::uint32_t running = 0;
    for (const std::uint32_t k : order) {
        if (tables.expected[k] != running) return false;
        if (tables.sizes[k] > 0) running += static_cast<std::uint32_t>(tables.sizes[k]);
    }
    return true;
}

PredecessorIndex::PredecessorIndex()
    : turned_(kStatesPerOutput), l_(kStatesPerOutput), bucket_(kBuckets + 1, 0) {
    auto turned = [](std::uint32_t l) { return (kStepBackMultiplier * l) & kStateMask; };
    for (std::uint32_t l = 0; l < kStatesPerOutput; ++l) ++bucket_[(turned(l) >> 16) + 1];
    std::partial_sum(bucket_.begin(), bucket_.end(), bucket_.begin());
    std::vector<std::uint32_t> next(bucket_.begin(), bucket_.end() - 1);
    for (std::uint32_t l = 0; l < kStatesPerOutput; ++l) {
        const std::uint32_t e = next[turned(l) >> 16]++;
        turned_[e] = turned(l);
        l_[e] = static_cast<std::uint16_t>(l);
    }
}

bool SolveTables::judges(const SearchTables& tables) noexcept {
    return tables.count <= kOutputs && !tables.wraps;
}

SolveTables::SolveTables(const SearchTables& tables)
    : tables_(tables), ranges_(tables), accept_(tables.count + 1, kOutputs) {
    assert(judges(tables));
    const std::uint32_t n = tables.count;
    for (std::uint32_t bound = 2; bound <= n; ++bound) {
        const FastDraw& fast = tables.fast_draws[bound - 2];
        assert(fast.draws == 1);
        accept_[bound] = static_cast<std::uint32_t>(std::min<std::uint64_t>(fast.accept_below, kOutputs));
    }
    const FastDraw& last = tables.fast_draws[n - 2];
    for (std::uint32_t o = 0; o < accept_[n]; ++o) {
        const std::uint32_t j = last.remainder_of(o);
        if (j >= ranges_.low[n - 1] && j <= ranges_.high[n - 1]) {
            last_outputs_.push_back(static_cast<std::uint16_t>(o));
        }
    }
    estimate_costs();
}

// The solve's cost: each run looks at the index buckets it touches, about two entries each,
// and lets through about 2 states a predecessor output (2^16 states of a unit and 2^16 of an
// output, among 2^31), each given the quick check; those whose item n - 3 fits are counted
// as walked. The chance that a seed matches: of the n! orders, those that leave the items
// of each offset that take no room in any order among themselves.
void SolveTables::estimate_costs() {
    const std::uint32_t n = tables_.count;
    double entries = 0;
    double checked = kStatesPerOutput;  // n = 2: every state of a unit is walked
    double walked = kStatesPerOutput;
    if (n > 2 && !last_outputs_.empty()) {
        std::vector<OutputRun> runs;
        predecessor_runs(tables_.fast_draws[n - 2].remainder_of(last_outputs_.front()), runs);
        checked = 0;
        for (const OutputRun& run : runs) {
            entries += 2.0 * (run.last - run.first + 2);
            checked += 2.0 * (run.last - run.first + 1);
        }
        walked = n < 4 ? checked
                       : checked * (ranges_.high[n - 3] - ranges_.low[n - 3] + 1) / (n - 2);
    }
    estimated_seconds_ = static_cast<double>(units()) *
                         (entries * kSecondsPerEntry + checked * kSecondsPerCheck +
                          walked * kSecondsPerWalk);

    std::vector<std::pair<std::uint32_t, bool>> items(n);  // offset, takes room
    for (std::uint32_t k = 0; k < n; ++k) items[k] = {tables_.expected[k], tables_.sizes[k] > 0};
    std::sort(items.begin(), items.end());
    double log_orders = 0;  // of the orders that match: a factorial per offset
    for (std::uint32_t k = 0, run = 0; k < n; ++k) {
        run = k > 0 && items[k].first == items[k - 1].first ? run + 1 : 1;
        if (!items[k].second) log_orders += std::log(static_cast<double>(run));
    }
    log_match_chance_ = log_orders - std::lgamma(n + 1.0);
}

void SolveTables::predecessor_runs(std::uint32_t last_draw, std::vector<OutputRun>& runs) const {
    const std::uint32_t n = tables_.count;
    assert(n >= 3 && last_draw < n);
    runs.clear();
    // Bound n - 1 draws p < n - 1, which puts item n - 2 at n - 1 when p = j_n (the step of
    // bound n exchanged those positions), else at p. So p may be any position of the item's
    // range below n - 1, j_n taking the place of n - 1.
    const std::uint32_t low = ranges_.low[n - 2];
    const std::uint32_t high = ranges_.high[n - 2];
    const bool may_end_last = high == n - 1;
    const std::uint32_t top = std::min(high, n - 2);
    OutputRun pieces[3];
    std::uint32_t count = 0;
    if (low <= top && last_draw >= low && last_draw <= top && !may_end_last) {
        if (last_draw > low) pieces[count++] = {low, last_draw - 1};
        if (last_draw < top) pieces[count++] = {last_draw + 1, top};
    } else {
        if (low <= top) pieces[count++] = {low, top};
        if (may_end_last && last_draw < n - 1 && !(last_draw >= low && last_draw <= top)) {
            const OutputRun alone{last_draw, last_draw};
            if (count == 1 && last_draw < low) {
                pieces[1] = pieces[0];
                pieces[0] = alone;
            } else {
                pieces[count] = alone;
            }
            ++count;
        }
    }
    auto add = [&runs](std::uint32_t first, std::uint32_t last) {
        if (!runs.empty() && runs.back().last + 1 == first) {
            runs.back().last = last;
        } else {
            runs.push_back({first, last});
        }
    };
    // Draws of bound n - 1 below bound n's rejection band; the band itself comes last.
    const std::uint32_t limit = std::min(accept_[n], accept_[n - 1]);
    for (std::uint32_t base = 0; base < limit; base += n - 1) {
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t first = base + pieces[i].first;
            const std::uint32_t last = std::min(base + pieces[i].last, limit - 1);
            if (first <= last) add(first, last);
        }
    }
    if (accept_[n] < kOutputs) add(accept_[n], kOutputs - 1);
}

SeedSolver::SeedSolver(const SolveTables& tables)
    : tables_(tables), reference_(tables.tables_), moved_(tables.tables_.count),
      mark_(tables.tables_.count, 0) {}

void SeedSolver::solve(std::uint32_t unit, std::vector<std::uint32_t>& matches) {
    const std::uint32_t n = tables_.tables_.count;
    const std::uint32_t output = tables_.last_outputs_[unit];
    const std::uint32_t first_state = output << 16;
    if (n == 2) {  // no earlier draw to filter by: every state of the unit is walked
        for (std::uint32_t l = 0; l < kStatesPerOutput; ++l) walk(first_state + l, matches);
        return;
    }
    const std::uint32_t last_draw = tables_.tables_.fast_draws[n - 2].remainder_of(output);
    tables_.predecessor_runs(last_draw, runs_);
    const std::uint32_t base = step_back(first_state);
    for (const OutputRun& run : runs_) {
        tables_.predecessors_.each(base, run.first, run.last, [&](std::uint32_t l) {
            if (tail_fits(last_draw, first_state + l)) walk(first_state + l, matches);
        });
    }
}

// Where the walk would end most states at once, without its bookkeeping: following the
// states back from bound n's draw while each is plainly the previous bound's draw (kept by
// it, and no candidate the bound after could have rejected), item b - 1 ends at j_b moved
// on by the later draws (to i - 1 by each later j_i that hits it), and must fit its range.
// False only when the walk would end there too.
bool SeedSolver::tail_fits(std::uint32_t last_draw, std::uint32_t state) const {
    const SearchTables& tables = tables_.tables_;
    const std::uint32_t n = tables.count;
    std::uint32_t draws[kQuickDraws];  // j_n, j_(n-1), ...
    draws[0] = last_draw;
    std::uint32_t at = state;
    for (std::uint32_t d = 1; d < kQuickDraws && n - d >= 2; ++d) {
        const std::uint32_t bound = n - d;
        at = step_back(at);
        const std::uint32_t output = at >> 16;
        if (output >= tables_.accept_[bound + 1]) return true;  // may be a rejection: walk
        if (output >= tables_.accept_[bound]) return false;      // drawn by neither
        std::uint32_t ends_at = draws[d] = tables.fast_draws[bound - 2].remainder_of(output);
        for (std::uint32_t later = d; later-- > 0;) {
            if (ends_at == draws[later]) ends_at = n - later - 1;
        }
        if (ends_at < tables_.ranges_.low[bound - 1] || ends_at > tables_.ranges_.high[bound - 1]) {
            return false;
        }
    }
    return true;
}

void SeedSolver::set_final_position(std::uint32_t p, std::uint32_t value) {
    undo_.push_back({p, final_position(p)});
    moved_[p] = value;
    mark_[p] = walk_mark_;
}

// Places item level - 1 by bound level's draw from `state`: false when it ends outside its
// range.
bool SeedSolver::place(std::uint32_t level, std::uint32_t state) {
    const std::uint32_t j = tables_.tables_.fast_draws[level - 2].remainder_of(state >> 16);
    const std::uint32_t item = level - 1;
    const std::uint32_t ends_at = final_position(j);
    if (ends_at < tables_.ranges_.low[item] || ends_at > tables_.ranges_.high[item]) return false;
    if (j != item) {
        const std::uint32_t from_item = final_position(item);
        set_final_position(item, ends_at);
        set_final_position(j, from_item);
    }
    return true;
}

// Steps back from `from` (bound level's accepted draw or one of its rejected candidates)
// through bound level's rejected candidates to bound level - 1's draw, which becomes
// `state` at level - 1. An output that may be either leaves a branch to walk later.
bool SeedSolver::draw_before(std::uint32_t& level, std::uint32_t from, std::uint32_t& state) {
    const std::uint32_t keep_earlier = tables_.accept_[level - 1];
    const std::uint32_t keep_own = tables_.accept_[level];
    for (std::uint32_t at = from;;) {
        at = step_back(at);
        const std::uint32_t output = at >> 16;
        const bool rejected_own = output >= keep_own;
        if (output < keep_earlier) {
            if (rejected_own) branches_.push_back({level, at, undo_.size()});
            --level;
            state = at;
            return true;
        }
        if (!rejected_own) return false;
    }
}

// Every seed whose bound n draw came from `state`, depth first.
void SeedSolver::walk(std::uint32_t state, std::vector<std::uint32_t>& matches) {
    if (++walk_mark_ == 0) {  // the marks wrapped: forget them all once
        std::fill(mark_.begin(), mark_.end(), 0);
        walk_mark_ = 1;
    }
    undo_.clear();
    branches_.clear();
    std::uint32_t level = tables_.tables_.count;
    for (;;) {
        bool alive = place(level, state);
        if (alive && level == 2) {  // bound 2 draws from the first output
            const std::uint32_t seed = step_back(state);
            if (reference_.matches(seed)) {
                matches.push_back(seed);
                matches.push_back(seed | 0x80000000u);
            }
            alive = false;
        }
        if (alive) alive = draw_before(level, state, state);
        while (!alive) {
            if (branches_.empty()) return;
            const Branch branch = branches_.back();
            branches_.pop_back();
            while (undo_.size() > branch.undo_mark) {
                moved_[undo_.back().position] = undo_.back().value;
                mark_[undo_.back().position] = walk_mark_;
                undo_.pop_back();
            }
            level = branch.level;
            alive = draw_before(level, branch.state, state);
        }
    }
}

}  // namespace native_accel::shuffle
