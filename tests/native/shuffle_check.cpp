// Checks of the shuffle bodies that Python cannot reach: the division-free draw against
// the plain one for every one-output candidate, the scalar and lane match paths and every
// forward kernel this CPU has against the reference test seed by seed, their end items and
// tail positions against real shuffles, the position ranges on ties, and the exact texts
// of the progress line. Run by tests/test_native_checks.py; exits 1 on a failure.
#include "shuffle/msvc_rand.hpp"
#include "shuffle/progress.hpp"
#include "shuffle/seed_match.hpp"
#include "shuffle/seed_match_forward.hpp"
#include "shuffle/seed_match_lanes.hpp"
#include "shuffle/seed_match_testing.hpp"
#include "shuffle/seed_match_walk.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace native_accel::shuffle;
using testing::ReferenceMatcher;
using testing::SeedMatcherProbe;

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
// whose sum wraps past 2^32 (the forward filter steps aside); and distinct sizes with every
// offset moved by one, which no seed lays out.
constexpr int kStyles = 5;

std::vector<TargetEntry> random_target(std::mt19937_64& rng, std::uint32_t n, int style,
                                       std::uint32_t hidden) {
    std::vector<std::int32_t> sizes(n);
    for (auto& size : sizes) {
        switch (style) {
            case 1: size = static_cast<std::int32_t>(rng() % 3) - 1; break;   // -1, 0, 1
            case 2: size = static_cast<std::int32_t>(3 + 2 * (rng() % 2)); break;  // 3 or 5
            case 3: size = static_cast<std::int32_t>(0x40000000 + rng() % 0x3FFFFFFF); break;
            default: size = static_cast<std::int32_t>(1 + rng() % 1000); break;
        }
    }
    // The layout of seed `hidden`, so that matches and near misses both occur.
    std::vector<std::uint32_t> order(n);
    for (std::uint32_t k = 0; k < n; ++k) order[k] = k;
    msvc_shuffle(hidden, n,
                 [&order](std::uint32_t p, std::uint32_t j) { std::swap(order[p], order[j]); });
    std::vector<TargetEntry> target(n);
    std::uint32_t running = 0;
    for (std::uint32_t k : order) {
        target[k] = {static_cast<std::int32_t>(running + (style == 4)), sizes[k]};
        if (sizes[k] > 0) running += static_cast<std::uint32_t>(sizes[k]);
    }
    return target;
}

// Position ranges of a hand-made layout with ties, sizes of 0 and below; the filter's
// conditions for applying.
void check_position_ranges() {
    // Offsets 0 {A (size 0), B (5)}, 5 {C (-1), D (3)}, 8 {E (0)}: B has A before it, D has
    // C before it, A and C may stand on either side of their partner.
    const std::vector<TargetEntry> tied = {{0, 0}, {0, 5}, {5, -1}, {5, 3}, {8, 0}};
    const SearchTables tables(tied);
    expect(tables.position_low == std::vector<std::uint32_t>{0, 1, 2, 3, 4} &&
               tables.position_high == std::vector<std::uint32_t>{1, 1, 3, 3, 4},
           "position ranges on ties");
    expect(tables.forward.applies && tables.forward.tail_low == std::array<std::uint32_t, 3>{4, 3, 2} &&
               tables.forward.tail_width == std::array<std::uint32_t, 3>{0, 0, 1},
           "tail ranges on ties");
    const std::vector<TargetEntry> two = {{0, 1}, {1, 1}};
    expect(SearchTables(two).forward.tail_width[2] == UINT32_MAX, "n = 2 checks two items");
    const std::vector<TargetEntry> wraps = {{0, 0x7FFFFFFF}, {0x7FFFFFFF, 0x7FFFFFFF}, {-2, 2}};
    expect(!SearchTables(wraps).forward.applies, "sizes summing to 2^32 keep the old paths");
    const std::vector<TargetEntry> just = {{0, 0x7FFFFFFF}, {0x7FFFFFFF, 0x7FFFFFFF}, {-2, 1}};
    expect(SearchTables(just).forward.applies, "sizes summing to 2^32 - 1 take the filter");
    std::vector<TargetEntry> many(kOutputMask + 2, TargetEntry{0, 0});
    expect(!SearchTables(many).forward.applies, "two outputs a draw keep the old paths");
    many.pop_back();
    expect(SearchTables(many).forward.applies, "32768 items take the filter");
}

// Every forward kernel available here on a block of seeds: its flags against the scalar
// kernel's verdicts (every kernel computes the same filter) and against the truth (every
// match flagged), whole groups and a part of one, and its matcher's scan against the
// reference's (a walk kernel's matcher marks by its walk, the kernel alone by compares).
void check_kernels(const SearchTables& tables, std::uint32_t first, const std::string& where) {
    std::vector<bool> truth(kMaxForwardGroup);
    std::vector<bool> passes(kMaxForwardGroup);
    ReferenceMatcher reference(tables);
    for (std::uint32_t k = 0; k < kMaxForwardGroup; ++k) {
        truth[k] = reference.match(first + k);
        passes[k] = detail::forward_passes(tables, first + k);
        expect(!truth[k] || passes[k], "scalar filter keeps every match, " + where);
    }
    for (const ForwardKernel& kernel : forward_kernels()) {
        if (!kernel.available()) continue;
        const std::string what = std::string(kernel.name) + ", " + where;
        std::uint64_t flags[kMaxForwardGroup / 64];
        for (std::uint32_t done = 0; done < kMaxForwardGroup;) {
            // A part of a group first, at the block's start, then whole groups.
            const std::uint32_t count = std::min(done == 0 ? kernel.group / 2 + 3 : kernel.group,
                                                 kMaxForwardGroup - done);
            kernel.flag(tables, first + done, count, flags);
            for (std::uint32_t k = 0; k < kernel.group; ++k) {
                const bool flagged = (flags[k / 64] >> (k % 64)) & 1;
                if (k >= count) {
                    expect(!flagged, "no flag past the count, " + what);
                } else {
                    expect(flagged == passes[done + k], "kernel agrees with scalar, " + what);
                }
            }
            done += count;
        }
        SeedMatcher matcher(tables, kernel);
        for (std::uint32_t done = 0; done < kMaxForwardGroup;) {
            const std::uint32_t found = matcher.scan(first + done, kMaxForwardGroup - done);
            std::uint32_t want = done;
            while (want < kMaxForwardGroup && !truth[want]) ++want;
            expect(done + found == want, "kernel scan, " + what);
            done = want + 1;
        }
    }
}

void check_paths(std::uint32_t n, int style, std::mt19937_64& rng) {
    const auto hidden = static_cast<std::uint32_t>(rng());
    const auto target = random_target(rng, n, style, hidden);
    const SearchTables tables(target);
    ReferenceMatcher reference(tables);
    SeedMatcher scalar(tables, MatchPath::scalar);
    SeedMatcher lanes(tables, MatchPath::lanes);
    SeedMatcherProbe scalar_steps(scalar);
    SeedMatcherProbe lane_steps(lanes);
    const bool have_lanes = lanes_supported(tables);
    const std::string where = "n " + std::to_string(n) + " style " + std::to_string(style);

    SeedMatcher forward(tables, MatchPath::forward);
    if (tables.forward.applies) {
        // The top of the seed range, the block around the hidden seed, a random block.
        check_kernels(tables, UINT32_MAX - (kMaxForwardGroup - 1), where);
        check_kernels(tables, std::min(hidden - std::min(hidden, 100u), UINT32_MAX - (kMaxForwardGroup - 1)),
                      where);
        check_kernels(tables, static_cast<std::uint32_t>(rng()) & ~1023u, where);
    }

    std::vector<std::uint32_t> order(n);
    std::vector<std::uint32_t> position(n);
    const int groups = n > kOutputMask ? 2 : 24;
    for (int group = 0; group < groups; ++group) {
        // Include the very top of the seed range (lanes must not wrap past it) and the seed
        // whose layout the target is.
        const auto first = group == 0   ? UINT32_MAX - (kLaneGroup - 1)
                           : group == 1 ? std::min(hidden - std::min(hidden, 5u), UINT32_MAX - (kLaneGroup - 1))
                                        : static_cast<std::uint32_t>(rng() % (UINT32_MAX - 64));
        std::array<std::uint32_t, 2 * kLaneGroup> ends{};
        if (have_lanes) lane_steps.lane_ends(first, ends);
        int matched = 0;
        for (std::uint32_t k = 0; k < kLaneGroup; ++k) {
            const std::uint32_t seed = first + k;
            for (std::uint32_t i = 0; i < n; ++i) order[i] = i;
            msvc_shuffle(seed, n, [&order](std::uint32_t p, std::uint32_t j) {
                std::swap(order[p], order[j]);
            });
            std::uint32_t opening = 0;
            std::uint32_t closing = 0;
            scalar_steps.scalar_ends(seed, opening, closing);
            expect(opening == order[0] && closing == order[n - 1], "scalar ends, " + where);
            if (have_lanes) {
                expect(ends[2 * k] == order[0] && ends[2 * k + 1] == order[n - 1],
                       "lane ends, " + where);
            }
            if (tables.forward.applies) {
                for (std::uint32_t p = 0; p < n; ++p) position[order[p]] = p;
                const auto tail = detail::forward_tail(tables, seed);
                for (std::uint32_t i = 0; i < 3 && i < n; ++i) {
                    expect(tail[i] == position[n - 1 - i], "tail position, " + where);
                }
            }
            const bool truth = reference.match(seed);
            matched += truth;
            expect(scalar_steps.scalar_match(seed) == truth, "scalar match, " + where);
        }
        // scan() stops at the first match; walk the group with each path and compare.
        for (std::uint32_t done = 0; done < kLaneGroup;) {
            const std::uint32_t left = kLaneGroup - done;
            const std::uint32_t by_reference = reference.scan(first + done, left);
            expect(scalar.scan(first + done, left) == by_reference, "scalar scan, " + where);
            expect(lanes.scan(first + done, left) == by_reference, "lane scan, " + where);
            expect(forward.scan(first + done, left) == by_reference, "forward scan, " + where);
            done += by_reference + 1;
            matched -= by_reference < left;
        }
        expect(matched == 0, "scan found every match, " + where);
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

// The descent the walk solves with, against a plain search on every small modulus; the
// three-distance visits against every point of small circles; then the walk's marks against one compare per seed and band, over calls that go on where the last
// ended, skip a few seeds (stepped through) or many (solved afresh), go back, and end at
// the top of the seed range.
void check_walk(std::mt19937_64& rng) {
    for (std::uint64_t m = 1; m <= 40; ++m) {
        for (std::uint64_t a = 0; a < m + 3; ++a) {
            for (std::uint64_t low = 0; low < m; ++low) {
                for (std::uint64_t high = low; high < m; ++high) {
                    std::uint64_t want = UINT64_MAX;
                    for (std::uint64_t x = 0; x < m && want == UINT64_MAX; ++x) {
                        if (a * x % m >= low && a * x % m <= high) want = x;
                    }
                    if (detail::first_in_range(a, m, low, high) != want) {
                        expect(false, "first_in_range a " + std::to_string(a) + " m " +
                                          std::to_string(m) + " [" + std::to_string(low) +
                                          ", " + std::to_string(high) + "]");
                    }
                }
            }
        }
    }
    // Every odd turn of a circle of 2^10 points, arcs of several lengths: from every point,
    // the first visit; from the first visit of point 0, every visit of a whole period.
    constexpr std::uint64_t circle = 1024;
    for (std::uint64_t turn = 1; turn < circle; turn += 2) {
        for (const std::uint64_t length : {2u, 3u, 17u, 64u, 100u, 511u, 512u, 513u, 1000u, 1022u}) {
            const detail::ArcVisits arc(circle, turn, circle - length);
            std::vector<std::uint64_t> visits;  // the turns at which point 0 lands in the arc
            for (std::uint64_t k = 0; k < 2 * circle; ++k) {
                if (k * turn % circle >= arc.start) visits.push_back(k);
            }
            bool ok = true;
            for (std::uint64_t at = 0; at < circle; ++at) {
                std::uint64_t k = 0;
                while ((at + k * turn) % circle < arc.start) ++k;
                const auto first = arc.first_from(at);
                ok &= first.turns == k && first.offset == (at + k * turn) % circle - arc.start;
            }
            std::uint64_t turns = visits[0];
            std::uint64_t offset = visits[0] * turn % circle - arc.start;
            for (std::size_t v = 1; v < visits.size() && visits[v] <= circle + visits[0]; ++v) {
                const auto next = arc.after(offset);
                turns += next.turns;
                offset = next.offset;
                ok &= turns == visits[v] && offset == visits[v] * turn % circle - arc.start;
            }
            expect(ok, "arc visits, turn " + std::to_string(turn) + " length " + std::to_string(length));
        }
    }
    // A matching seed that the walk marks (one of its outputs, computed as if nothing before
    // it were rejected, lands in a rejection band): the walk kernels must judge it through
    // their forward kernel, not through the tail draws, which are wrong for it.
    for (std::uint32_t n : {5u, 16u, 64u, 300u}) {
        const SearchTables any(random_target(rng, n, 0, 0));  // the marks depend on n alone
        std::uint64_t marked[kMaxForwardGroup / 64];
        auto from = static_cast<std::uint32_t>(rng() % (UINT32_MAX - (std::uint64_t{1} << 24)));
        std::uint32_t hidden = 0;
        for (bool seen = false; !seen; from += kMaxForwardGroup) {
            detail::mark_by_compare(any, from, kMaxForwardGroup, marked);
            for (std::uint32_t w = 0; w < kMaxForwardGroup / 64 && !seen; ++w) {
                if (marked[w] != 0) {
                    hidden = from + w * 64 + static_cast<std::uint32_t>(std::countr_zero(marked[w]));
                    seen = true;
                }
            }
        }
        const SearchTables tables(random_target(rng, n, 0, hidden));
        check_kernels(tables, hidden - std::min(hidden, 100u), "marked hidden seed, n " + std::to_string(n));
    }
    for (std::uint32_t n : {3u, 5u, 16u, 17u, 64u, 100u, 256u, 300u, 1000u}) {
        const SearchTables tables(random_target(rng, n, 0, static_cast<std::uint32_t>(rng())));
        if (!tables.forward.applies) continue;
        for (const bool vectors : {false, true}) {
            BandWalk walk(tables, vectors);
            std::uint64_t walked[kWalkSpan / 64];
            std::uint64_t compared[kWalkSpan / 64];
            std::uint64_t first = rng() % (std::uint64_t{1} << 32);
            std::uint64_t end = first;
            for (int call = 0; call < 200; ++call) {
                auto count = static_cast<std::uint32_t>(1 + rng() % kWalkSpan);
                switch (call % 5) {
                    case 0: first = end; break;
                    case 1: first = end + rng() % 60000; break;
                    case 2: first = end + rng() % 1000000000; break;
                    case 3: first = end - std::min<std::uint64_t>(end, 1 + rng() % 5000); break;
                    default: first = (std::uint64_t{1} << 32) - count; break;
                }
                if (first + count > std::uint64_t{1} << 32) first = (std::uint64_t{1} << 32) - count;
                end = first + count;
                const auto from = static_cast<std::uint32_t>(first);
                walk.mark(from, count, walked);
                detail::mark_by_compare(tables, from, count, compared);
                for (std::uint32_t w = 0; w < (count + 63) / 64; ++w) {
                    expect(walked[w] == compared[w], "walk marks, n " + std::to_string(n) + " from " +
                                                         std::to_string(from) + " word " + std::to_string(w) +
                                                         (vectors ? ", vectors" : ""));
                }
            }
        }
    }
}

int main() {
    check_fast_draws();
    std::mt19937_64 rng(7);
    check_position_ranges();
    for (std::uint32_t n : {2u, 3u, 4u, 5u, 7u, 8u, 16u, 17u, 31u, 33u, 48u, 49u, 64u, 100u,
                            255u, 256u, 300u}) {
        for (int style = 0; style < kStyles; ++style) check_paths(n, style, rng);
    }
    // Past one output a draw: the filter steps aside and the old paths take over.
    check_paths(kOutputMask + 2, 0, rng);
    check_texts();
    check_intervals();
    check_walk(rng);
    std::printf("lanes %s; forward kernels:", detail::cpu_has_lanes() ? "on" : "off");
    for (const ForwardKernel& kernel : forward_kernels()) {
        if (kernel.available()) std::printf(" %s", kernel.name);
    }
    std::printf("; %d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
