// The forward filter's vector kernels for x86-64: consecutive seeds in lock step, one seed
// per 32-bit lane, eight lanes a vector on AVX2 and sixteen on AVX-512.
//
// Forward kernels run each lane's generator through every output. Its steps form one chain
// of dependent multiplies per lane, so several vectors are kept in flight to cover the
// multiplier's latency. A rejected candidate is rare per lane (for bound b a chance of
// (32768 mod b) / 32768) and makes only its vector loop, re-stepping just its rejected
// lanes. The "once" variant re-steps rejected lanes once without a branch and branches only
// for a second rejection.
//
// Jump kernels run no generator: each rejecting output's doubled state advances by one add
// per vector of seeds and one compare marks the lanes whose candidate there would be
// rejected (see seed_match_forward.hpp).
//
// Everything here is compiled for its instruction set through function attributes and
// chosen at run time, so the module still loads on any x86-64 CPU; other targets and
// compilers get stubs that are never chosen.
#include "shuffle/seed_match_forward.hpp"

#include <cassert>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define NATIVE_ACCEL_X86_KERNELS 1
#include <immintrin.h>
// GCC 12 warns inside its own AVX-512 headers, whose intrinsics start from an "undefined"
// vector they then overwrite whole.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#else
#define NATIVE_ACCEL_X86_KERNELS 0
#endif

namespace native_accel::shuffle::detail {

#if NATIVE_ACCEL_X86_KERNELS

namespace {

#define NATIVE_ACCEL_AVX2 __attribute__((target("avx2")))
#define NATIVE_ACCEL_AVX512 __attribute__((target("avx2,avx512f")))

// Bits from `count` on are cleared; words holds group / 64 words.
void clear_past(std::uint64_t* flags, std::uint32_t words, std::uint32_t count) noexcept {
    for (std::uint32_t w = 0; w < words; ++w) {
        const std::uint32_t from = w * 64;
        if (count <= from) {
            flags[w] = 0;
        } else if (count - from < 64) {
            flags[w] &= (std::uint64_t{1} << (count - from)) - 1;
        }
    }
}

struct Tail {
    std::uint32_t n;
    std::uint32_t steps;  // n - 1
    std::uint32_t body;   // steps before the last three
};

Tail tail_of(const SearchTables& tables) noexcept {
    const std::uint32_t steps = tables.count - 1;
    return {tables.count, steps, steps > 3 ? steps - 3 : 0};
}

// ---- AVX2 ------------------------------------------------------------------------------

constexpr int kLanes2 = 8;

NATIVE_ACCEL_AVX2 inline __m256i splat2(std::uint32_t value) {
    return _mm256_set1_epi32(static_cast<int>(value));
}

NATIVE_ACCEL_AVX2 inline __m256i step2(__m256i doubled) {
    return _mm256_add_epi32(_mm256_mullo_epi32(doubled, splat2(kRandMultiplier)),
                            splat2(kDoubledIncrement));
}

// All ones in the lanes where a >= b, unsigned.
NATIVE_ACCEL_AVX2 inline __m256i at_least2(__m256i a, __m256i b) {
    return _mm256_cmpeq_epi32(_mm256_max_epu32(a, b), a);
}

NATIVE_ACCEL_AVX2 inline __m256i draw2(const FastDraw& fast, __m256i doubled) {
    const __m256i v = _mm256_srli_epi32(doubled, kOutputShiftDoubled);
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(fast.narrow_shift));
    const __m256i q = _mm256_srl_epi32(_mm256_mullo_epi32(v, splat2(fast.narrow_multiplier)), shift);
    return _mm256_sub_epi32(v, _mm256_mullo_epi32(q, splat2(fast.bound)));
}

NATIVE_ACCEL_AVX2 inline std::uint32_t tail_bits2(const ForwardTables& forward, std::uint32_t n,
                                                 __m256i j0, __m256i j1, __m256i j2) {
    const __m256i last = splat2(n - 1);
    const __m256i second = _mm256_blendv_epi8(j1, last, _mm256_cmpeq_epi32(j0, j1));
    __m256i third = _mm256_blendv_epi8(j2, splat2(n - 2), _mm256_cmpeq_epi32(j1, j2));
    third = _mm256_blendv_epi8(third, last, _mm256_cmpeq_epi32(j0, third));
    const __m256i positions[3] = {j0, second, third};
    __m256i fits = _mm256_set1_epi32(-1);
    for (int i = 0; i < 3; ++i) {
        const __m256i d = _mm256_sub_epi32(positions[i], splat2(forward.tail_low[i]));
        const __m256i in = _mm256_cmpeq_epi32(_mm256_min_epu32(d, splat2(forward.tail_width[i])), d);
        fits = _mm256_and_si256(fits, in);
    }
    return static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(fits)));
}

template <int V>
NATIVE_ACCEL_AVX2 inline void advance2(__m256i* doubled, std::uint32_t reject) {
    for (int v = 0; v < V; ++v) doubled[v] = step2(doubled[v]);
    if (reject == 0) return;
    const __m256i limit = splat2(reject);
    for (int v = 0; v < V; ++v) {
        __m256i rejected = at_least2(doubled[v], limit);
        while (_mm256_movemask_epi8(rejected) != 0) [[unlikely]] {
            doubled[v] = _mm256_blendv_epi8(doubled[v], step2(doubled[v]), rejected);
            rejected = _mm256_and_si256(rejected, at_least2(doubled[v], limit));
        }
    }
}

template <int V>
NATIVE_ACCEL_AVX2 void forward2(const SearchTables& tables, std::uint32_t first,
                                std::uint32_t count, std::uint64_t* flags) noexcept {
    constexpr std::uint32_t group = V * kLanes2;
    static_assert(group % 64 == 0 || group == 32);
    assert(tables.forward.applies && count > 0 && count <= group);
    const Tail tail = tail_of(tables);
    const std::uint32_t* reject_from = tables.forward.reject_from.data();
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    __m256i doubled[V];
    for (int v = 0; v < V; ++v) {
        const __m256i seeds = _mm256_add_epi32(splat2(first + v * kLanes2), lane);  // mod 2^32
        doubled[v] = _mm256_slli_epi32(seeds, 1);
    }
    for (std::uint32_t s = 0; s < tail.body; ++s) advance2<V>(doubled, reject_from[s]);
    __m256i j[3][V];
    for (auto& row : j) {
        for (auto& draw : row) draw = _mm256_setzero_si256();
    }
    for (std::uint32_t s = tail.body; s < tail.steps; ++s) {
        advance2<V>(doubled, reject_from[s]);
        for (int v = 0; v < V; ++v) j[tail.steps - 1 - s][v] = draw2(tables.fast_draws[s], doubled[v]);
    }
    constexpr std::uint32_t words = (group + 63) / 64;
    for (std::uint32_t w = 0; w < words; ++w) flags[w] = 0;
    for (int v = 0; v < V; ++v) {
        const std::uint64_t bits = tail_bits2(tables.forward, tail.n, j[0][v], j[1][v], j[2][v]);
        flags[v * kLanes2 / 64] |= bits << (v * kLanes2 % 64);
    }
    clear_past(flags, words, count);
}

NATIVE_ACCEL_AVX2 void jump2(const SearchTables& tables, std::uint32_t first, std::uint32_t count,
                             std::uint64_t* flags) noexcept {
    constexpr int V = 32;
    constexpr std::uint32_t group = V * kLanes2;
    assert(tables.forward.applies && count > 0 && count <= group);
    const ForwardTables& forward = tables.forward;
    const std::uint32_t n = tables.count;
    const int vectors = static_cast<int>((count + kLanes2 - 1) / kLanes2);
    const __m256i seeds = _mm256_add_epi32(splat2(first), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    auto start = [&](std::uint32_t t) NATIVE_ACCEL_AVX2 {  // output t of the first vector
        return _mm256_add_epi32(_mm256_mullo_epi32(seeds, splat2(forward.jump_mul[t - 1])),
                                splat2(forward.jump_add[t - 1]));
    };
    __m256i marked[V];
    for (auto& m : marked) m = _mm256_setzero_si256();
    for (const std::uint32_t t : forward.rejecting) {
        __m256i doubled = start(t);
        const __m256i next = splat2(forward.jump_mul[t - 1] * kLanes2);  // modulo 2^32
        const __m256i limit = splat2(forward.reject_from[t - 1]);
        for (int v = 0; v < vectors; ++v) {
            marked[v] = _mm256_or_si256(marked[v], at_least2(doubled, limit));
            doubled = _mm256_add_epi32(doubled, next);
        }
    }
    // Bound n draws from output n - 1, bound n - 1 from n - 2, bound n - 2 from n - 3.
    __m256i doubled[3];
    __m256i next[3];
    const int tails = n >= 4 ? 3 : static_cast<int>(n - 1);
    for (int i = 0; i < tails; ++i) {
        const std::uint32_t t = n - 1 - static_cast<std::uint32_t>(i);
        doubled[i] = start(t);
        next[i] = splat2(forward.jump_mul[t - 1] * kLanes2);
    }
    constexpr std::uint32_t words = group / 64;
    for (std::uint32_t w = 0; w < words; ++w) flags[w] = 0;
    for (int v = 0; v < vectors; ++v) {
        __m256i j[3] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
        for (int i = 0; i < tails; ++i) {
            j[i] = draw2(tables.fast_draws[n - 2 - static_cast<std::uint32_t>(i)], doubled[i]);
            doubled[i] = _mm256_add_epi32(doubled[i], next[i]);
        }
        const std::uint64_t bits =
            tail_bits2(forward, n, j[0], j[1], j[2]) |
            static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(marked[v])));
        flags[v * kLanes2 / 64] |= bits << (v * kLanes2 % 64);
    }
    clear_past(flags, words, count);
}

// ---- AVX-512 ---------------------------------------------------------------------------

constexpr int kLanes512 = 16;

NATIVE_ACCEL_AVX512 inline __m512i splat512(std::uint32_t value) {
    return _mm512_set1_epi32(static_cast<int>(value));
}

NATIVE_ACCEL_AVX512 inline __m512i step512(__m512i doubled) {
    return _mm512_add_epi32(_mm512_mullo_epi32(doubled, splat512(kRandMultiplier)),
                            splat512(kDoubledIncrement));
}

NATIVE_ACCEL_AVX512 inline __m512i draw512(const FastDraw& fast, __m512i doubled) {
    const __m512i v = _mm512_srli_epi32(doubled, kOutputShiftDoubled);
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(fast.narrow_shift));
    const __m512i q = _mm512_srl_epi32(_mm512_mullo_epi32(v, splat512(fast.narrow_multiplier)), shift);
    return _mm512_sub_epi32(v, _mm512_mullo_epi32(q, splat512(fast.bound)));
}

NATIVE_ACCEL_AVX512 inline __mmask16 tail_bits512(const ForwardTables& forward, std::uint32_t n,
                                                 __m512i j0, __m512i j1, __m512i j2) {
    const __m512i last = splat512(n - 1);
    const __m512i second = _mm512_mask_mov_epi32(j1, _mm512_cmpeq_epi32_mask(j0, j1), last);
    __m512i third = _mm512_mask_mov_epi32(j2, _mm512_cmpeq_epi32_mask(j1, j2), splat512(n - 2));
    third = _mm512_mask_mov_epi32(third, _mm512_cmpeq_epi32_mask(j0, third), last);
    const __m512i positions[3] = {j0, second, third};
    __mmask16 fits = 0xFFFF;
    for (int i = 0; i < 3; ++i) {
        const __m512i d = _mm512_sub_epi32(positions[i], splat512(forward.tail_low[i]));
        fits = _mm512_mask_cmple_epu32_mask(fits, d, splat512(forward.tail_width[i]));
    }
    return fits;
}

template <int V, bool kOnce>
NATIVE_ACCEL_AVX512 inline void advance512(__m512i* doubled, std::uint32_t reject) {
    for (int v = 0; v < V; ++v) doubled[v] = step512(doubled[v]);
    if (reject == 0) return;
    const __m512i limit = splat512(reject);
    for (int v = 0; v < V; ++v) {
        __mmask16 rejected = _mm512_cmpge_epu32_mask(doubled[v], limit);
        if constexpr (kOnce) {
            doubled[v] = _mm512_mask_mov_epi32(doubled[v], rejected, step512(doubled[v]));
            rejected = _mm512_mask_cmpge_epu32_mask(rejected, doubled[v], limit);
        }
        while (rejected != 0) [[unlikely]] {
            doubled[v] = _mm512_mask_mov_epi32(doubled[v], rejected, step512(doubled[v]));
            rejected = _mm512_mask_cmpge_epu32_mask(rejected, doubled[v], limit);
        }
    }
}

template <int V, bool kOnce>
NATIVE_ACCEL_AVX512 void forward512(const SearchTables& tables, std::uint32_t first,
                                    std::uint32_t count, std::uint64_t* flags) noexcept {
    constexpr std::uint32_t group = V * kLanes512;
    static_assert(group % 64 == 0);
    assert(tables.forward.applies && count > 0 && count <= group);
    const Tail tail = tail_of(tables);
    const std::uint32_t* reject_from = tables.forward.reject_from.data();
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    __m512i doubled[V];
    for (int v = 0; v < V; ++v) {
        const __m512i seeds = _mm512_add_epi32(splat512(first + v * kLanes512), lane);  // mod 2^32
        doubled[v] = _mm512_slli_epi32(seeds, 1);
    }
    for (std::uint32_t s = 0; s < tail.body; ++s) advance512<V, kOnce>(doubled, reject_from[s]);
    __m512i j[3][V];
    for (auto& row : j) {
        for (auto& draw : row) draw = _mm512_setzero_si512();
    }
    for (std::uint32_t s = tail.body; s < tail.steps; ++s) {
        advance512<V, kOnce>(doubled, reject_from[s]);
        for (int v = 0; v < V; ++v) j[tail.steps - 1 - s][v] = draw512(tables.fast_draws[s], doubled[v]);
    }
    constexpr std::uint32_t words = group / 64;
    for (std::uint32_t w = 0; w < words; ++w) flags[w] = 0;
    for (int v = 0; v < V; ++v) {
        const std::uint64_t bits = tail_bits512(tables.forward, tail.n, j[0][v], j[1][v], j[2][v]);
        flags[v * kLanes512 / 64] |= bits << (v * kLanes512 % 64);
    }
    clear_past(flags, words, count);
}

NATIVE_ACCEL_AVX512 void jump512(const SearchTables& tables, std::uint32_t first,
                                 std::uint32_t count, std::uint64_t* flags) noexcept {
    constexpr int V = 32;
    constexpr std::uint32_t group = V * kLanes512;
    static_assert(group <= kMaxForwardGroup);
    assert(tables.forward.applies && count > 0 && count <= group);
    const ForwardTables& forward = tables.forward;
    const std::uint32_t n = tables.count;
    const int vectors = static_cast<int>((count + kLanes512 - 1) / kLanes512);
    const __m512i seeds = _mm512_add_epi32(
        splat512(first), _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    auto start = [&](std::uint32_t t) NATIVE_ACCEL_AVX512 {  // output t of the first vector
        return _mm512_add_epi32(_mm512_mullo_epi32(seeds, splat512(forward.jump_mul[t - 1])),
                                splat512(forward.jump_add[t - 1]));
    };
    __mmask16 marked[V] = {};
    for (const std::uint32_t t : forward.rejecting) {
        __m512i doubled = start(t);
        const __m512i next = splat512(forward.jump_mul[t - 1] * kLanes512);  // modulo 2^32
        const __m512i limit = splat512(forward.reject_from[t - 1]);
        for (int v = 0; v < vectors; ++v) {
            marked[v] |= _mm512_cmpge_epu32_mask(doubled, limit);
            doubled = _mm512_add_epi32(doubled, next);
        }
    }
    __m512i doubled[3];
    __m512i next[3];
    const int tails = n >= 4 ? 3 : static_cast<int>(n - 1);
    for (int i = 0; i < tails; ++i) {
        const std::uint32_t t = n - 1 - static_cast<std::uint32_t>(i);
        doubled[i] = start(t);
        next[i] = splat512(forward.jump_mul[t - 1] * kLanes512);
    }
    constexpr std::uint32_t words = group / 64;
    for (std::uint32_t w = 0; w < words; ++w) flags[w] = 0;
    for (int v = 0; v < vectors; ++v) {
        __m512i j[3] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512()};
        for (int i = 0; i < tails; ++i) {
            j[i] = draw512(tables.fast_draws[n - 2 - static_cast<std::uint32_t>(i)], doubled[i]);
            doubled[i] = _mm512_add_epi32(doubled[i], next[i]);
        }
        const std::uint64_t bits = tail_bits512(forward, n, j[0], j[1], j[2]) | marked[v];
        flags[v * kLanes512 / 64] |= bits << (v * kLanes512 % 64);
    }
    clear_past(flags, words, count);
}

}  // namespace

bool cpu_has_avx2() noexcept { return __builtin_cpu_supports("avx2"); }
bool cpu_has_avx512() noexcept {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f");
}

void forward_avx2_x4(const SearchTables& t, std::uint32_t f, std::uint32_t c, std::uint64_t* o) noexcept {
    forward2<4>(t, f, c, o);
}
void forward_avx2_x8(const SearchTables& t, std::uint32_t f, std::uint32_t c, std::uint64_t* o) noexcept {
    forward2<8>(t, f, c, o);
}
void forward_avx512_x4(const SearchTables& t, std::uint32_t f, std::uint32_t c, std::uint64_t* o) noexcept {
    forward512<4, false>(t, f, c, o);
}
void forward_avx512_x8(const SearchTables& t, std::uint32_t f, std::uint32_t c, std::uint64_t* o) noexcept {
    forward512<8, false>(t, f, c, o);
}
void forward_avx512_x8_once(const SearchTables& t, std::uint32_t f, std::uint32_t c,
                            std::uint64_t* o) noexcept {
    forward512<8, true>(t, f, c, o);
}
void jump_avx2(const SearchTables& t, std::uint32_t f, std::uint32_t c, std::uint64_t* o) noexcept {
    jump2(t, f, c, o);
}
void jump_avx512(const SearchTables& t, std::uint32_t f, std::uint32_t c, std::uint64_t* o) noexcept {
    jump512(t, f, c, o);
}

#else

bool cpu_has_avx2() noexcept { return false; }
bool cpu_has_avx512() noexcept { return false; }

// Never chosen: the CPU checks above are false.
void forward_avx2_x4(const SearchTables&, std::uint32_t, std::uint32_t, std::uint64_t*) noexcept {}
void forward_avx2_x8(const SearchTables&, std::uint32_t, std::uint32_t, std::uint64_t*) noexcept {}
void forward_avx512_x4(const SearchTables&, std::uint32_t, std::uint32_t, std::uint64_t*) noexcept {}
void forward_avx512_x8(const SearchTables&, std::uint32_t, std::uint32_t, std::uint64_t*) noexcept {}
void forward_avx512_x8_once(const SearchTables&, std::uint32_t, std::uint32_t,
                            std::uint64_t*) noexcept {}
void jump_avx2(const SearchTables&, std::uint32_t, std::uint32_t, std::uint64_t*) noexcept {}
void jump_avx512(const SearchTables&, std::uint32_t, std::uint32_t, std::uint64_t*) noexcept {}

#endif

}  // namespace native_accel::shuffle::detail
