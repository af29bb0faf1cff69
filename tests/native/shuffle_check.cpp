// Checks of the shuffle bodies that Python cannot reach: the division-free draw against
// the plain one for every one-output candidate, the scalar and lane match paths against
// the reference test seed by seed, their end items against real shuffles, and the exact
// texts of the progress line. Run by tests/test_shuffle_native.py; exits 1 on a failure.
#include "shuffle/msvc_rand.hpp"
#include "shuffle/progress.hpp"
#include "shuffle/seed_match.hpp"
#include "shuffle/seed_match_lanes.hpp"
#include "shuffle/seed_match_testing.hpp"

#include <array>
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

std::vector<TargetEntry> random_target(std::mt19937_64& rng, std::uint32_t n, int style) {
    std::vector<std::int32_t> sizes(n);
    for (auto& size : sizes) {
        switch (style) {
            case 0: size = static_cast<std::int32_t>(1 + rng() % 1000); break;
            case 1: size = static_cast<std::int32_t>(rng() % 3) - 1; break;   // -1, 0, 1
            default: size = static_cast<std::int32_t>(3 + 2 * (rng() % 2)); break;  // 3 or 5
        }
    }
    // The layout of some seed, so that matches and near misses both occur.
    std::vector<std::uint32_t> order(n);
    for (std::uint32_t k = 0; k < n; ++k) order[k] = k;
    msvc_shuffle(static_cast<std::uint32_t>(rng()), n,
                 [&order](std::uint32_t p, std::uint32_t j) { std::swap(order[p], order[j]); });
    std::vector<TargetEntry> target(n);
    std::uint32_t running = 0;
    for (std::uint32_t k : order) {
        target[k] = {static_cast<std::int32_t>(running), sizes[k]};
        if (sizes[k] > 0) running += static_cast<std::uint32_t>(sizes[k]);
    }
    return target;
}

void check_paths(std::uint32_t n, int style, std::mt19937_64& rng) {
    const auto target = random_target(rng, n, style);
    const SearchTables tables(target);
    ReferenceMatcher reference(tables);
    SeedMatcher scalar(tables, MatchPath::scalar);
    SeedMatcher lanes(tables, MatchPath::lanes);
    SeedMatcherProbe scalar_steps(scalar);
    SeedMatcherProbe lane_steps(lanes);
    const bool have_lanes = lanes_supported(tables);
    const std::string where = "n " + std::to_string(n) + " style " + std::to_string(style);

    std::vector<std::uint32_t> order(n);
    for (int group = 0; group < 24; ++group) {
        // Include the very top of the seed range: lanes must not wrap past it.
        const auto first = group == 0 ? UINT32_MAX - (kLaneGroup - 1)
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

int main() {
    check_fast_draws();
    std::mt19937_64 rng(7);
    for (std::uint32_t n : {2u, 3u, 4u, 5u, 7u, 8u, 16u, 31u, 64u, 100u, 256u}) {
        for (int style = 0; style < 3; ++style) check_paths(n, style, rng);
    }
    check_texts();
    check_intervals();
    std::printf("lanes %s; %d failure(s)\n", detail::cpu_has_lanes() ? "on" : "off", failures);
    return failures == 0 ? 0 : 1;
}
