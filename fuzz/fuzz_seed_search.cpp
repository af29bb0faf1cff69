// The seed search's bodies on arbitrary layouts and seeds. The scan and the reference test
// must agree on every seed with a shuffle written here from the generator's definition, and
// the items the scan traces to positions 0 and n - 1 must be those of the real shuffle.
// Where the solver judges the layout, every matching seed must end at a position inside
// each item's range, the layout must then count as consistent, and the solver's unit of a
// matching seed (the output of its last draw) must report it, while everything a unit
// reports matches and comes with its twin. Half of the layouts are taken from the shuffle
// of one of the tested seeds, so that matches (and near misses, with one entry changed)
// are common, not one in n!.
#include "shuffle/seed_match.hpp"
#include "shuffle/seed_solve.hpp"
#include "support.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <optional>

namespace {

using native_accel::fuzz::Bytes;
using native_accel::shuffle::layout_is_consistent;
using native_accel::shuffle::PositionRanges;
using native_accel::shuffle::ReferenceTest;
using native_accel::shuffle::SearchTables;
using native_accel::shuffle::SeedScanner;
using native_accel::shuffle::SeedSolver;
using native_accel::shuffle::SolveTables;
using native_accel::shuffle::TargetEntry;
constexpr std::uint32_t kTested = 32;

// The order[p] = item at position p that the shuffle from `seed` gives, from the
// definitions: state * 214013 + 2531011, 15-bit outputs, a draw below i that keeps
// candidates v with v / i < mask / i (or all of them when mask + 1 is a multiple of i).
std::vector<std::uint32_t> shuffled(std::uint32_t seed, std::uint32_t n) {
    std::vector<std::uint32_t> order(n);
    for (std::uint32_t k = 0; k < n; ++k) order[k] = k;
    std::uint32_t state = seed;
    for (std::uint64_t i = 2; i <= n; ++i) {
        const auto bound = static_cast<std::uint32_t>(i);
        std::uint32_t mask = 0, draws = 0;
        while (mask < bound - 1) {
            mask = (mask << 15) | 0x7FFF;
            ++draws;
        }
        std::uint32_t v;
        do {
            v = 0;
            for (std::uint32_t d = 0; d < draws; ++d) {
                state = state * 214013u + 2531011u;
                v = (v << 15) | ((state >> 16) & 0x7FFF);
            }
        } while (!(v / bound < mask / bound || mask % bound == bound - 1));
        const std::uint32_t j = v % bound;
        if (j != bound - 1) std::swap(order[bound - 1], order[j]);
    }
    return order;
}

bool lays_out(const std::vector<std::uint32_t>& order, std::span<const TargetEntry> targets) {
    std::vector<std::uint32_t> offsets(order.size());
    std::uint32_t running = 0;
    for (std::uint32_t item : order) {
        offsets[item] = running;
        if (targets[item].size > 0) running += static_cast<std::uint32_t>(targets[item].size);
    }
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (offsets[k] != static_cast<std::uint32_t>(targets[k].expected_offset)) return false;
    }
    return true;
}

// The output bound n's draw takes for `seed`, from the definitions as shuffled() has them.
std::uint32_t last_output(std::uint32_t seed, const SearchTables& tables) {
    std::uint32_t state = seed;
    std::uint32_t output = 0;
    for (std::uint32_t bound = 2; bound <= tables.count; ++bound) {
        const std::uint32_t keep = 32768 - 32768 % bound;  // one output a draw here
        do {
            state = state * 214013u + 2531011u;
            output = (state >> 16) & 0x7FFF;
        } while (output >= keep);
    }
    return output;
}

// The solver's unit for a matching seed must report it; what a unit reports must match.
// Layouts whose matches are a large share of all seeds (tiny ones, or ones where most items
// take no room) make a unit report them by the thousand: one unit then, or none past
// twenty thousand, so that an input stays fast under the sanitizers.
void check_solver(const SearchTables& tables, const std::vector<std::uint32_t>& matching) {
    const SolveTables solve(tables);
    const double per_unit = std::exp(solve.log_match_chance()) * 2147483648.0 / solve.units();
    if (per_unit > 20000) return;
    SeedSolver solver(solve);
    ReferenceTest reference(tables);
    const auto outputs = solve.last_outputs();
    std::vector<std::uint32_t> reported;
    const std::size_t units = per_unit > 1000 ? 1 : 2;
    for (const std::uint32_t seed : std::span(matching).first(std::min(units, matching.size()))) {
        const std::uint32_t output = last_output(seed, tables);
        const auto unit = std::lower_bound(outputs.begin(), outputs.end(), output);
        FUZZ_CHECK(unit != outputs.end() && *unit == output);
        reported.clear();
        solver.solve(static_cast<std::uint32_t>(unit - outputs.begin()), reported);
        FUZZ_CHECK(std::find(reported.begin(), reported.end(), seed) != reported.end());
        // Tiny layouts report many thousands: a spread of them is tested.
        const std::size_t step = std::max<std::size_t>(1, reported.size() / 64);
        for (std::size_t i = 0; i < reported.size(); i += step) {
            FUZZ_CHECK(reference.matches(reported[i]));
            FUZZ_CHECK(std::find(reported.begin(), reported.end(), reported[i] ^ 0x80000000u) !=
                       reported.end());
        }
    }
}

Bytes seed_input(std::uint8_t n, std::uint32_t first, std::uint8_t mode, std::uint8_t lane,
                 std::initializer_list<std::int32_t> sizes) {
    Bytes out = {0, n};
    native_accel::fuzz::append_u32_le(out, first);
    out.push_back(mode);
    out.push_back(lane);
    for (std::int32_t s : sizes) native_accel::fuzz::append_u32_le(out, static_cast<std::uint32_t>(s));
    return out;
}

std::vector<Bytes> seeds() {
    return {
        seed_input(3, 1, 1, 0, {10, 20, 30, 40, 50}),
        seed_input(8, 1000, 3, 7, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}),
        seed_input(18, 0xFFFFFFE0u, 1, 31, {0, -5, 7, 0, 3, 3, 3}),
        seed_input(40, 123456, 0, 0, {100}),
        seed_input(1, 77, 1, 3, {-1, -1, 5}),
    };
}

}  // namespace

// A count byte, a seed, two mode bytes and up to a few hundred sizes.
NATIVE_ACCEL_FUZZ_SEEDS(seeds, 1200)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    native_accel::fuzz::ParamReader in(data, size);
    // Up to 257 items; with the marker byte 0xB7 first, just over 32768 of them, where the
    // last bounds take two outputs a draw and only the scan applies (slow, so rare).
    const bool past_one_output = in.take<std::uint8_t>() == 0xB7;
    const std::uint32_t n = 2 + in.take<std::uint8_t>() + (past_one_output ? 32768 : 0);
    const std::uint32_t first = std::min(in.take<std::uint32_t>(), UINT32_MAX - (kTested - 1));
    const std::uint8_t mode = in.take<std::uint8_t>();
    const std::uint32_t chosen = first + in.take<std::uint8_t>() % kTested;

    std::vector<TargetEntry> targets(n);
    for (std::uint32_t k = 0; k < n; ++k) {
        targets[k].size = static_cast<std::int32_t>(in.take<std::uint32_t>());
        targets[k].expected_offset = static_cast<std::int32_t>(in.take<std::uint32_t>());
    }
    if (mode & 1) {  // the layout of seed `chosen`
        const std::vector<std::uint32_t> order = shuffled(chosen, n);
        std::uint32_t running = 0;
        for (std::uint32_t item : order) {
            targets[item].expected_offset = static_cast<std::int32_t>(running);
            if (targets[item].size > 0) running += static_cast<std::uint32_t>(targets[item].size);
        }
        if (mode & 2) targets[(mode >> 2) % n].expected_offset ^= 1;  // a near miss
    }

    const SearchTables tables(targets);
    ReferenceTest reference(tables);
    SeedScanner scanner(tables);
    const bool solved = SolveTables::judges(tables);
    const std::optional<PositionRanges> ranges =
        tables.wraps ? std::nullopt : std::optional<PositionRanges>(std::in_place, tables);
    // Past one output a draw, two seeds keep the slow cases affordable.
    const std::uint32_t tested = past_one_output ? 2 : kTested;
    std::vector<std::uint32_t> matching;
    for (std::uint32_t k = 0; k < tested; ++k) {
        const std::uint32_t seed = first + k;
        const std::vector<std::uint32_t> order = shuffled(seed, n);
        const bool expected = lays_out(order, targets);
        FUZZ_CHECK(reference.matches(seed) == expected);
        FUZZ_CHECK(scanner.matches(seed) == expected);
        std::uint32_t opening = 0, closing = 0;
        scanner.end_items(seed, opening, closing);
        FUZZ_CHECK(opening == order.front() && closing == order.back());
        if (!expected) continue;
        matching.push_back(seed);
        if (ranges) {
            for (std::uint32_t p = 0; p < n; ++p) {
                FUZZ_CHECK(p >= ranges->low[order[p]] && p <= ranges->high[order[p]]);
            }
        }
    }
    if (!tables.wraps) FUZZ_CHECK(matching.empty() || layout_is_consistent(tables));
    if (solved) check_solver(tables, matching);
    return 0;
}
