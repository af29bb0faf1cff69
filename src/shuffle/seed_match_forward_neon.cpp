// The forward and walk kernels for aarch64: consecutive seeds in lock step, four 32-bit
// lanes a NEON vector, eight vectors in flight to cover the multiplier's latency in the
// forward kernel. NEON is part of every
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

// Runs the vectors of doubled seed states through the shuffle's steps; returns the bits of
// the lanes whose last three items end inside their ranges, lane k of vector v at 4 v + k.
std::uint64_t forward_lanes(const SearchTables& tables, uint32x4_t* doubled) {
    const std::uint32_t steps = tables.count - 1;  // step s draws below bound s + 2
    const std::uint32_t body = steps > 3 ? steps - 3 : 0;
    const std::uint32_t* reject_from = tables.forward.reject_from.data();
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
    return bits;
}

// A walk kernel's marked seeds, first + listed[k] for k < count, through the forward kernel
// a batch of kVectors * kLanes at a time (listed has room for a batch past count).
void forward_listed(const SearchTables& tables, std::uint32_t first, std::uint32_t* listed,
                    std::uint32_t count, std::uint64_t* flags) {
    constexpr std::uint32_t batch = kVectors * kLanes;
    for (std::uint32_t k = count; k < count + batch; ++k) listed[k] = listed[0];  // ignored
    for (std::uint32_t done = 0; done < count; done += batch) {
        uint32x4_t doubled[kVectors];
        for (int v = 0; v < kVectors; ++v) {
            const uint32x4_t at = vld1q_u32(listed + done + v * kLanes);
            doubled[v] = vshlq_n_u32(vaddq_u32(vdupq_n_u32(first), at), 1);  // modulo 2^32
        }
        for (std::uint64_t bits = forward_lanes(tables, doubled); bits != 0; bits &= bits - 1) {
            const std::uint32_t lane = done + static_cast<std::uint32_t>(__builtin_ctzll(bits));
            if (lane < count) flags[listed[lane] / 64] |= std::uint64_t{1} << (listed[lane] % 64);
        }
    }
}

}  // namespace

bool cpu_has_neon() noexcept { return true; }

void forward_neon(const SearchTables& tables, std::uint32_t first, std::uint32_t count,
                  std::uint64_t* flags) noexcept {
    constexpr std::uint32_t group = kVectors * kLanes;
    assert(tables.forward.applies && count > 0 && count <= group);
    const std::uint32_t lane_index[4] = {0, 1, 2, 3};
    const uint32x4_t lane = vld1q_u32(lane_index);
    uint32x4_t doubled[kVectors];
    for (int v = 0; v < kVectors; ++v) {
        const uint32x4_t seeds = vaddq_u32(vdupq_n_u32(first + v * kLanes), lane);  // mod 2^32
        doubled[v] = vshlq_n_u32(seeds, 1);
    }
    const std::uint64_t bits = forward_lanes(tables, doubled);
    flags[0] = count < 64 ? bits & ((std::uint64_t{1} << count) - 1) : bits;
}

// The walk kernel, as walk2 on x86: the last three draws of the unmarked seeds from their
// jump-ahead states, sixteen vectors a word of flags; the marked seeds through the forward
// kernel. A draw that does not exist (n < 4) keeps a state and constants of 0 and draws 0.
void walk_neon(const SearchTables& tables, std::uint32_t first, std::uint32_t count,
               const std::uint64_t* marked, std::uint64_t* flags) noexcept {
    constexpr std::uint32_t group = kMaxForwardGroup;
    assert(tables.forward.applies && count > 0 && count <= group);
    const ForwardTables& forward = tables.forward;
    const std::uint32_t n = tables.count;
    const std::uint32_t lane_index[4] = {0, 1, 2, 3};
    const uint32x4_t seeds = vaddq_u32(vdupq_n_u32(first), vld1q_u32(lane_index));  // mod 2^32
    uint32x4_t doubled[3];
    uint32x4_t next[3];
    uint32x4_t multiplier[3];
    uint32x4_t bound[3];
    int32x4_t right[3];
    for (std::uint32_t i = 0; i < 3; ++i) {
        std::uint32_t mul = 0, add = 0, m = 0, b = 0, shift = 0;
        if (i + 1 < n) {
            const std::uint32_t t = n - 1 - i;  // bound n - i draws from output t
            const FastDraw& fast = tables.fast_draws[t - 1];
            mul = forward.jump_mul[t - 1];
            add = forward.jump_add[t - 1];
            m = fast.narrow_multiplier;
            b = fast.bound;
            shift = fast.narrow_shift;
        }
        doubled[i] = vaddq_u32(vmulq_u32(seeds, vdupq_n_u32(mul)), vdupq_n_u32(add));
        next[i] = vdupq_n_u32(mul * kLanes);  // modulo 2^32
        multiplier[i] = vdupq_n_u32(m);
        bound[i] = vdupq_n_u32(b);
        right[i] = vdupq_n_s32(-static_cast<std::int32_t>(shift));
    }
    const std::uint32_t used = (count + 63) / 64;
    std::uint32_t listed[group + kVectors * kLanes];  // the marked seeds, as offsets from first
    std::uint32_t listed_count = 0;
    for (std::uint32_t w = 0; w < used; ++w) {
        std::uint64_t passed = 0;
        for (int q = 0; q < 64 / kLanes; ++q) {
            uint32x4_t j[3];
            for (int i = 0; i < 3; ++i) {
                const uint32x4_t v = vshrq_n_u32(doubled[i], kOutputShiftDoubled);
                const uint32x4_t quotient = vshlq_u32(vmulq_u32(v, multiplier[i]), right[i]);
                j[i] = vsubq_u32(v, vmulq_u32(quotient, bound[i]));
                doubled[i] = vaddq_u32(doubled[i], next[i]);
            }
            passed |= std::uint64_t{tail_bits(forward, n, j[0], j[1], j[2])} << (q * kLanes);
        }
        const std::uint64_t in = seeds_in_word(count, w);
        flags[w] = passed & ~marked[w] & in;
        list_bits(marked[w] & in, w, listed, listed_count);
    }
    for (std::uint32_t w = used; w < group / 64; ++w) flags[w] = 0;
    if (listed_count > 0) forward_listed(tables, first, listed, listed_count, flags);
}

#else

bool cpu_has_neon() noexcept { return false; }

// Never chosen: cpu_has_neon() is false.
void forward_neon(const SearchTables&, std::uint32_t, std::uint32_t, std::uint64_t*) noexcept {}
void walk_neon(const SearchTables&, std::uint32_t, std::uint32_t, const std::uint64_t*,
               std::uint64_t*) noexcept {}

#endif

}  // namespace native_accel::shuffle::detail
