#include "shuffle/seed_match_forward.hpp"

#include <algorithm>
#include <cassert>
#include <string_view>

namespace native_accel::shuffle {
namespace detail {
namespace {

constexpr std::uint32_t kScalarGroup = 64;

bool always() noexcept { return true; }

void forward_scalar(const SearchTables& tables, std::uint32_t first, std::uint32_t count,
                    std::uint64_t* flags) noexcept {
    assert(count > 0 && count <= kScalarGroup);
    std::uint64_t word = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        word |= std::uint64_t{forward_passes(tables, first + k)} << k;
    }
    flags[0] = word;
}

// The walk kernel's tail on plain integers: the three draws of an unmarked seed from their
// jump-ahead states, the marked ones through the scalar forward kernel.
void walk_scalar(const SearchTables& tables, std::uint32_t first, std::uint32_t count,
                 const std::uint64_t* marked, std::uint64_t* flags) noexcept {
    assert(count > 0 && count <= kMaxForwardGroup);
    const ForwardTables& forward = tables.forward;
    const std::uint32_t n = tables.count;
    std::array<std::uint32_t, 3> doubled{};
    std::array<std::uint32_t, 3> step{};
    std::array<const FastDraw*, 3> fast{};
    for (std::uint32_t i = 0; i < 3 && i + 1 < n; ++i) {
        const std::uint32_t t = n - 1 - i;  // bound n - i draws from output t
        step[i] = forward.jump_mul[t - 1];
        doubled[i] = step[i] * first + forward.jump_add[t - 1];  // modulo 2^32
        fast[i] = &tables.fast_draws[t - 1];
    }
    for (std::uint32_t w = 0; w < kMaxForwardGroup / 64; ++w) flags[w] = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        bool flagged;
        if ((marked[k / 64] >> (k % 64)) & 1) {
            flagged = forward_passes(tables, first + k);
        } else {
            std::array<std::uint32_t, 3> j{};
            for (std::uint32_t i = 0; i < 3 && i + 1 < n; ++i) j[i] = draw_of(*fast[i], doubled[i]);
            flagged = tail_fits(forward, tail_positions(n, j[0], j[1], j[2]));
        }
        for (std::uint32_t i = 0; i < 3; ++i) doubled[i] += step[i];
        flags[k / 64] |= std::uint64_t{flagged} << (k % 64);
    }
}

// A walk kernel called without a walk: its marks by compares.
template <void (*FlagMarked)(const SearchTables&, std::uint32_t, std::uint32_t,
                             const std::uint64_t*, std::uint64_t*) noexcept>
void marked_by_compare(const SearchTables& tables, std::uint32_t first, std::uint32_t count,
                       std::uint64_t* flags) noexcept {
    std::uint64_t marked[kMaxForwardGroup / 64];
    mark_by_compare(tables, first, count, marked);
    FlagMarked(tables, first, count, marked, flags);
}

// The kernels; the search picks one by CPU and n (best_forward_kernel).
constexpr ForwardKernel kKernels[] = {
    {"scalar", kScalarGroup, always, forward_scalar},
    {"walk-scalar", kMaxForwardGroup, always, marked_by_compare<walk_scalar>, walk_scalar},
    {"neon", 32, cpu_has_neon, forward_neon},
    {"walk-neon", kMaxForwardGroup, cpu_has_neon, marked_by_compare<walk_neon>, walk_neon},
    {"avx2", 64, cpu_has_avx2, forward_avx2},
    {"walk-avx2", kMaxForwardGroup, cpu_has_avx2, marked_by_compare<walk_avx2>, walk_avx2},
    {"avx512", 128, cpu_has_avx512, forward_avx512},
    {"walk-avx512", kMaxForwardGroup, cpu_has_avx512, marked_by_compare<walk_avx512>, walk_avx512},
};

const ForwardKernel& kernel_named(const char* name) noexcept {
    for (const ForwardKernel& kernel : kKernels) {
        if (std::string_view(kernel.name) == name) return kernel;
    }
    assert(false && "no such kernel");
    return kKernels[0];
}

}  // namespace

void mark_by_compare(const SearchTables& tables, std::uint32_t first, std::uint32_t count,
                     std::uint64_t* marked) noexcept {
    const ForwardTables& forward = tables.forward;
    for (std::uint32_t w = 0; w < (count + 63) / 64; ++w) marked[w] = 0;
    for (const std::uint32_t t : forward.rejecting) {
        const std::uint32_t step = forward.jump_mul[t - 1];
        const std::uint32_t reject_from = forward.reject_from[t - 1];
        std::uint32_t doubled = step * first + forward.jump_add[t - 1];  // modulo 2^32
        for (std::uint32_t k = 0; k < count; ++k) {
            marked[k / 64] |= std::uint64_t{doubled >= reject_from} << (k % 64);
            doubled += step;
        }
    }
}

std::array<std::uint32_t, 3> forward_tail(const SearchTables& tables, std::uint32_t seed) noexcept {
    assert(tables.forward.applies);
    const std::uint32_t n = tables.count;
    const std::uint32_t steps = n - 1;  // step s draws below bound s + 2
    const std::uint32_t body = steps > 3 ? steps - 3 : 0;
    const std::uint32_t* reject_from = tables.forward.reject_from.data();
    std::uint32_t doubled = seed * 2u;  // modulo 2^32 on purpose, as every step below
    auto step = [&doubled](std::uint32_t reject) {
        doubled = doubled * kRandMultiplier + kDoubledIncrement;
        if (reject != 0) {
            while (doubled >= reject) doubled = doubled * kRandMultiplier + kDoubledIncrement;
        }
    };
    for (std::uint32_t s = 0; s < body; ++s) step(reject_from[s]);
    std::array<std::uint32_t, 3> j{};  // draws of bounds n, n - 1, n - 2; 0 below bound 2
    for (std::uint32_t s = body; s < steps; ++s) {
        step(reject_from[s]);
        j[steps - 1 - s] = draw_of(tables.fast_draws[s], doubled);
    }
    return tail_positions(n, j[0], j[1], j[2]);
}

void build_forward_tables(SearchTables& tables) {
    const std::uint32_t n = tables.count;
    ForwardTables& forward = tables.forward;
    // Past 32768 items the last draws take two outputs each: the filter does not apply,
    // and a layout that large need not pay for the sort below.
    if (n > kOutputMask + 1) return;
    // Positions from the sorted expected offsets: below = items expected before, not_above
    // = items expected before or at the same offset (the item itself included).
    std::vector<std::uint32_t> sorted(tables.expected);
    std::sort(sorted.begin(), sorted.end());
    tables.position_low.resize(n);
    tables.position_high.resize(n);
    std::uint64_t positive = 0;
    for (std::uint32_t k = 0; k < n; ++k) {
        const std::uint32_t e = tables.expected[k];
        const auto below = static_cast<std::uint32_t>(
            std::lower_bound(sorted.begin(), sorted.end(), e) - sorted.begin());
        const auto not_above = static_cast<std::uint32_t>(
            std::upper_bound(sorted.begin(), sorted.end(), e) - sorted.begin());
        const bool takes_room = tables.sizes[k] > 0;
        tables.position_low[k] = takes_room ? not_above - 1 : below;
        tables.position_high[k] = not_above - 1;
        if (takes_room) positive += static_cast<std::uint32_t>(tables.sizes[k]);
    }

    forward.applies = positive < (std::uint64_t{1} << 32);
    if (!forward.applies) return;
    forward.reject_from.resize(n - 1);
    forward.jump_mul.resize(n - 1);
    forward.jump_add.resize(n - 1);
    std::uint32_t mul = 1;  // a^t and c (1 + a + ... + a^(t-1)), modulo 2^32
    std::uint32_t add = 0;
    for (std::uint32_t s = 0; s + 1 < n; ++s) {
        const FastDraw& fast = tables.fast_draws[s];
        assert(fast.draws == 1);
        // accept_below is quotient * bound <= 32767, or 2^32 for a bound that keeps all.
        forward.reject_from[s] = fast.accept_below > kOutputMask
                                     ? 0
                                     : static_cast<std::uint32_t>(fast.accept_below) << kOutputShiftDoubled;
        mul *= kRandMultiplier;
        add = add * kRandMultiplier + kRandIncrement;
        forward.jump_mul[s] = 2 * mul;
        forward.jump_add[s] = 2 * add;
        if (forward.reject_from[s] != 0) forward.rejecting.push_back(s + 1);
    }
    for (std::uint32_t i = 0; i < 3; ++i) {
        if (i < n) {
            const std::uint32_t k = n - 1 - i;
            forward.tail_low[i] = tables.position_low[k];
            forward.tail_width[i] = tables.position_high[k] - tables.position_low[k];
        } else {
            forward.tail_low[i] = 0;
            forward.tail_width[i] = UINT32_MAX;
        }
    }
}

}  // namespace detail

std::span<const ForwardKernel> forward_kernels() noexcept { return detail::kKernels; }

const ForwardKernel& best_forward_kernel(const SearchTables& tables) noexcept {
    assert(tables.forward.applies);
    const bool walk = tables.count <= kWalkItemsAtMost;
    if (detail::cpu_has_avx512()) return detail::kernel_named(walk ? "walk-avx512" : "avx512");
    if (detail::cpu_has_avx2()) return detail::kernel_named(walk ? "walk-avx2" : "avx2");
    // Not timed here (qemu only): the cut-off is the x86 kernels'. The walk kernel does
    // three draws where the forward one runs n - 1 steps, as on x86.
    if (detail::cpu_has_neon()) return detail::kernel_named(walk ? "walk-neon" : "neon");
    return detail::kernel_named(walk ? "walk-scalar" : "scalar");
}

}  // namespace native_accel::shuffle
