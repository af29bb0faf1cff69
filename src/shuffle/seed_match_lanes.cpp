// 32 consecutive seeds in lock step: four AVX2 vectors of eight 32-bit lanes, one seed per
// lane. The seeds' draws are independent, so each step of the shuffle is one vector
// operation per eight seeds; the four vectors keep the multiplier's latency hidden. Only the
// rare rejected candidate (for bound b below 32768 a chance of (32768 mod b) / 32768) makes
// a vector loop, redrawing just its rejected lanes.
//
// The kernel is compiled for AVX2 through a function attribute and chosen at run time, so
// the module still loads on any x86-64 CPU; builds for other targets have no kernel and
// the search uses the scalar path.
#include "shuffle/seed_match_lanes.hpp"

#include <cassert>

#include <algorithm>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define NATIVE_ACCEL_AVX2_LANES 1
#include <immintrin.h>
#else
#define NATIVE_ACCEL_AVX2_LANES 0
#endif

namespace native_accel::shuffle::detail {

#if NATIVE_ACCEL_AVX2_LANES

namespace {

constexpr int kLanesPerVector = 8;
constexpr int kVectors = static_cast<int>(kLaneGroup) / kLanesPerVector;
static_assert(kVectors * kLanesPerVector == static_cast<int>(kLaneGroup));

#define NATIVE_ACCEL_AVX2 __attribute__((target("avx2")))

NATIVE_ACCEL_AVX2 inline __m256i rand_step(__m256i state) {
    const __m256i multiplier = _mm256_set1_epi32(static_cast<int>(kRandMultiplier));
    const __m256i increment = _mm256_set1_epi32(static_cast<int>(kRandIncrement));
    return _mm256_add_epi32(_mm256_mullo_epi32(state, multiplier), increment);
}

NATIVE_ACCEL_AVX2 inline __m256i output_of(__m256i state) {
    return _mm256_and_si256(_mm256_srli_epi32(state, 16),
                            _mm256_set1_epi32(static_cast<int>(kOutputMask)));
}

NATIVE_ACCEL_AVX2 inline bool all_lanes(__m256i mask) {
    return _mm256_movemask_epi8(mask) == -1;
}

// Lanes whose flag (of the item each lane names) has `bit`, as one bit per lane.
NATIVE_ACCEL_AVX2 inline std::uint32_t lanes_with_flag(const std::int32_t* flags, __m256i items,
                                                      std::int32_t bit) {
    const __m256i wanted = _mm256_set1_epi32(bit);
    const __m256i found = _mm256_i32gather_epi32(flags, items, 4);
    const __m256i has = _mm256_cmpeq_epi32(_mm256_and_si256(found, wanted), wanted);
    return static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(has)));
}

}  // namespace

bool cpu_has_lanes() noexcept { return __builtin_cpu_supports("avx2"); }

NATIVE_ACCEL_AVX2 std::uint32_t lanes_filter(const SearchTables& tables,
                                             std::uint32_t* lane_draws, std::uint32_t first,
                                             std::uint32_t* ends) noexcept {
    // Chosen only where the CPU has the lanes, and only for bounds that one output covers.
    assert(cpu_has_lanes() && tables.count <= kOutputMask + 1);
    const std::uint32_t n = tables.count;
    auto* draws = reinterpret_cast<__m256i*>(lane_draws);  // unaligned loads and stores only
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);

    __m256i state[kVectors];
    __m256i opening[kVectors];  // the item at position 0 so far
    for (int v = 0; v < kVectors; ++v) {
        const std::uint32_t base = first + static_cast<std::uint32_t>(v * kLanesPerVector);
        state[v] = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(base)), lane_index);
        opening[v] = zero;
    }

    for (std::uint32_t s = 0; s + 1 < n; ++s) {  // step s draws below bound s + 2
        const FastDraw& fast = tables.fast_draws[s];
        // Every one-output candidate lies below 32768, so "keep all" is a threshold of 32768.
        const auto threshold = std::min<std::uint64_t>(fast.accept_below, kOutputMask + 1);
        const __m256i keep_below = _mm256_set1_epi32(static_cast<int>(threshold));
        const __m256i multiplier = _mm256_set1_epi32(static_cast<int>(fast.narrow_multiplier));
        const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(fast.narrow_shift - 16));
        const __m256i bound = _mm256_set1_epi32(static_cast<int>(fast.bound));
        const __m256i moved_item = _mm256_set1_epi32(static_cast<int>(s + 1));
        for (int v = 0; v < kVectors; ++v) {
            __m256i next = rand_step(state[v]);
            __m256i candidate = output_of(next);
            __m256i kept = _mm256_cmpgt_epi32(keep_below, candidate);
            while (!all_lanes(kept)) [[unlikely]] {
                const __m256i again = rand_step(next);
                next = _mm256_blendv_epi8(again, next, kept);
                candidate = _mm256_blendv_epi8(output_of(again), candidate, kept);
                kept = _mm256_cmpgt_epi32(keep_below, candidate);
            }
            state[v] = next;
            // Both halves of a 32-bit lane: the low one holds (v * m) >> 16, the high one
            // 0 * 0; q * bound < 2^15 fits the 16-bit product.
            const __m256i quotient =
                _mm256_srl_epi32(_mm256_mulhi_epu16(candidate, multiplier), shift);
            const __m256i j = _mm256_sub_epi32(candidate, _mm256_mullo_epi16(quotient, bound));
            _mm256_storeu_si256(draws + s * kVectors + v, j);
            opening[v] = _mm256_blendv_epi8(opening[v], moved_item, _mm256_cmpeq_epi32(j, zero));
        }
    }

    const std::int32_t* flags = tables.end_flags.data();
    std::uint32_t opens = 0;
    for (int v = 0; v < kVectors; ++v) {
        opens |= lanes_with_flag(flags, opening[v], kCanOpen) << (v * kLanesPerVector);
    }
    if (opens == 0 && ends == nullptr) return 0;

    // Trace position n - 1 back from the last step to the first.
    __m256i closing[kVectors];
    for (int v = 0; v < kVectors; ++v) closing[v] = _mm256_set1_epi32(static_cast<int>(n - 1));
    for (std::uint32_t s = n - 1; s-- > 0;) {
        const __m256i swapped = _mm256_set1_epi32(static_cast<int>(s + 1));  // position i - 1
        for (int v = 0; v < kVectors; ++v) {
            const __m256i j = _mm256_loadu_si256(draws + s * kVectors + v);
            const __m256i was_swapped = _mm256_cmpeq_epi32(closing[v], swapped);
            const __m256i was_drawn = _mm256_cmpeq_epi32(closing[v], j);
            closing[v] = _mm256_blendv_epi8(closing[v], j, was_swapped);
            closing[v] = _mm256_blendv_epi8(closing[v], swapped, was_drawn);
        }
    }
    std::uint32_t closes = 0;
    for (int v = 0; v < kVectors; ++v) {
        closes |= lanes_with_flag(flags, closing[v], kCanClose) << (v * kLanesPerVector);
    }

    if (ends != nullptr) {
        alignas(32) std::uint32_t opened[kLanesPerVector];
        alignas(32) std::uint32_t closed[kLanesPerVector];
        for (int v = 0; v < kVectors; ++v) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(opened), opening[v]);
            _mm256_store_si256(reinterpret_cast<__m256i*>(closed), closing[v]);
            for (int l = 0; l < kLanesPerVector; ++l) {
                ends[2 * (v * kLanesPerVector + l)] = opened[l];
                ends[2 * (v * kLanesPerVector + l) + 1] = closed[l];
            }
        }
    }
    return opens & closes;
}

#else

bool cpu_has_lanes() noexcept { return false; }

std::uint32_t lanes_filter(const SearchTables&, std::uint32_t*, std::uint32_t,
                           std::uint32_t*) noexcept {
    return 0;  // never chosen: cpu_has_lanes() is false
}

#endif

}  // namespace native_accel::shuffle::detail
