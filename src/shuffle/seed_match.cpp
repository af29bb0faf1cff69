#include "shuffle/seed_match.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <numeric>

namespace native_accel::shuffle {

FastDraw FastDraw::for_plan(const RangePlan& plan) noexcept {
    FastDraw fast{};
    fast.bound = plan.bound;
    fast.draws = plan.draws;
    const bool keeps_all = plan.remainder == plan.bound - 1;
    // quotient * bound <= mask < 2^32: "v / bound < quotient" is "v < quotient * bound".
    fast.accept_below = keeps_all ? (std::uint64_t{1} << 32)
                                  : std::uint64_t{plan.quotient} * plan.bound;
    if (plan.bound >= 2) {
        fast.wide_reciprocal = UINT64_MAX / plan.bound + 1;
        const auto log2_ceil = static_cast<std::uint32_t>(std::bit_width(plan.bound - 1));
        fast.narrow_shift = kOutputBits + log2_ceil;
        const std::uint64_t scaled = std::uint64_t{1} << fast.narrow_shift;
        fast.narrow_multiplier =
            static_cast<std::uint32_t>((scaled + plan.bound - 1) / plan.bound);
    }
    return fast;
}

SearchTables::SearchTables(std::span<const TargetEntry> targets)
    : count(static_cast<std::uint32_t>(targets.size())) {
    assert(targets.size() >= 2 && targets.size() <= UINT32_MAX);
    plans.reserve(count - 1);
    fast_draws.reserve(count - 1);
    for (std::uint64_t bound = 2; bound <= count; ++bound) {
        plans.push_back(RangePlan::for_bound(static_cast<std::uint32_t>(bound)));
        fast_draws.push_back(FastDraw::for_plan(plans.back()));
    }
    sizes.resize(count);
    expected.resize(count);
    end_flags.resize(count);
    std::uint64_t positive = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        sizes[k] = targets[k].size;
        expected[k] = static_cast<std::uint32_t>(targets[k].expected_offset);
        if (sizes[k] > 0) positive += static_cast<std::uint32_t>(sizes[k]);
    }
    wraps = positive >> 32 != 0;
    const auto total = static_cast<std::uint32_t>(positive);  // modulo 2^32, as the offsets
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint32_t own = sizes[k] > 0 ? static_cast<std::uint32_t>(sizes[k]) : 0;
        end_flags[k] = (expected[k] == 0 ? kCanOpen : 0) |
                       (expected[k] == total - own ? kCanClose : 0);
    }
}

ReferenceTest::ReferenceTest(const SearchTables& tables)
    : tables_(tables), order_(tables.count), offsets_(tables.count) {}

bool ReferenceTest::matches(std::uint32_t seed) {
    const std::uint32_t n = tables_.count;
    std::iota(order_.begin(), order_.end(), std::uint32_t{0});
    std::uint32_t* order = order_.data();
    msvc_shuffle(
        seed, n, [this](std::uint32_t bound) -> const RangePlan& { return tables_.plans[bound - 2]; },
        [order](std::uint32_t p, std::uint32_t j) { std::swap(order[p], order[j]); });
    std::uint32_t running = 0;  // modulo 2^32
    for (std::uint32_t p = 0; p < n; ++p) {
        const std::uint32_t k = order[p];
        offsets_[k] = running;
        if (tables_.sizes[k] > 0) running += static_cast<std::uint32_t>(tables_.sizes[k]);
    }
    for (std::uint32_t k = 0; k < n; ++k) {
        if (offsets_[k] != tables_.expected[k]) return false;
    }
    return true;
}

SeedScanner::SeedScanner(const SearchTables& tables)
    : tables_(tables), reference_(tables), draws_(tables.count - 1) {}

std::uint32_t SeedScanner::draw_all(std::uint32_t seed) {
    MsvcRand rand{seed};
    std::uint32_t opening = 0;
    const std::uint32_t steps = tables_.count - 1;
    for (std::uint32_t s = 0; s < steps; ++s) {
        const FastDraw& fast = tables_.fast_draws[s];
        std::uint32_t v;
        do {
            v = 0;
            for (std::uint32_t d = 0; d < fast.draws; ++d) v = (v << kOutputBits) | rand.next();
        } while (v >= fast.accept_below);
        const std::uint32_t j = fast.remainder_of(v);
        draws_[s] = j;
        if (j == 0) opening = s + 1;  // step of bound s + 2 moves item s + 1 to position 0
    }
    return opening;
}

std::uint32_t SeedScanner::closing_item() const noexcept {
    std::uint32_t p = tables_.count - 1;
    for (std::uint32_t bound = tables_.count; bound >= 2; --bound) {
        const std::uint32_t j = draws_[bound - 2];
        if (p == bound - 1) {
            p = j;
        } else if (p == j) {
            return bound - 1;  // earlier steps never touch position bound - 1
        }
    }
    return p;
}

void SeedScanner::end_items(std::uint32_t seed, std::uint32_t& opening, std::uint32_t& closing) {
    opening = draw_all(seed);
    closing = closing_item();
}

bool SeedScanner::matches(std::uint32_t seed) {
    const std::uint32_t opening = draw_all(seed);
    if ((tables_.end_flags[opening] & kCanOpen) == 0) return false;
    if ((tables_.end_flags[closing_item()] & kCanClose) == 0) return false;
    return reference_.matches(seed);
}

}  // namespace native_accel::shuffle
