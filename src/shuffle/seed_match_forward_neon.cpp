// The forward kernel for aarch64: consecutive seeds in lock step, four 32-bit lanes a NEON
// vector, eight vectors in flight to cover the multiplier's latency. NEON is part of every
// aarch64 CPU, so the choice is made when compiling; other targets get a stub that is never
// chosen. The steps are those of the x86 kernels (seed_match_forward_x86.cpp), with NEON's
// unsigned compares doing the rejection test directly.
#include "shuffle/seed_match_forward.hpp"

#include <cassert>

#if defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace native_accel::shuffle::detail {

#if defined(__aarch64__)

namespace {

constexpr int kLanes = 4;
constexpr int kVectors = 8;

inline uint32x4_t step(uint32x4_t doubled) {
    return vaddq_u32(vmulq_u32(doubled, vdupq_n_u32(kRandMultiplier)), vdupq_n_u32(kDoubledIncrement));
}

inline void advance(uint32x4_t* doubled, std::uint32_t reject) {
    for (int v = 0; v < kVectors; ++v) doubled[v] = step(doubled[v]);
    if (reject == 0) return;
    const uint32x4_t limit = vdupq_n_u32(reject);
    for (int v = 0; v < kVectors; ++v) {
        uint32x4_t rejected = vcgeq_u32(doubled[v], limit);
        while (vmaxvq_u32(rejected) != 0) [[unlikely]] {
            doubled[v] = vbslq_u32(rejected, step(doubled[v]), doubled[v]);
            rejected = vandq_u32(rejected, vcgeq_u32(doubled[v], limit));
        }
    }
}

// The draw from a doubled state: output v, then v - ((v * m) >> shift) * bound; v * m stays
// below 2^31.
inline uint32x4_t draw(const FastDraw& fast, uint32x4_t doubled) {
    const uint32x4_t v = vshrq_n_u32(doubled, kOutputShiftDoubled);
    const int32x4_t right = vdupq_n_s32(-static_cast<std::int32_t>(fast.narrow_shift));
    const uint32x4_t q = vshlq_u32(vmulq_u32(v, vdupq_n_u32(fast.narrow_multiplier)), right);
    return vsubq_u32(v, vmulq_u32(q, vdupq_n_u32(fast.bound)));
}

inline std::uint32_t tail_bits(const ForwardTables& forward, std::uint32_t n, uint32x4_t j0,
                               uint32x4_t j1, uint32x4_t j2) {
    const uint32x4_t last = vdupq_n_u32(n - 1);
    const uint32x4_t second = vbslq_u32(vceqq_u32(j0, j1), last, j1);
    uint32x4_t third = vbslq_u32(vceqq_u32(j1, j2), vdupq_n_u32(n - 2), j2);
    third = vbslq_u32(vceqq_u32(j0, third), last, third);
    const uint32x4_t positions[3] = {j0, second, third};
    uint32x4_t fits = vdupq_n_u32(UINT32_MAX);
    for (int i = 0; i < 3; ++i) {
        const uint32x4_t d = vsubq_u32(positions[i], vdupq_n_u32(forward.tail_low[i]));
        fits = vandq_u32(fits, vcleq_u32(d, vdupq_n_u32(forward.tail_width[i])));
    }
    const std::uint32_t weights[4] = {1, 2, 4, 8};
    return vaddvq_u32(vandq_u32(fits, vld1q_u32(weights)));
}

}  // namespace

bool cpu_has_neon() noexcept { return true; }

void forward_neon(const SearchTables& tables, std::uint32_t first, std::uint32_t count,
                  std::uint64_t* flags) noexcept {
    constexpr std::uint32_t group = kVectors * kLanes;
    assert(tables.forward.applies && count > 0 && count <= group);
    const std::uint32_t steps = tables.count - 1;  // step s draws below bound s + 2
    const std::uint32_t body = steps > 3 ? steps - 3 : 0;
    const std::uint32_t* reject_from = tables.forward.reject_from.data();
    const std::uint32_t lane_index[4] = {0, 1, 2, 3};
    const uint32x4_t lane = vld1q_u32(lane_index);
    uint32x4_t doubled[kVectors];
    for (int v = 0; v < kVectors; ++v) {
        const uint32x4_t seeds = vaddq_u32(vdupq_n_u32(first + v * kLanes), lane);  // mod 2^32
        doubled[v] = vshlq_n_u32(seeds, 1);
    }
    for (std::uint32_t s = 0; s < body; ++s) advance(doubled, reject_from[s]);
    uint32x4_t j[3][kVectors];
    for (auto& row : j) {
        for (auto& d : row) d = vdupq_n_u32(0);
    }
    for (std::uint32_t s = body; s < steps; ++s) {
        advance(doubled, reject_from[s]);
        for (int v = 0; v < kVectors; ++v) j[steps - 1 - s][v] = draw(tables.fast_draws[s], doubled[v]);
    }
    std::uint64_t bits = 0;
    for (int v = 0; v < kVectors; ++v) {
        bits |= std::uint64_t{tail_bits(tables.forward, tables.count, j[0][v], j[1][v], j[2][v])}
                << (v * kLanes);
    }
    flags[0] = count < 64 ? bits & ((std::uint64_t{1} << count) - 1) : bits;
}

#else

bool cpu_has_neon() noexcept { return false; }

// Never chosen: cpu_has_neon() is false.
void forward_neon(const SearchTables&, std::uint32_t, std::uint32_t, std::uint64_t*) noexcept {}

#endif

}  // namespace native_accel::shuffle::detail
