// The match test of the seed search on arbitrary layouts and seeds: the reference test, the
// scalar path (division-free draws, end-item filter), the 32-lane path and every forward
// kernel this CPU has must agree on every seed, and so must a shuffle written here from
// the generator's definition. The end items the fast paths trace through their stored
// draws, and the forward filter's tail positions, are compared with those of the real
// shuffle; a forward kernel must flag every match and flag exactly the seeds the scalar
// kernel passes, and the walk over the rejection bands must mark exactly the seeds that a
// compare per seed and band marks. Half of the layouts are taken from the shuffle of one
// of the tested seeds, so that matches (and near misses, with one entry changed) are common, not one in n!.
#include "shuffle/seed_match.hpp"
#include "shuffle/seed_match_forward.hpp"
#include "shuffle/seed_match_testing.hpp"
#include "shuffle/seed_match_walk.hpp"
#include "support.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace {

using native_accel::fuzz::Bytes;
using native_accel::shuffle::MatchPath;
using native_accel::shuffle::SearchTables;
using native_accel::shuffle::SeedMatcher;
using native_accel::shuffle::TargetEntry;
using native_accel::shuffle::testing::ReferenceMatcher;
using native_accel::shuffle::testing::SeedMatcherProbe;
constexpr std::uint32_t kLanes = native_accel::shuffle::kLaneGroup;

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
    // last bounds take two outputs a draw and the lane path steps aside (slow, so rare).
    const bool past_lanes = in.take<std::uint8_t>() == 0xB7;
    const std::uint32_t n = 2 + in.take<std::uint8_t>() + (past_lanes ? 32768 : 0);
    const std::uint32_t first = std::min(in.take<std::uint32_t>(), UINT32_MAX - (kLanes - 1));
    const std::uint8_t mode = in.take<std::uint8_t>();
    const std::uint32_t chosen = first + in.take<std::uint8_t>() % kLanes;

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
    ReferenceMatcher reference(tables);
    SeedMatcher scalar(tables, MatchPath::scalar);
    SeedMatcherProbe scalar_steps(scalar);
    // The lane path needs 32 seeds; past it, two seeds keep the slow cases affordable.
    const std::uint32_t tested = past_lanes ? 2 : kLanes;
    std::array<bool, kLanes> expected{};
    std::array<std::uint32_t, 2 * kLanes> real_ends{};  // items at positions 0 and n - 1
    std::array<bool, kLanes> passes{};  // the scalar forward kernel's verdicts
    std::vector<std::uint32_t> position(n);
    for (std::uint32_t k = 0; k < tested; ++k) {
        const std::uint32_t seed = first + k;
        const std::vector<std::uint32_t> order = shuffled(seed, n);
        if (tables.forward.applies) {
            for (std::uint32_t p = 0; p < n; ++p) position[order[p]] = p;
            const auto tail = native_accel::shuffle::detail::forward_tail(tables, seed);
            for (std::uint32_t i = 0; i < 3 && i < n; ++i) FUZZ_CHECK(tail[i] == position[n - 1 - i]);
            passes[k] = native_accel::shuffle::detail::forward_passes(tables, seed);
        }
        expected[k] = lays_out(order, targets);
        real_ends[2 * k] = order.front();
        real_ends[2 * k + 1] = order.back();
        FUZZ_CHECK(reference.match(seed) == expected[k]);
        FUZZ_CHECK(scalar_steps.scalar_match(seed) == expected[k]);
        std::uint32_t opening = 0, closing = 0;
        scalar_steps.scalar_ends(seed, opening, closing);
        FUZZ_CHECK(opening == order.front() && closing == order.back());
    }
    const auto first_match = static_cast<std::uint32_t>(
        std::find(expected.begin(), expected.begin() + tested, true) - expected.begin());
    FUZZ_CHECK(reference.scan(first, tested) == first_match);
    FUZZ_CHECK(scalar.scan(first, tested) == first_match);

    if (native_accel::shuffle::lanes_supported(tables)) {
        SeedMatcher lanes(tables, MatchPath::lanes);
        FUZZ_CHECK(lanes.scan(first, kLanes) == first_match);
        std::array<std::uint32_t, 2 * kLanes> ends{};
        SeedMatcherProbe(lanes).lane_ends(first, ends);
        FUZZ_CHECK(ends == real_ends);
    }

    FUZZ_CHECK(SeedMatcher(tables, MatchPath::forward).scan(first, tested) == first_match);
    if (tables.forward.applies) {
        std::uint64_t walked[native_accel::shuffle::kMaxForwardGroup / 64];
        std::uint64_t compared[native_accel::shuffle::kMaxForwardGroup / 64];
        native_accel::shuffle::detail::mark_by_compare(tables, first, tested, compared);
        for (const bool vectors : {false, true}) {
            native_accel::shuffle::BandWalk(tables, vectors).mark(first, tested, walked);
            for (std::uint32_t w = 0; w < (tested + 63) / 64; ++w) FUZZ_CHECK(walked[w] == compared[w]);
        }
        for (const auto& kernel : native_accel::shuffle::forward_kernels()) {
            if (!kernel.available()) continue;
            std::uint64_t flags[native_accel::shuffle::kMaxForwardGroup / 64];
            kernel.flag(tables, first, tested, flags);
            for (std::uint32_t k = 0; k < kernel.group; ++k) {
                const bool flagged = (flags[k / 64] >> (k % 64)) & 1;
                FUZZ_CHECK(k < tested || !flagged);
                if (k >= tested) continue;
                FUZZ_CHECK(!expected[k] || passes[k]);
                FUZZ_CHECK(flagged == passes[k]);
            }
            FUZZ_CHECK(SeedMatcher(tables, kernel).scan(first, tested) == first_match);
        }
    }
    return 0;
}
