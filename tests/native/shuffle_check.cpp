// Checks of the shuffle bodies that Python cannot reach: the division-free draw against
// the plain one for every one-output candidate; the scan against the reference test seed by
// seed and its end items against real shuffles; the position ranges and the consistency of
// layouts with ties; the solver's predecessor index and runs against a plain search of a
// unit's states; the solver against the reference test (everything it reports matches, and
// every match that a plain scan finds near the seeds it was made from, at the ends of the
// seed range and after long runs of rejections is reported); the exact texts of the
// progress line. Run by tests/test_native_checks.py; exits 1 on a failure.
#include "shuffle/msvc_rand.hpp"
#include "shuffle/progress.hpp"
#include "shuffle/seed_match.hpp"
#include "shuffle/seed_solve.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace native_accel::shuffle;

int failures = 0;

void expect(bool ok, const std::string& what) {
    if (!ok) {
        ++failures;
        if (failures <= 20) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    }
}

// The known answers hold at compile time too.
constexpr std::array<std::uint32_t, 5> shuffled_five() {
    std::array<std::uint32_t, 5> items{0, 1, 2, 3, 4};
    msvc_shuffle(1, 5, [&items](std::uint32_t p, std::uint32_t j) {
        const std::uint32_t t = items[p];
        items[p] = items[j];
        items[j] = t;
    });
    return items;
}
static_assert(shuffled_five() == std::array<std::uint32_t, 5>{4, 1, 3, 2, 0});
static_assert(msvc_shuffle(1, 5, [](std::uint32_t, std::uint32_t) {}) == 3884216597u);
static_assert(RangePlan::for_bound(3).quotient == 10922 && RangePlan::for_bound(3).remainder == 1);
static_assert(RangePlan::for_bound(0x40000001u).draws == 3);

// Every one-output bound with every candidate, and many-output bounds on chosen values.
void check_fast_draws() {
    for (std::uint32_t bound = 2; bound <= 32768; ++bound) {
        const RangePlan plan = RangePlan::for_bound(bound);
        const FastDraw fast = FastDraw::for_plan(plan);
        expect(fast.narrow_multiplier < 65536, "narrow multiplier fits 16 bits");
        for (std::uint32_t v = 0; v <= kOutputMask; ++v) {
            if (fast.quotient_of(v) != v / bound || (v < fast.accept_below) != plan.accepts(v)) {
                expect(false, "one-output draw, bound " + std::to_string(bound) + " v " +
                                  std::to_string(v));
                break;
            }
        }
    }
    std::mt19937_64 rng(1);
    for (int round = 0; round < 20000; ++round) {
        const auto bound = static_cast<std::uint32_t>(32769 + rng() % (UINT32_MAX - 32768));
        const RangePlan plan = RangePlan::for_bound(bound);
        const FastDraw fast = FastDraw::for_plan(plan);
        const std::uint32_t mask = plan.draws == 2 ? 0x3FFFFFFFu : UINT32_MAX;
        const std::uint32_t q = plan.quotient;
        const std::uint64_t probes[] = {0, 1, mask, mask - 1, std::uint64_t{q} * bound,
                                        std::uint64_t{q} * bound - 1, rng() & mask,
                                        std::uint64_t{bound} - 1, bound};
        for (std::uint64_t wide : probes) {
            const auto v = static_cast<std::uint32_t>(wide & mask);
            expect(fast.quotient_of(v) == v / bound, "wide quotient, bound " + std::to_string(bound));
            expect((v < fast.accept_below) == plan.accepts(v), "wide accept, bound " + std::to_string(bound));
        }
    }
}

// Layout styles: distinct sizes; sizes -1, 0 and 1 (ties everywhere); sizes 3 or 5; sizes
// whose sum wraps past 2^32 (the solver steps aside); distinct sizes with every offset moved
// by one, which no seed lays out; and files with a few empty ones among them.
constexpr int kStyles = 6;
constexpr int kWrapping = 3;
constexpr int kMoved = 4;

std::vector<std::uint32_t> shuffled(std::uint32_t seed, std::uint32_t n) {
    std::vector<std::uint32_t> order(n);
    for (std::uint32_t k = 0; k < n; ++k) order[k] = k;
    msvc_shuffle(seed, n, [&order](std::uint32_t p, std::uint32_t j) { std::swap(order[p], order[j]); });
    return order;
}

std::vector<TargetEntry> random_target(std::mt19937_64& rng, std::uint32_t n, int style,
                                       std::uint32_t hidden) {
    std::vector<std::int32_t> sizes(n);
    for (auto& size : sizes) {
        switch (style) {
            case 1: size = static_cast<std::int32_t>(rng() % 3) - 1; break;   // -1, 0, 1
            case 2: size = static_cast<std::int32_t>(3 + 2 * (rng() % 2)); break;  // 3 or 5
            case kWrapping: size = static_cast<std::int32_t>(0x40000000 + rng() % 0x3FFFFFFF); break;
            case 5: size = rng() % 8 == 0 ? 0 : static_cast<std::int32_t>(512 + rng() % 100000); break;
            default: size = static_cast<std::int32_t>(1 + rng() % 1000); break;
        }
    }
    // The layout of seed `hidden`, so that matches and near misses both occur.
    std::vector<TargetEntry> target(n);
    std::uint32_t running = 0;
    for (std::uint32_t k : shuffled(hidden, n)) {
        target[k] = {static_cast<std::int32_t>(running + (style == kMoved)), sizes[k]};
        if (sizes[k] > 0) running += static_cast<std::uint32_t>(sizes[k]);
    }
    return target;
}

// The scan against the reference test seed by seed, and the items it traces to positions 0
// and n - 1 against the real shuffle: at the top of the seed range, around the hidden seed
// and on a random stretch.
void check_scan(std::uint32_t n, int style, std::mt19937_64& rng) {
    const auto hidden = static_cast<std::uint32_t>(rng());
    const SearchTables tables(random_target(rng, n, style, hidden));
    ReferenceTest reference(tables);
    SeedScanner scanner(tables);
    const std::string where = "scan, n " + std::to_string(n) + " style " + std::to_string(style);
    const std::uint32_t stretch = n > 1000 ? 4 : 64;
    for (const std::uint32_t first : {UINT32_MAX - (stretch - 1), hidden - std::min(hidden, stretch / 2),
                                      static_cast<std::uint32_t>(rng() % (UINT32_MAX - stretch))}) {
        for (std::uint32_t k = 0; k < stretch; ++k) {
            const std::uint32_t seed = first + k;
            const auto order = shuffled(seed, n);
            std::uint32_t opening = 0;
            std::uint32_t closing = 0;
            scanner.end_items(seed, opening, closing);
            expect(opening == order[0] && closing == order[n - 1], "end items, " + where);
            expect(scanner.matches(seed) == reference.matches(seed), "verdict, " + where);
        }
    }
    expect(style == kMoved || reference.matches(hidden), "the hidden seed matches, " + where);
}

// Position ranges and consistency of hand-made layouts with ties and sizes of 0 and below.
void check_position_ranges() {
    // Offsets 0 {A (size 0), B (5)}, 5 {C (-1), D (3)}, 8 {E (0)}: an item that takes no
    // room stands before the one of its offset that does, so every position is fixed.
    const std::vector<TargetEntry> tied = {{0, 0}, {0, 5}, {5, -1}, {5, 3}, {8, 0}};
    const PositionRanges fixed(SearchTables{tied});
    expect(fixed.low == std::vector<std::uint32_t>{0, 1, 2, 3, 4} &&
               fixed.high == std::vector<std::uint32_t>{0, 1, 2, 3, 4},
           "position ranges on ties");
    // Two empty items before a file at 0, two more at the end, in any order among themselves.
    const std::vector<TargetEntry> loose = {{0, 0}, {0, -3}, {0, 5}, {5, 0}, {5, 0}};
    const PositionRanges ranges(SearchTables{loose});
    expect(ranges.low == std::vector<std::uint32_t>{0, 0, 2, 3, 3} &&
               ranges.high == std::vector<std::uint32_t>{1, 1, 2, 4, 4},
           "position ranges of interchangeable items");
    const std::pair<std::vector<TargetEntry>, bool> layouts[] = {
        {tied, true},
        {loose, true},
        {{{7, 3}, {0, 7}, {10, 0}}, true},
        {{{0, 1}, {0, 1}, {2, 1}}, false},   // two items that take room at offset 0
        {{{0, 0}, {1, 1}}, false},           // nothing takes room before offset 1
        {{{1, 16}, {17, 16}}, false},        // nothing at offset 0
        {{{0, 5}, {5, 0}, {6, 1}}, false},   // a gap after the empty item
        {{{0, 0x7FFFFFFF}, {0x7FFFFFFF, 1}, {INT32_MIN, 0}}, true},  // offset 2^31 as a pattern
    };
    for (const auto& [layout, consistent] : layouts) {
        expect(layout_is_consistent(SearchTables{layout}) == consistent, "layout consistency");
    }
    const std::vector<TargetEntry> wraps = {{0, 0x7FFFFFFF}, {0x7FFFFFFF, 0x7FFFFFFF}, {-2, 2}};
    expect(!SolveTables::judges(SearchTables{wraps}), "sizes summing to 2^32 are scanned");
    const std::vector<TargetEntry> just = {{0, 0x7FFFFFFF}, {0x7FFFFFFF, 0x7FFFFFFF}, {-2, 1}};
    expect(SolveTables::judges(SearchTables{just}), "sizes summing to 2^32 - 1 are solved");
    std::vector<TargetEntry> many(kOutputMask + 2, TargetEntry{0, 0});
    expect(!SolveTables::judges(SearchTables{many}), "two outputs a draw are scanned");
    many.pop_back();
    expect(SolveTables::judges(SearchTables{many}), "32768 items are solved");
}

std::uint32_t step_back(std::uint32_t x) {
    std::uint32_t inverse = kRandMultiplier;  // a^-1 by Newton's iteration
    for (int round = 0; round < 5; ++round) inverse *= 2 - kRandMultiplier * inverse;
    return ((x - kRandIncrement) * inverse) & kStateMask;
}

// The states of a unit whose predecessors the index and the runs list, against every state
// of the unit tested plainly: its predecessor is a rejected candidate of bound n, or bound
// n - 1's draw with item n - 2 in its range.
void check_predecessors(const SearchTables& tables, std::uint32_t unit_output, const std::string& where) {
    const std::uint32_t n = tables.count;
    const SolveTables solve(tables);
    const PositionRanges ranges(tables);
    const PredecessorIndex index;
    auto accept = [&tables](std::uint32_t bound) {
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(tables.fast_draws[bound - 2].accept_below, 32768));
    };
    const std::uint32_t last_draw = unit_output % n;
    std::vector<OutputRun> runs;
    solve.predecessor_runs(last_draw, runs);
    std::vector<bool> listed(1u << 16);
    const std::uint32_t first_state = unit_output << 16;
    for (const OutputRun& run : runs) {
        index.each(step_back(first_state), run.first, run.last, [&](std::uint32_t l) {
            expect(!listed[l], "a state listed twice, " + where);
            listed[l] = true;
        });
    }
    for (std::uint32_t l = 0; l < (1u << 16); ++l) {
        const std::uint32_t output = step_back(first_state + l) >> 16;
        bool wanted = output >= accept(n);
        if (output < accept(n - 1)) {
            std::uint32_t ends_at = output % (n - 1);
            if (ends_at == last_draw) ends_at = n - 1;
            wanted = wanted || (ends_at >= ranges.low[n - 2] && ends_at <= ranges.high[n - 2]);
        }
        if (listed[l] != wanted) {
            expect(false, "predecessor listing, " + where + " state " + std::to_string(first_state + l));
            return;
        }
    }
}

// The output from which bound n draws for `seed`, and how many candidates were rejected
// before it.
std::pair<std::uint32_t, std::uint32_t> last_draw_of(const SearchTables& tables, std::uint32_t seed) {
    MsvcRand rand{seed};
    std::uint32_t output = 0;
    std::uint32_t rejected = 0;
    for (const FastDraw& fast : tables.fast_draws) {
        while ((output = rand.next()) >= fast.accept_below) ++rejected;
    }
    return {output, rejected};
}

// The solver's units for these seeds, and every seed they report: each must match, come
// with its twin, and include every seed given that matches.
void check_solver(const SearchTables& tables, const std::vector<std::uint32_t>& seeds,
                  const std::string& where) {
    const SolveTables solve(tables);
    SeedSolver solver(solve);
    ReferenceTest reference(tables);
    const auto outputs = solve.last_outputs();
    std::set<std::uint32_t> units;
    for (const std::uint32_t seed : seeds) {
        const std::uint32_t output = last_draw_of(tables, seed).first;
        const auto at = std::lower_bound(outputs.begin(), outputs.end(), output);
        if (at != outputs.end() && *at == output) {
            units.insert(static_cast<std::uint32_t>(at - outputs.begin()));
        } else {
            expect(!reference.matches(seed), "a match outside every unit, " + where);
        }
    }
    std::vector<std::uint32_t> reported;
    for (const std::uint32_t unit : units) solver.solve(unit, reported);
    std::sort(reported.begin(), reported.end());
    auto was_reported = [&reported](std::uint32_t seed) {
        return std::binary_search(reported.begin(), reported.end(), seed);
    };
    // Tiny layouts report millions: every one has its twin, a spread of them is tested.
    const std::size_t step = std::max<std::size_t>(1, reported.size() / 20000);
    for (std::size_t i = 0; i < reported.size(); i += step) {
        if (!reference.matches(reported[i]) || !was_reported(reported[i] ^ 0x80000000u)) {
            expect(false, "a reported seed does not match, or comes without its twin, " + where);
            break;
        }
    }
    for (const std::uint32_t seed : seeds) {
        if (reference.matches(seed) && !was_reported(seed)) {
            expect(false, "a match the solver missed, " + where + " seed " + std::to_string(seed));
            break;
        }
    }
}

// The seeds of a stretch that match, by the reference test, at most `most` of them.
std::vector<std::uint32_t> plain_matches(const SearchTables& tables, std::uint32_t first,
                                         std::uint32_t count, std::size_t most) {
    ReferenceTest reference(tables);
    std::vector<std::uint32_t> found;
    for (std::uint32_t k = 0; k < count && found.size() < most; ++k) {
        if (reference.matches(first + k)) found.push_back(first + k);
    }
    return found;
}

void check_solves(std::uint32_t n, int style, std::mt19937_64& rng) {
    if (style == kWrapping) return;
    const auto hidden = static_cast<std::uint32_t>(rng());
    const SearchTables tables(random_target(rng, n, style, hidden));
    const std::string where = "solve, n " + std::to_string(n) + " style " + std::to_string(style);
    if (!layout_is_consistent(tables)) {
        expect(style == kMoved, "a layout of a seed is consistent, " + where);
        return;
    }
    const std::uint32_t stretch = n < 64 ? 1u << 14 : 64;
    std::vector<std::uint32_t> seeds = {hidden, hidden ^ 0x80000000u, 0, 1, UINT32_MAX};
    for (const std::uint32_t first : {0u, UINT32_MAX - (stretch - 1), hidden - std::min(hidden, stretch / 2)}) {
        for (const std::uint32_t seed : plain_matches(tables, first, stretch, 6)) seeds.push_back(seed);
    }
    check_solver(tables, seeds, where);
    if (n >= 3 && n <= kOutputMask) {
        check_predecessors(tables, static_cast<std::uint32_t>(last_draw_of(tables, hidden).first), where);
    }
}

// Seeds with the most rejections before their last draw that a sample holds, laid out and
// solved: the walk back takes every rejection as it meets it.
void check_many_rejections(std::mt19937_64& rng) {
    for (const std::uint32_t n : {300u, 5000u, 20000u}) {
        const SearchTables any(random_target(rng, n, 0, 0));  // rejections depend on n alone
        std::uint32_t most = 0;
        std::uint32_t seed = 0;
        for (int k = 0; k < (n > 1000 ? 200 : 20000); ++k) {
            const auto candidate = static_cast<std::uint32_t>(rng());
            const std::uint32_t rejected = last_draw_of(any, candidate).second;
            if (rejected >= most) {
                most = rejected;
                seed = candidate;
            }
        }
        const SearchTables tables(random_target(rng, n, 0, seed));
        check_solver(tables, {seed}, "many rejections (" + std::to_string(most) + "), n " + std::to_string(n));
    }
}

void check_texts() {
    const std::pair<double, const char*> etas[] = {
        {0.4, "00:00:00"},     {59.5, "00:01:00"},      {3600, "01:00:00"},
        {360000, "100:00:00"}, {0.5, "00:00:01"},       {0.0, "00:00:00"},
        {-3.0, "00:00:00"},    {INFINITY, "00:00:00"},  {NAN, "00:00:00"},
        {443231.0, "123:07:11"}, {1e300, "2562047788015215:30:07"},
    };
    for (const auto& [eta, text] : etas) {
        expect(format_eta(eta) == text, "format_eta(" + std::to_string(eta) + ") = " +
                                            format_eta(eta) + ", want " + text);
    }
    const std::pair<std::string, std::string> lines[] = {
        {progress_line(0, 1234944, 3.0),
         "[test-shuffle] next_seed=1234944 elapsed=3.0s rate~411648/s ETA=02:53:51\n"},
        {progress_line(5, 0, 0.25),  // nothing flushed yet; 0.25 rounds to even
         "[test-shuffle] next_seed=5 elapsed=0.2s rate~0/s ETA=00:00:00\n"},
        {progress_line(0, 5, 2.0),  // rate 2.5 rounds to even
         "[test-shuffle] next_seed=5 elapsed=2.0s rate~2/s ETA=477218:35:16\n"},
        {progress_line(UINT32_MAX - 9, 10, 1.0),  // every seed tested: capped
         "[test-shuffle] next_seed=4294967295 elapsed=1.0s rate~10/s ETA=00:00:00\n"},
        {progress_line(7, 100, 0.0),
         "[test-shuffle] next_seed=107 elapsed=0.0s rate~0/s ETA=00:00:00\n"},
    };
    for (const auto& [got, want] : lines) expect(got == want, "line " + got + " want " + want);
}

void check_intervals() {
    using std::chrono::nanoseconds;
    expect(!report_interval(0.0) && !report_interval(-1.0) && !report_interval(NAN),
           "0, negative and NaN switch reports off");
    expect(!report_interval(INFINITY) && !report_interval(18446744073709551616.0),
           "2^64 s and more never report");
    expect(report_interval(18446744073709549568.0) == nanoseconds::max(),
           "just below 2^64 s saturates");
    expect(report_interval(1e-9) == nanoseconds(1) && report_interval(1.0) == nanoseconds(1000000000),
           "intervals round to whole nanoseconds");
    expect(report_interval(0.4e-9) == nanoseconds(0), "a tiny interval reports every round");
}

}  // namespace

int main() {
    check_fast_draws();
    std::mt19937_64 rng(7);
    check_position_ranges();
    for (std::uint32_t n = 2; n <= 40; ++n) {
        for (int style = 0; style < kStyles; ++style) {
            check_scan(n, style, rng);
            check_solves(n, style, rng);
        }
    }
    for (std::uint32_t n : {48u, 64u, 100u, 255u, 256u, 1000u, 4096u, 10000u, 16385u, 32767u, 32768u}) {
        for (int style = 0; style < kStyles; ++style) check_solves(n, style, rng);
    }
    // Past one output a draw only the scan applies.
    check_scan(kOutputMask + 2, 0, rng);
    check_many_rejections(rng);
    check_texts();
    check_intervals();
    std::printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
