#include "shuffle/seed_match.hpp"

#include "shuffle/seed_match_forward.hpp"
#include "shuffle/seed_match_lanes.hpp"
#include "shuffle/seed_match_walk.hpp"

#include <algorithm>
#include <bit>
#include <cassert>

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
    identity.resize(count);
    sizes.resize(count);
    expected.resize(count);
    end_flags.resize(count);
    std::uint32_t total = 0;  // positive sizes, modulo 2^32 like the running offsets
    for (std::uint32_t k = 0; k < count; ++k) {
        identity[k] = k;
        sizes[k] = targets[k].size;
        expected[k] = static_cast<std::uint32_t>(targets[k].expected_offset);
        if (sizes[k] > 0) total += static_cast<std::uint32_t>(sizes[k]);
    }
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint32_t own = sizes[k] > 0 ? static_cast<std::uint32_t>(sizes[k]) : 0;
        end_flags[k] = (expected[k] == 0 ? kCanOpen : 0) |
                       (expected[k] == total - own ? kCanClose : 0);
    }
    detail::build_forward_tables(*this);
}

bool lanes_supported(const SearchTables& tables) noexcept {
    return tables.count <= kOutputMask + 1 && detail::cpu_has_lanes();
}

MatchPath best_match_path(const SearchTables& tables) noexcept {
    if (tables.forward.applies) return MatchPath::forward;
    return lanes_supported(tables) ? MatchPath::lanes : MatchPath::scalar;
}

ReferenceTest::ReferenceTest(const SearchTables& tables)
    : tables_(tables), order_(tables.count), offsets_(tables.count) {}

bool ReferenceTest::matches(std::uint32_t seed) {
    const std::uint32_t n = tables_.count;
    std::copy(tables_.identity.begin(), tables_.identity.end(), order_.begin());
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

namespace {

// The walk of a walk kernel's matcher: eight bands at a time beside an AVX-512 kernel, one
// at a time beside the others, as on a CPU without AVX-512 (so that the benchmark's AVX2
// figures are that CPU's).
std::unique_ptr<BandWalk> walk_for(const SearchTables& tables, const ForwardKernel& kernel) {
    assert(kernel.group % 64 == 0 && kWalkSpan % kernel.group == 0);  // spans hold whole groups
    return std::make_unique<BandWalk>(tables, kernel.available == &detail::cpu_has_avx512);
}

}  // namespace

SeedMatcher::SeedMatcher(const SearchTables& tables, MatchPath path)
    : tables_(tables), path_(path), reference_(tables), draws_(tables.count - 1) {
    if (path_ == MatchPath::forward) {
        if (tables_.forward.applies) {
            kernel_ = &best_forward_kernel(tables_);
            if (kernel_->flag_marked != nullptr) walk_ = walk_for(tables_, *kernel_);
        } else {
            path_ = MatchPath::lanes;
        }
    }
    if (path_ == MatchPath::lanes && !lanes_supported(tables_)) path_ = MatchPath::scalar;
    if (path_ == MatchPath::lanes) {
        lane_draws_.resize(std::size_t{tables.count - 1} * kLaneGroup);
    }
}

SeedMatcher::SeedMatcher(const SearchTables& tables, const ForwardKernel& kernel)
    : tables_(tables), path_(MatchPath::forward), reference_(tables), kernel_(&kernel) {
    assert(tables.forward.applies && kernel.available() && kernel.group <= kMaxForwardGroup);
    if (kernel.flag_marked != nullptr) walk_ = walk_for(tables, kernel);
}

SeedMatcher::~SeedMatcher() = default;

std::uint32_t SeedMatcher::group() const noexcept {
    switch (path_) {
        case MatchPath::forward: return walk_ ? kWalkSpan : kernel_->group;
        case MatchPath::lanes: return kLaneGroup;
        case MatchPath::scalar: break;
    }
    return 1;
}

std::uint32_t SeedMatcher::draw_all(std::uint32_t seed) {
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
        const std::uint32_t j = v - fast.quotient_of(v) * fast.bound;
        draws_[s] = j;
        if (j == 0) opening = s + 1;  // step of bound s + 2 moves item s + 1 to position 0
    }
    return opening;
}

std::uint32_t SeedMatcher::closing_item() const noexcept {
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

bool SeedMatcher::scalar_match(std::uint32_t seed) {
    const std::uint32_t opening = draw_all(seed);
    if ((tables_.end_flags[opening] & kCanOpen) == 0) return false;
    if ((tables_.end_flags[closing_item()] & kCanClose) == 0) return false;
    return reference_.matches(seed);
}

std::uint32_t SeedMatcher::lanes_scan(std::uint32_t first) {
    std::uint32_t passed = detail::lanes_filter(tables_, lane_draws_.data(), first, nullptr);
    while (passed != 0) {
        const auto lane = static_cast<std::uint32_t>(std::countr_zero(passed));
        if (reference_.matches(first + lane)) return lane;
        passed &= passed - 1;
    }
    return kLaneGroup;
}

// The kernel flags the seeds that may match (a walk kernel with the marks of this matcher's
// walk); the scalar kernel looks again at each and the reference test decides.
std::uint32_t SeedMatcher::forward_scan(std::uint32_t first, std::uint32_t count) {
    std::uint64_t flags[kMaxForwardGroup / 64];
    std::uint64_t marked[kWalkSpan / 64];
    const std::uint32_t group = kernel_->group;
    std::uint32_t span_start = 0;  // the offsets span_start .. span_end - 1 are marked
    std::uint32_t span_end = 0;
    for (std::uint32_t done = 0; done < count;) {
        const std::uint32_t part = std::min(group, count - done);
        if (walk_) {
            if (done == span_end) {
                span_start = done;
                span_end = done + std::min(kWalkSpan, count - done);
                walk_->mark(first + done, span_end - done, marked);
            }
            kernel_->flag_marked(tables_, first + done, part, marked + (done - span_start) / 64, flags);
        } else {
            kernel_->flag(tables_, first + done, part, flags);
        }
        for (std::uint32_t w = 0; w * 64 < part; ++w) {
            for (std::uint64_t bits = flags[w]; bits != 0; bits &= bits - 1) {
                const std::uint32_t k = w * 64 + static_cast<std::uint32_t>(std::countr_zero(bits));
                const std::uint32_t seed = first + done + k;
                if (detail::forward_passes(tables_, seed) && reference_.matches(seed)) return done + k;
            }
        }
        done += part;
    }
    return count;
}

std::uint32_t SeedMatcher::scan(std::uint32_t first, std::uint32_t count) {
    assert(count == 0 || first <= UINT32_MAX - (count - 1));
    if (path_ == MatchPath::forward) return forward_scan(first, count);
    std::uint32_t done = 0;
    if (path_ == MatchPath::lanes) {
        for (; count - done >= kLaneGroup; done += kLaneGroup) {
            const std::uint32_t lane = lanes_scan(first + done);
            if (lane != kLaneGroup) return done + lane;
        }
    }
    for (; done < count; ++done) {
        if (scalar_match(first + done)) return done;
    }
    return count;
}

}  // namespace native_accel::shuffle
