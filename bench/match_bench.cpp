// Seeds per second of the seed search's match test, one path after the other on the same
// seeds: the plain reference test; the end-item paths the search used before the forward
// filter (scalar, and AVX2 lanes where the CPU has them), kept as the peers of the new
// kernels; every forward kernel this CPU has; and the path the search picks, with one and
// with two worker threads.
//
//   match_bench [seconds per measurement, default 0.5] [items ...; default 8 16 64 256]
//
// Each target is the layout of a seed outside the measured range, with distinct sizes, so
// that nearly every seed is a miss as in a real search. Every path must report the same
// matching seeds as the reference; the program exits 1 if one does not. The last column is
// the search's path against the end-item lanes (the fastest path before the filter).
#include "shuffle/seed_match.hpp"
#include "shuffle/seed_match_forward.hpp"
#include "shuffle/seed_match_testing.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace {

using namespace native_accel::shuffle;
using Clock = std::chrono::steady_clock;
// What a measurement runs: the reference test (monostate), a path, or a forward kernel.
using Tested = std::variant<std::monostate, MatchPath, const ForwardKernel*>;
constexpr Tested kReference{};

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
// a matcher of its own.
Run run(const SearchTables& tables, const Tested& tested, unsigned workers, std::uint32_t first,
        std::uint32_t count) {
    std::vector<std::vector<std::uint32_t>> found(workers);
    std::vector<std::thread> threads;
    const std::uint32_t slice = count / workers;
    const auto start = Clock::now();
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            const std::uint32_t from = first + w * slice;
            if (const auto* path = std::get_if<MatchPath>(&tested)) {
                SeedMatcher matcher(tables, *path);
                scan_all(matcher, from, slice, found[w]);
            } else if (const auto* kernel = std::get_if<const ForwardKernel*>(&tested)) {
                SeedMatcher matcher(tables, **kernel);
                scan_all(matcher, from, slice, found[w]);
            } else {
                testing::ReferenceMatcher matcher(tables);
                scan_all(matcher, from, slice, found[w]);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    Run result{std::chrono::duration<double>(Clock::now() - start).count(), {}};
    for (auto& part : found) result.matches.insert(result.matches.end(), part.begin(), part.end());
    return result;
}

// Grows the seed count until one pass takes about `budget` seconds.
std::uint32_t calibrate(const SearchTables& tables, const Tested& tested, double budget) {
    std::uint32_t count = 1024;
    for (;;) {
        const double seconds = run(tables, tested, 1, 0x10000000, count).seconds;
        if (seconds >= budget / 4 || count >= (1u << 30)) {
            const double wanted = count * budget / std::max(seconds, 1e-6);
            return static_cast<std::uint32_t>(std::clamp(wanted, 2048.0, 4.0e9 - 0x10000000));
        }
        count *= 4;
    }
}

struct Column {
    std::string name;
    Tested tested;
    bool both_workers;  // measured with two workers too
};

}  // namespace

int main(int argc, char** argv) {
    const double budget = argc > 1 ? std::atof(argv[1]) : 0.5;
    std::vector<std::uint32_t> sizes;
    for (int a = 2; a < argc; ++a) sizes.push_back(static_cast<std::uint32_t>(std::atol(argv[a])));
    if (sizes.empty()) sizes = {8, 16, 64, 256};
    const std::uint32_t first = 0x10000000;  // the hidden seeds below lie outside
    bool agree = true;
    std::vector<Column> columns = {{"reference", kReference, true},
                                   {"endscalar", MatchPath::scalar, false}};
    if (detail::cpu_has_lanes()) columns.push_back({"endlanes", MatchPath::lanes, true});
    for (const ForwardKernel& kernel : forward_kernels()) {
        if (kernel.available()) columns.push_back({kernel.name, &kernel, false});
    }
    columns.push_back({"search", MatchPath::forward, true});
    const std::size_t peer = detail::cpu_has_lanes() ? 2 : 1;  // the old path's best

    std::printf("%-5s %-7s", "items", "workers");
    for (const Column& column : columns) std::printf(" %13s", (column.name + "/s").c_str());
    std::printf(" %7s\n", "ratio");
    for (const std::uint32_t n : sizes) {
        const auto target = layout_of(12345 + n, n);
        const SearchTables tables(target);
        // Every path runs on a range as many times longer than the reference's as it is
        // faster (its matches on the common seeds must be the reference's), so that each
        // takes about as long.
        const std::uint32_t count = calibrate(tables, kReference, budget) & ~63u;
        std::vector<std::uint32_t> counts;
        for (const Column& column : columns) {
            counts.push_back(std::max(count, calibrate(tables, column.tested, budget) & ~63u));
        }
        std::vector<double> single(columns.size(), 0.0);
        for (unsigned workers : {1u, 2u}) {
            std::vector<std::uint32_t> truth;
            std::vector<double> rates(columns.size(), 0.0);
            for (std::size_t c = 0; c < columns.size(); ++c) {
                if (workers == 2 && !columns[c].both_workers) continue;
                const Run done = run(tables, columns[c].tested, workers, first, counts[c]);
                std::vector<std::uint32_t> common;
                for (std::uint32_t seed : done.matches) {
                    if (seed - first < count / workers * workers) common.push_back(seed);
                }
                if (c == 0) truth = common;
                agree = agree && common == truth;
                rates[c] = counts[c] / done.seconds;
            }
            std::printf("%-5u %-7u", n, workers);
            for (double rate : rates) std::printf(" %13.0f", rate);
            std::printf(" %7.2f\n", rates.back() / rates[peer]);
            if (workers == 1) {
                single = rates;
            } else {
                std::printf("%-5u scaling", n);
                for (std::size_t c = 0; c < columns.size(); ++c) {
                    if (columns[c].both_workers) {
                        std::printf(" %12.2fx", rates[c] / single[c]);
                    } else {
                        std::printf(" %13s", "");
                    }
                }
                std::printf("\n");
            }
        }
    }
    std::printf("the search's kernel: %s at 16 items, %s at 256; matches %s\n",
                best_forward_kernel(SearchTables(layout_of(1, 16))).name,
                best_forward_kernel(SearchTables(layout_of(1, 256))).name,
                agree ? "agree" : "DIFFER");
    return agree ? 0 : 1;
}
