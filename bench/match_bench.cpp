// The seed search against the plain loop a user would otherwise write: for each item count,
// the rate of the reference match test run seed after seed (projected to the whole seed
// space), and the whole-space search with one worker on three layouts of files of 512 B to
// 2 MiB: one that a seed lays out, the same with two items exchanged (a layout that is
// consistent but that almost surely no seed makes), and the same with one offset broken
// (no order can make it, which the search sees at once).
//
//   match_bench [seconds for the plain loop, default 0.5] [items ...]
//
// Prints one line per item count: items, plain loop seeds/s, then the seconds of the three
// searches. Exits 1 when a search returns a seed that does not match, or misses the seed
// the layout was made from while finding none smaller.
#include "shuffle/seed_match.hpp"
#include "shuffle/seed_search.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

namespace {

using namespace native_accel::shuffle;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLayoutSeed = 0xB16B00B5u;

std::vector<TargetEntry> layout_of(std::uint32_t seed, const std::vector<std::int32_t>& sizes) {
    const auto n = static_cast<std::uint32_t>(sizes.size());
    std::vector<std::uint32_t> order(n);
    for (std::uint32_t k = 0; k < n; ++k) order[k] = k;
    msvc_shuffle(seed, n, [&order](std::uint32_t p, std::uint32_t j) { std::swap(order[p], order[j]); });
    std::vector<TargetEntry> target(n);
    std::uint32_t running = 0;
    for (const std::uint32_t k : order) {
        target[k] = {static_cast<std::int32_t>(running), sizes[k]};  // 32-bit pattern
        running += static_cast<std::uint32_t>(sizes[k]);
    }
    return target;
}

// Files of 512 B to 2 MiB, scaled down where n of them would pass 4 GiB.
std::vector<std::int32_t> file_sizes(std::uint32_t n) {
    std::mt19937 rng(n);
    const std::uint32_t largest = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(2u << 20, ((std::uint64_t{1} << 32) - 1) / n));
    std::vector<std::int32_t> sizes(n);
    for (auto& size : sizes) size = static_cast<std::int32_t>(512 + rng() % (largest - 511));
    return sizes;
}

double plain_loop_rate(const SearchTables& tables, double budget) {
    ReferenceTest reference(tables);
    std::uint64_t tested = 0;
    std::uint32_t seed = 0x10000000;
    const auto start = Clock::now();
    double seconds = 0;
    do {
        for (int k = 0; k < 64; ++k) tested += reference.matches(seed++) ? 0 : 1;
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (seconds < budget);
    return static_cast<double>(tested) / seconds;
}

struct Timed {
    double seconds;
    std::optional<std::uint32_t> seed;
};

Timed whole_space(const std::vector<TargetEntry>& target) {
    SearchRequest request;
    request.targets = target;
    request.workers = 1;
    request.progress_iv = 0.0;
    const auto start = Clock::now();
    SeedSearch search(request);
    if (!search.start()) std::exit(2);
    while (search.wait_round()) {
    }
    const std::optional<std::uint32_t> seed = search.finish();
    return {std::chrono::duration<double>(Clock::now() - start).count(), seed};
}

}  // namespace

int main(int argc, char** argv) {
    const double budget = argc > 1 ? std::atof(argv[1]) : 0.5;
    std::vector<std::uint32_t> counts;
    for (int a = 2; a < argc; ++a) counts.push_back(static_cast<std::uint32_t>(std::atol(argv[a])));
    if (counts.empty()) counts = {4, 8, 16, 64, 256, 1000, 4096, 10000, 32768};
    bool right = true;
    std::printf("%-6s %14s %10s %10s %10s\n", "items", "plain/s", "matching", "exchanged", "broken");
    for (const std::uint32_t n : counts) {
        const std::vector<std::int32_t> sizes = file_sizes(n);
        const auto matching = layout_of(kLayoutSeed, sizes);
        auto exchanged = matching;
        std::swap(exchanged.front().expected_offset, exchanged.back().expected_offset);
        std::swap(exchanged.front().size, exchanged.back().size);
        auto broken = matching;
        broken[n / 2].expected_offset += 1;
        const SearchTables tables(matching);
        ReferenceTest reference(tables);
        const double plain = plain_loop_rate(tables, budget);
        const Timed found = whole_space(matching);
        // The seed the layout came from, or a smaller one that lays it out alike.
        right = right && found.seed && *found.seed <= kLayoutSeed && reference.matches(*found.seed);
        const Timed swapped = whole_space(exchanged);
        if (swapped.seed) {
            const SearchTables other(exchanged);
            right = right && ReferenceTest(other).matches(*swapped.seed);
        }
        const Timed none = whole_space(broken);
        right = right && !none.seed;
        std::printf("%-6u %14.0f %10.4f %10.4f %10.4f\n", n, plain, found.seconds, swapped.seconds,
                    none.seconds);
        std::fflush(stdout);
    }
    if (!right) std::printf("a search returned a wrong seed\n");
    return right ? 0 : 1;
}
