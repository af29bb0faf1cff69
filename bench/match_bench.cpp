// Seeds per second of the seed search's match test: the plain reference test against the
// fast path (division-free draws, end-item filter, AVX2 lanes when the CPU has them) and
// that path without lanes, on the same seeds, with one and with two worker threads.
//
//   match_bench [seconds per measurement, default 0.5]
//
// Each target is the layout of a seed outside the measured range, with distinct sizes, so
// that nearly every seed is a miss as in a real search. Both paths must report the same
// matching seeds; the program exits 1 if they do not.
#include "shuffle/seed_match.hpp"
#include "shuffle/seed_match_testing.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace native_accel::shuffle;
using Clock = std::chrono::steady_clock;
constexpr std::optional<MatchPath> kReference;  // the plain test, the peer of the fast paths

std::vector<TargetEntry> layout_of(std::uint32_t seed, std::uint32_t n) {
    std::mt19937 rng(n);
    std::vector<std::int32_t> sizes(n);
    for (std::uint32_t k = 0; k < n; ++k) sizes[k] = static_cast<std::int32_t>(16 * (k + 1) + rng() % 16);
    std::vector<std::uint32_t> order(n);
    for (std::uint32_t k = 0; k < n; ++k) order[k] = k;
    msvc_shuffle(seed, n, [&order](std::uint32_t p, std::uint32_t j) { std::swap(order[p], order[j]); });
    std::vector<TargetEntry> target(n);
    std::int32_t running = 0;
    for (std::uint32_t k : order) {
        target[k] = {running, sizes[k]};
        running += sizes[k];
    }
    return target;
}

// Scans [first, first + count) and collects every matching seed.
template <class Matcher>
void scan_all(Matcher& matcher, std::uint32_t first, std::uint32_t count,
              std::vector<std::uint32_t>& matches) {
    while (count > 0) {
        const std::uint32_t step = std::min(count, std::uint32_t{1} << 16);
        const std::uint32_t misses = matcher.scan(first, step);
        if (misses < step) {
            matches.push_back(first + misses);
            first += misses + 1;
            count -= misses + 1;
        } else {
            first += step;
            count -= step;
        }
    }
}

struct Run {
    double seconds;
    std::vector<std::uint32_t> matches;
};

// `workers` threads split the seeds from `first` on into equal consecutive slices, each with
// a matcher of its own: the reference test when no path is given.
Run run(const SearchTables& tables, std::optional<MatchPath> path, unsigned workers,
        std::uint32_t first, std::uint32_t count) {
    std::vector<std::vector<std::uint32_t>> found(workers);
    std::vector<std::thread> threads;
    const std::uint32_t slice = count / workers;
    const auto start = Clock::now();
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            if (path) {
                SeedMatcher matcher(tables, *path);
                scan_all(matcher, first + w * slice, slice, found[w]);
            } else {
                testing::ReferenceMatcher matcher(tables);
                scan_all(matcher, first + w * slice, slice, found[w]);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    Run result{std::chrono::duration<double>(Clock::now() - start).count(), {}};
    for (auto& part : found) result.matches.insert(result.matches.end(), part.begin(), part.end());
    return result;
}

// Grows the seed count until one pass takes about `budget` seconds.
std::uint32_t calibrate(const SearchTables& tables, std::optional<MatchPath> path, double budget) {
    std::uint32_t count = 1024;
    for (;;) {
        const double seconds = run(tables, path, 1, 0x10000000, count).seconds;
        if (seconds >= budget / 4 || count >= (1u << 30)) {
            const double wanted = count * budget / std::max(seconds, 1e-6);
            return static_cast<std::uint32_t>(std::clamp(wanted, 2048.0, 4.0e9 - 0x10000000));
        }
        count *= 4;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double budget = argc > 1 ? std::atof(argv[1]) : 0.5;
    const std::uint32_t first = 0x10000000;  // the hidden seeds below lie outside
    bool agree = true;
    std::printf("%-5s %-7s %14s %14s %14s %7s\n", "items", "workers", "reference/s",
                "scalar/s", "fast/s", "ratio");
    for (std::uint32_t n : {8u, 16u, 64u, 256u}) {
        const auto target = layout_of(12345 + n, n);
        const SearchTables tables(target);
        const MatchPath fast = best_match_path(tables);
        // Both paths test the same seeds: the reference pass sets how many, and the fast
        // pass runs on a range as many times longer as it is faster (its matches on the
        // common seeds must be the reference's), so that both take about as long.
        const std::uint32_t count = calibrate(tables, kReference, budget) & ~63u;
        const std::uint32_t longer = calibrate(tables, fast, budget) & ~63u;
        const std::uint32_t fast_count = std::max(count, longer);
        double single[2] = {0, 0};
        for (unsigned workers : {1u, 2u}) {
            const Run reference = run(tables, kReference, workers, first, count);
            const Run quick = run(tables, fast, workers, first, fast_count);
            std::vector<std::uint32_t> common;
            for (std::uint32_t seed : quick.matches) {
                if (seed - first < count / workers * workers) common.push_back(seed);
            }
            agree = agree && common == reference.matches;
            // The fast path without lanes, as on a CPU without AVX2.
            const Run scalar = run(tables, MatchPath::scalar, workers, first, count);
            agree = agree && scalar.matches == reference.matches;
            const double ref_rate = count / reference.seconds;
            const double fast_rate = fast_count / quick.seconds;
            std::printf("%-5u %-7u %14.0f %14.0f %14.0f %7.1f\n", n, workers, ref_rate,
                        count / scalar.seconds, fast_rate, fast_rate / ref_rate);
            if (workers == 1) {
                single[0] = ref_rate;
                single[1] = fast_rate;
            } else {
                std::printf("%-5u scaling %13.2fx %14s %13.2fx\n", n, ref_rate / single[0], "",
                            fast_rate / single[1]);
            }
        }
    }
    std::printf("fast path: %s; matches %s\n",
                best_match_path(SearchTables(layout_of(1, 16))) == MatchPath::lanes ? "AVX2 lanes" : "scalar",
                agree ? "agree" : "DIFFER");
    return agree ? 0 : 1;
}
