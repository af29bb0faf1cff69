// The C runtime's rand() generator, its draw below a bound, and the shuffle built on them,
// reproduced bit for bit. Pure header: the list shuffle of the binding and the seed search
// both instantiate msvc_shuffle with their own swap action.
//
// Generator: a 32-bit linear congruential step, state = state * 214013 + 2531011 modulo 2^32
// (the wrap-around is wanted and written on unsigned types), whose output is bits 16..30.
// From state 1 the outputs start 41, 18467, 6334, 26500, ...
//
// Draw below a bound b: one output gives 15 bits, so bounds above 32768 glue two outputs
// together (30 bits) and bounds above 2^30 three (the first output's top bits fall off the
// 32-bit value). A candidate v is kept when v / b < mask / b; only the last, incomplete
// stretch of b values below the mask is thrown away, which keeps every result equally
// likely. When mask + 1 is a multiple of b (every power of two) nothing is ever thrown away.
#pragma once

#include <cassert>
#include <cstdint>

namespace native_accel::shuffle {

inline constexpr std::uint32_t kRandMultiplier = 214013;   // 0x343FD
inline constexpr std::uint32_t kRandIncrement = 2531011;   // 0x269EC3
inline constexpr std::uint32_t kOutputBits = 15;
inline constexpr std::uint32_t kOutputMask = 0x7FFF;

struct MsvcRand {
    std::uint32_t state;

    // Advances the state and returns the next 15-bit output.
    constexpr std::uint32_t next() noexcept {
        state = state * kRandMultiplier + kRandIncrement;  // modulo 2^32 on purpose
        return (state >> 16) & kOutputMask;
    }
};

// What a draw below `bound` needs; computed from the bound alone.
struct RangePlan {
    std::uint32_t bound;
    std::uint32_t draws;      // outputs combined into one candidate
    std::uint32_t quotient;   // mask / bound
    std::uint32_t remainder;  // mask % bound

    // The mask grows by 15 bits per output until it covers bound - 1:
    //   bound 1 -> no output; 2..32768 -> 0x7FFF; ..2^30 -> 0x3FFFFFFF; above -> 0xFFFFFFFF.
    static constexpr RangePlan for_bound(std::uint32_t bound) noexcept {
        assert(bound >= 1);
        std::uint32_t mask = 0;
        std::uint32_t draws = 0;
        while (mask < bound - 1) {
            mask = (mask << kOutputBits) | kOutputMask;  // the third pass shifts bits out
            ++draws;
        }
        return {bound, draws, mask / bound, mask % bound};
    }

    // The last, incomplete stretch of `bound` candidates is rejected, unless mask + 1 is a
    // multiple of the bound and no stretch is incomplete.
    [[nodiscard]] constexpr bool accepts(std::uint32_t candidate) const noexcept {
        return candidate / bound < quotient || remainder == bound - 1;
    }
};

// A value in [0, plan.bound). Rejected candidates stay consumed: each costs `draws` outputs.
constexpr std::uint32_t rand_below(MsvcRand& rand, const RangePlan& plan) noexcept {
    if (plan.draws == 0) return 0;
    for (;;) {
        std::uint32_t candidate = 0;
        for (std::uint32_t d = 0; d < plan.draws; ++d) {
            candidate = (candidate << kOutputBits) | rand.next();  // modulo 2^32
        }
        if (plan.accepts(candidate)) return candidate % plan.bound;
    }
}

// The shuffle over positions 0..n-1: for i = 2..n, draw j below i and exchange positions
// i - 1 and j unless they are the same position (the draw is made either way). `plan_for`
// maps a bound to its RangePlan, so that a caller can look plans up in a prepared table.
// Returns the state after the last draw; n of 0 or 1 draws nothing.
template <class PlanFor, class Swap>
constexpr std::uint32_t msvc_shuffle(std::uint32_t state, std::uint32_t n, PlanFor&& plan_for,
                                     Swap&& swap) {
    MsvcRand rand{state};
    for (std::uint64_t i = 2; i <= n; ++i) {
        const auto bound = static_cast<std::uint32_t>(i);
        const std::uint32_t j = rand_below(rand, plan_for(bound));
        if (j != bound - 1) swap(bound - 1, j);
    }
    return rand.state;
}

// The same shuffle with plans computed on the way, for one-off shuffles.
template <class Swap>
constexpr std::uint32_t msvc_shuffle(std::uint32_t state, std::uint32_t n, Swap&& swap) {
    return msvc_shuffle(
        state, n, [](std::uint32_t bound) { return RangePlan::for_bound(bound); },
        static_cast<Swap&&>(swap));
}

}  // namespace native_accel::shuffle
