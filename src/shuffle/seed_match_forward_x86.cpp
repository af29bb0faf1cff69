// The forward filter's vector kernels for x86-64: consecutive seeds in lock step, one seed
// per 32-bit lane, eight lanes a vector on AVX2 and sixteen on AVX-512.
//
// Forward kernels run each lane's generator through every output. Its steps form one chain
// of dependent multiplies per lane, so eight vectors are kept in flight to cover the
// multiplier's latency (four measured 25-45% slower). A rejected candidate is rare per lane
// (for bound b a chance of (32768 mod b) / 32768) and makes its vector loop, re-stepping
// just its rejected lanes. The AVX2 kernel keeps its states biased by 2^31 so that one
// signed compare tests a rejection, and branches once per step for all its vectors.
//
// Walk kernels run no generator for the seeds their caller left unmarked: the last three
// draws come from three jump-ahead states, each advanced by one add per vector of seeds
// (see seed_match_forward.hpp). The marked seeds are gathered into a list and run through
// the forward kernel from it, whole vectors at a time; the larger the call, the fuller
// those vectors.
//
// Everything here is compiled for its instruction set through function attributes and
// chosen at run time, so the module still loads on any x86-64 CPU; other targets and
// compilers get stubs that are never chosen.
#include "shuffle/seed_match_forward.hpp"
#include "shuffle/seed_match_walk.hpp"

#include <array>
#include <cassert>
#include <utility>

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
#define NATIVE_ACCEL_AVX512 __attribute__((target("avx2,avx512f,avx512bw")))

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

// What a walk kernel needs of tail draw i (bound n - i, from output n - 1 - i), the same for
// every vector width: the output's jump-ahead, its step per seed, and the draw's reduction
// constants. A draw that does not exist (n < 4) has every value 0 and draws 0.
struct TailDraw {
    std::uint32_t mul;         // doubled state of seed s: mul * s + add (modulo 2^32)
    std::uint32_t add;
    std::uint32_t multiplier;  // FastDraw::narrow_multiplier
    std::uint32_t bound;
    int shift;                 // FastDraw::narrow_shift - 16, for the 16-bit high product
};

TailDraw tail_draw(const SearchTables& tables, std::uint32_t i) noexcept {
    const std::uint32_t n = tables.count;
    if (i + 1 >= n) return {};
    const std::uint32_t t = n - 1 - i;
    const FastDraw& fast = tables.fast_draws[t - 1];
    return {tables.forward.jump_mul[t - 1], tables.forward.jump_add[t - 1],
            fast.narrow_multiplier, fast.bound, static_cast<int>(fast.narrow_shift - 16)};
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

// The draw from a doubled state. The output and the multiplier fit 16 bits, so the 16-bit
// multiplies do: the low half of each 32-bit lane gets (v * m) >> 16, the high half
// 0 * 0; q * bound < 2^15 fits the 16-bit product.
NATIVE_ACCEL_AVX2 inline __m256i draw2(const FastDraw& fast, __m256i doubled) {
    const __m256i v = _mm256_srli_epi32(doubled, kOutputShiftDoubled);
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(fast.narrow_shift - 16));
    const __m256i q = _mm256_srl_epi32(_mm256_mulhi_epu16(v, splat2(fast.narrow_multiplier)), shift);
    return _mm256_sub_epi32(v, _mm256_mullo_epi16(q, splat2(fast.bound)));
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

// Biased states: y + 2^31 in place of the doubled state y. The step keeps the bias (the
// multiplier is odd, so a * 2^31 = 2^31 modulo 2^32), and AVX2, which compares signed only,
// tells y >= limit from y + 2^31 > (limit - 1) + 2^31 read as signed, in one compare.
constexpr std::uint32_t kBias = 0x80000000u;

template <int V>
NATIVE_ACCEL_AVX2 inline void advance2(__m256i* biased, std::uint32_t reject) {
    for (int v = 0; v < V; ++v) biased[v] = step2(biased[v]);
    if (reject == 0) return;
    // One branch per step for all V vectors: a rejection anywhere is rare.
    const __m256i below = splat2((reject - 1) ^ kBias);
    __m256i rejected[V];
    __m256i any = _mm256_setzero_si256();
    for (int v = 0; v < V; ++v) {
        rejected[v] = _mm256_cmpgt_epi32(biased[v], below);
        any = _mm256_or_si256(any, rejected[v]);
    }
    if (_mm256_testz_si256(any, any)) return;
    for (int v = 0; v < V; ++v) {
        while (_mm256_movemask_epi8(rejected[v]) != 0) {
            biased[v] = _mm256_blendv_epi8(biased[v], step2(biased[v]), rejected[v]);
            rejected[v] = _mm256_and_si256(rejected[v], _mm256_cmpgt_epi32(biased[v], below));
        }
    }
}

// Runs V vectors of biased seed states through the shuffle's steps; passed[v] gets the
// bits of the lanes whose last three items end in their ranges.
template <int V>
NATIVE_ACCEL_AVX2 inline void forward2_lanes(const SearchTables& tables, __m256i* biased,
                                             std::uint32_t* passed) {
    const Tail tail = tail_of(tables);
    const std::uint32_t* reject_from = tables.forward.reject_from.data();
    const __m256i bias = splat2(kBias);
    for (std::uint32_t s = 0; s < tail.body; ++s) advance2<V>(biased, reject_from[s]);
    __m256i j[3][V];
    for (auto& row : j) {
        for (auto& draw : row) draw = _mm256_setzero_si256();
    }
    for (std::uint32_t s = tail.body; s < tail.steps; ++s) {
        advance2<V>(biased, reject_from[s]);
        for (int v = 0; v < V; ++v) {
            j[tail.steps - 1 - s][v] = draw2(tables.fast_draws[s], _mm256_xor_si256(biased[v], bias));
        }
    }
    for (int v = 0; v < V; ++v) passed[v] = tail_bits2(tables.forward, tail.n, j[0][v], j[1][v], j[2][v]);
}

template <int V>
NATIVE_ACCEL_AVX2 void forward2(const SearchTables& tables, std::uint32_t first,
                                std::uint32_t count, std::uint64_t* flags) noexcept {
    constexpr std::uint32_t group = V * kLanes2;
    static_assert(group % 64 == 0);
    assert(tables.forward.applies && count > 0 && count <= group);
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i bias = splat2(kBias);
    __m256i doubled[V];
    for (int v = 0; v < V; ++v) {
        const __m256i seeds = _mm256_add_epi32(splat2(first + v * kLanes2), lane);  // mod 2^32
        doubled[v] = _mm256_xor_si256(_mm256_slli_epi32(seeds, 1), bias);
    }
    std::uint32_t passed[V];
    forward2_lanes<V>(tables, doubled, passed);
    constexpr std::uint32_t words = (group + 63) / 64;
    for (std::uint32_t w = 0; w < words; ++w) flags[w] = 0;
    for (int v = 0; v < V; ++v) flags[v * kLanes2 / 64] |= std::uint64_t{passed[v]} << (v * kLanes2 % 64);
    clear_past(flags, words, count);
}

// As forward512_batch: the seeds first + listed[k] through the biased forward kernel.
template <int V>
NATIVE_ACCEL_AVX2 void forward2_batch(const SearchTables& tables, std::uint32_t first,
                                      const std::uint32_t* listed, std::uint32_t count,
                                      std::uint64_t* flags) {
    __m256i doubled[V];
    for (int v = 0; v < V; ++v) {
        const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(listed + v * kLanes2));
        const __m256i seeds = _mm256_add_epi32(splat2(first), at);  // modulo 2^32
        doubled[v] = _mm256_xor_si256(_mm256_slli_epi32(seeds, 1), splat2(kBias));
    }
    std::uint32_t passed[V];
    forward2_lanes<V>(tables, doubled, passed);
    for (int v = 0; v < V; ++v) {
        for (std::uint32_t bits = passed[v]; bits != 0; bits &= bits - 1) {
            const auto lane = static_cast<std::uint32_t>(v * kLanes2 + __builtin_ctz(bits));
            if (lane < count) flags[listed[lane] / 64] |= std::uint64_t{1} << (listed[lane] % 64);
        }
    }
}

// Every listed seed (listed has room for 8 * kLanes2 entries past count) in batches.
NATIVE_ACCEL_AVX2 void forward2_listed(const SearchTables& tables, std::uint32_t first,
                                       std::uint32_t* listed, std::uint32_t count,
                                       std::uint64_t* flags) {
    if (count == 0) return;
    for (std::uint32_t k = count; k < count + 8 * kLanes2; ++k) listed[k] = listed[0];
    for (std::uint32_t done = 0; done < count;) {
        const std::uint32_t left = count - done;
        if (left > 4 * kLanes2) {
            forward2_batch<8>(tables, first, listed + done, left, flags);
            done += 8 * kLanes2;
        } else if (left > kLanes2) {
            forward2_batch<4>(tables, first, listed + done, left, flags);
            done += 4 * kLanes2;
        } else {
            forward2_batch<1>(tables, first, listed + done, left, flags);
            done += kLanes2;
        }
    }
}

// The last three draws of a walk kernel (bound n from output n - 1, n - 1 from n - 2, n - 2
// from n - 3), each with its state, its step from one vector of seeds to the next and its
// reduction constants, all kept in registers across the vectors. A draw that does not
// exist (n < 4) has every constant 0 and draws 0.
struct JumpTail2 {
    __m256i doubled[3];
    __m256i next[3];
    __m256i multiplier[3];
    __m256i bound[3];
    __m128i shift[3];
};

NATIVE_ACCEL_AVX2 inline JumpTail2 jump_tail2(const SearchTables& tables, __m256i seeds) {
    JumpTail2 tail;
    for (std::uint32_t i = 0; i < 3; ++i) {
        const TailDraw draw = tail_draw(tables, i);
        tail.doubled[i] = _mm256_add_epi32(_mm256_mullo_epi32(seeds, splat2(draw.mul)), splat2(draw.add));
        tail.next[i] = splat2(draw.mul * kLanes2);  // modulo 2^32
        tail.multiplier[i] = splat2(draw.multiplier);
        tail.bound[i] = splat2(draw.bound);
        tail.shift[i] = _mm_cvtsi32_si128(draw.shift);
    }
    return tail;
}

// The three draws of the current vector of seeds (as draw2), then on to the next vector.
NATIVE_ACCEL_AVX2 inline void next_draws2(JumpTail2& tail, __m256i* j) {
    for (int i = 0; i < 3; ++i) {
        const __m256i v = _mm256_srli_epi32(tail.doubled[i], kOutputShiftDoubled);
        const __m256i q = _mm256_srl_epi32(_mm256_mulhi_epu16(v, tail.multiplier[i]), tail.shift[i]);
        j[i] = _mm256_sub_epi32(v, _mm256_mullo_epi16(q, tail.bound[i]));
        tail.doubled[i] = _mm256_add_epi32(tail.doubled[i], tail.next[i]);
    }
}

// The walk kernel: the tail draws of the unmarked seeds, the marked ones through the
// forward kernel. Eight vectors make a word of flags, kept in a register until it is whole.
NATIVE_ACCEL_AVX2 void walk2(const SearchTables& tables, std::uint32_t first, std::uint32_t count,
                             const std::uint64_t* marked, std::uint64_t* flags) noexcept {
    constexpr std::uint32_t group = kMaxForwardGroup;
    assert(tables.forward.applies && count > 0 && count <= group);
    const ForwardTables& forward = tables.forward;
    const std::uint32_t n = tables.count;
    JumpTail2 tail = jump_tail2(tables, _mm256_add_epi32(splat2(first), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
    const std::uint32_t used = (count + 63) / 64;
    std::uint32_t listed[group + 8 * kLanes2];  // the marked seeds, as offsets from first
    std::uint32_t listed_count = 0;
    for (std::uint32_t w = 0; w < used; ++w) {
        std::uint64_t passed = 0;
        for (int q = 0; q < 64 / kLanes2; ++q) {
            __m256i j[3];
            next_draws2(tail, j);
            passed |= std::uint64_t{tail_bits2(forward, n, j[0], j[1], j[2])} << (q * kLanes2);
        }
        const std::uint64_t in = seeds_in_word(count, w);
        flags[w] = passed & ~marked[w] & in;
        list_bits(marked[w] & in, w, listed, listed_count);
    }
    for (std::uint32_t w = used; w < group / 64; ++w) flags[w] = 0;
    forward2_listed(tables, first, listed, listed_count, flags);
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

// As draw2, sixteen lanes.
NATIVE_ACCEL_AVX512 inline __m512i draw512(const FastDraw& fast, __m512i doubled) {
    const __m512i v = _mm512_srli_epi32(doubled, kOutputShiftDoubled);
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(fast.narrow_shift - 16));
    const __m512i q = _mm512_srl_epi32(_mm512_mulhi_epu16(v, splat512(fast.narrow_multiplier)), shift);
    return _mm512_sub_epi32(v, _mm512_mullo_epi16(q, splat512(fast.bound)));
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

// A rejected candidate makes only its vector loop, re-stepping just its rejected lanes.
// (Re-stepping once without a branch, or one branch per step for all vectors, measured
// slower.)
template <int V>
NATIVE_ACCEL_AVX512 inline void advance512(__m512i* doubled, std::uint32_t reject) {
    for (int v = 0; v < V; ++v) doubled[v] = step512(doubled[v]);
    if (reject == 0) return;
    const __m512i limit = splat512(reject);
    for (int v = 0; v < V; ++v) {
        __mmask16 rejected = _mm512_cmpge_epu32_mask(doubled[v], limit);
        while (rejected != 0) [[unlikely]] {
            doubled[v] = _mm512_mask_mov_epi32(doubled[v], rejected, step512(doubled[v]));
            rejected = _mm512_mask_cmpge_epu32_mask(rejected, doubled[v], limit);
        }
    }
}

// Runs the V vectors of doubled seed states through the shuffle's steps; passed[v] gets the
// lanes whose last three items end inside their ranges.
template <int V>
NATIVE_ACCEL_AVX512 inline void forward512_lanes(const SearchTables& tables, __m512i* doubled,
                                                 __mmask16* passed) {
    const Tail tail = tail_of(tables);
    const std::uint32_t* reject_from = tables.forward.reject_from.data();
    for (std::uint32_t s = 0; s < tail.body; ++s) advance512<V>(doubled, reject_from[s]);
    __m512i j[3][V];
    for (auto& row : j) {
        for (auto& draw : row) draw = _mm512_setzero_si512();
    }
    for (std::uint32_t s = tail.body; s < tail.steps; ++s) {
        advance512<V>(doubled, reject_from[s]);
        for (int v = 0; v < V; ++v) j[tail.steps - 1 - s][v] = draw512(tables.fast_draws[s], doubled[v]);
    }
    for (int v = 0; v < V; ++v) passed[v] = tail_bits512(tables.forward, tail.n, j[0][v], j[1][v], j[2][v]);
}

NATIVE_ACCEL_AVX512 inline __m512i lane_index512() {
    return _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

template <int V>
NATIVE_ACCEL_AVX512 void forward512(const SearchTables& tables, std::uint32_t first,
                                    std::uint32_t count, std::uint64_t* flags) noexcept {
    constexpr std::uint32_t group = V * kLanes512;
    static_assert(group % 64 == 0);
    assert(tables.forward.applies && count > 0 && count <= group);
    __m512i doubled[V];
    for (int v = 0; v < V; ++v) {
        const __m512i seeds = _mm512_add_epi32(splat512(first + v * kLanes512), lane_index512());  // mod 2^32
        doubled[v] = _mm512_slli_epi32(seeds, 1);
    }
    __mmask16 passed[V];
    forward512_lanes<V>(tables, doubled, passed);
    constexpr std::uint32_t words = group / 64;
    for (std::uint32_t w = 0; w < words; ++w) flags[w] = 0;
    for (int v = 0; v < V; ++v) flags[v * kLanes512 / 64] |= std::uint64_t{passed[v]} << (v * kLanes512 % 64);
    clear_past(flags, words, count);
}

// The seeds first + listed[0], first + listed[1], ... (listed has room for kLanes512 * 8
// entries past `count`) through the forward kernel; flags get the bits of those that pass.
// A walk kernel's marked seeds, gathered, so that a vector's lanes stay busy.
template <int V>
NATIVE_ACCEL_AVX512 void forward512_batch(const SearchTables& tables, std::uint32_t first,
                                          const std::uint32_t* listed, std::uint32_t count,
                                          std::uint64_t* flags) {
    __m512i doubled[V];
    for (int v = 0; v < V; ++v) {
        const __m512i at = _mm512_loadu_si512(listed + v * kLanes512);
        doubled[v] = _mm512_slli_epi32(_mm512_add_epi32(splat512(first), at), 1);  // mod 2^32
    }
    __mmask16 passed[V];
    forward512_lanes<V>(tables, doubled, passed);
    for (int v = 0; v < V; ++v) {
        for (unsigned bits = passed[v]; bits != 0; bits &= bits - 1) {
            const auto lane = static_cast<std::uint32_t>(v * kLanes512 + __builtin_ctz(bits));
            if (lane < count) flags[listed[lane] / 64] |= std::uint64_t{1} << (listed[lane] % 64);
        }
    }
}

// Every listed seed through the forward kernel, in batches of up to four vectors.
NATIVE_ACCEL_AVX512 void forward512_listed(const SearchTables& tables, std::uint32_t first,
                                           std::uint32_t* listed, std::uint32_t count,
                                           std::uint64_t* flags) {
    if (count == 0) return;
    // Padding lanes repeat the first seed; their bits are ignored.
    for (std::uint32_t k = count; k < count + 8 * kLanes512; ++k) listed[k] = listed[0];
    for (std::uint32_t done = 0; done < count;) {
        const std::uint32_t left = count - done;
        if (left > 4 * kLanes512) {
            forward512_batch<8>(tables, first, listed + done, left, flags);
            done += 8 * kLanes512;
        } else if (left > 2 * kLanes512) {
            forward512_batch<4>(tables, first, listed + done, left, flags);
            done += 4 * kLanes512;
        } else if (left > kLanes512) {
            forward512_batch<2>(tables, first, listed + done, left, flags);
            done += 2 * kLanes512;
        } else {
            forward512_batch<1>(tables, first, listed + done, left, flags);
            done += kLanes512;
        }
    }
}

// As JumpTail2, sixteen lanes.
struct JumpTail512 {
    __m512i doubled[3];
    __m512i next[3];
    __m512i multiplier[3];
    __m512i bound[3];
    __m128i shift[3];
};

NATIVE_ACCEL_AVX512 inline JumpTail512 jump_tail512(const SearchTables& tables, __m512i seeds) {
    JumpTail512 tail;
    for (std::uint32_t i = 0; i < 3; ++i) {
        const TailDraw draw = tail_draw(tables, i);
        tail.doubled[i] = _mm512_add_epi32(_mm512_mullo_epi32(seeds, splat512(draw.mul)), splat512(draw.add));
        tail.next[i] = splat512(draw.mul * kLanes512);  // modulo 2^32
        tail.multiplier[i] = splat512(draw.multiplier);
        tail.bound[i] = splat512(draw.bound);
        tail.shift[i] = _mm_cvtsi32_si128(draw.shift);
    }
    return tail;
}

NATIVE_ACCEL_AVX512 inline void next_draws512(JumpTail512& tail, __m512i* j) {
    for (int i = 0; i < 3; ++i) {
        const __m512i v = _mm512_srli_epi32(tail.doubled[i], kOutputShiftDoubled);
        const __m512i q = _mm512_srl_epi32(_mm512_mulhi_epu16(v, tail.multiplier[i]), tail.shift[i]);
        j[i] = _mm512_sub_epi32(v, _mm512_mullo_epi16(q, tail.bound[i]));
        tail.doubled[i] = _mm512_add_epi32(tail.doubled[i], tail.next[i]);
    }
}

// The lanes of vector v that hold one of the `count` seeds.
inline __mmask16 lanes_in(std::uint32_t count, int v) noexcept {
    const std::uint32_t from = static_cast<std::uint32_t>(v) * kLanes512;
    if (count >= from + kLanes512) return 0xFFFF;
    return static_cast<__mmask16>((1u << (count - from)) - 1);
}

// Appends the offsets of vector v's `lanes` to `listed`.
NATIVE_ACCEL_AVX512 inline void note_marked(std::uint32_t* listed, std::uint32_t& marked,
                                            __mmask16 lanes, int v) {
    if (lanes == 0) return;
    const __m512i offsets = _mm512_add_epi32(splat512(static_cast<std::uint32_t>(v) * kLanes512),
                                             lane_index512());
    _mm512_mask_compressstoreu_epi32(listed + marked, lanes, offsets);
    marked += static_cast<std::uint32_t>(__builtin_popcount(lanes));
}

// As walk2, sixteen lanes: four vectors a word of flags.
NATIVE_ACCEL_AVX512 void walk512(const SearchTables& tables, std::uint32_t first,
                                 std::uint32_t count, const std::uint64_t* marked,
                                 std::uint64_t* flags) noexcept {
    constexpr std::uint32_t group = kMaxForwardGroup;
    assert(tables.forward.applies && count > 0 && count <= group);
    const ForwardTables& forward = tables.forward;
    const std::uint32_t n = tables.count;
    JumpTail512 tail = jump_tail512(tables, _mm512_add_epi32(splat512(first), lane_index512()));
    const std::uint32_t used = (count + 63) / 64;
    std::uint32_t listed[group + 8 * kLanes512];  // the marked seeds, as offsets from first
    std::uint32_t listed_count = 0;
    for (std::uint32_t w = 0; w < used; ++w) {
        std::uint64_t passed = 0;
        for (int q = 0; q < 64 / kLanes512; ++q) {
            __m512i j[3];
            next_draws512(tail, j);
            passed |= std::uint64_t{tail_bits512(forward, n, j[0], j[1], j[2])} << (q * kLanes512);
        }
        const std::uint64_t in = seeds_in_word(count, w);
        const std::uint64_t lanes = marked[w] & in;
        flags[w] = passed & ~lanes & in;
        if (lanes == 0) continue;
        for (int q = 0; q < 64 / kLanes512; ++q) {
            note_marked(listed, listed_count, static_cast<__mmask16>(lanes >> (q * kLanes512)),
                        static_cast<int>(w) * 4 + q);
        }
    }
    for (std::uint32_t w = used; w < group / 64; ++w) flags[w] = 0;
    forward512_listed(tables, first, listed, listed_count, flags);
}

// The band walk's steps, eight bands a vector in 64-bit lanes: a lane steps while its next
// visit comes before `to`, and the vector loops while any lane does. The walk orders its
// bands longest first, so that a vector's lanes take similar numbers of steps.
NATIVE_ACCEL_AVX512 void step_bands512(BandArrays& bands, std::uint64_t to, std::uint64_t base,
                                       std::uint64_t* marked) noexcept {
    const std::size_t count = bands.next.size();
    const __m512i limit = _mm512_set1_epi64(static_cast<long long>(to));
    const __m512i origin = _mm512_set1_epi64(static_cast<long long>(base));
    for (std::size_t b = 0; b < count; b += 8) {
        const auto valid = static_cast<__mmask8>(count - b >= 8 ? 0xFF : (1u << (count - b)) - 1);
        auto load = [valid, b](const std::vector<std::uint64_t>& field) NATIVE_ACCEL_AVX512 {
            return _mm512_maskz_loadu_epi64(valid, field.data() + b);
        };
        __m512i next = load(bands.next);
        __mmask8 active = _mm512_mask_cmplt_epu64_mask(valid, next, limit);
        if (active == 0) continue;
        __m512i offset = load(bands.offset);
        const __m512i length = load(bands.length);
        const __m512i forward = load(bands.forward);
        const __m512i backward = load(bands.backward);
        const __m512i gap1 = load(bands.gap1);
        const __m512i gap2 = load(bands.gap2);
        const __m512i both = _mm512_add_epi64(gap1, gap2);
        do {
            if (marked != nullptr) {
                std::uint64_t at[8];
                _mm512_mask_compressstoreu_epi64(at, active, _mm512_sub_epi64(next, origin));
                for (int k = 0, visits = __builtin_popcount(active); k < visits; ++k) {
                    marked[at[k] / 64] |= std::uint64_t{1} << (at[k] % 64);
                }
            }
            // As visit_after: g1 and r + f ahead; g2 and r - b back; else g1 + g2, r + f - b.
            const __mmask8 ahead = _mm512_cmplt_epu64_mask(_mm512_add_epi64(offset, forward), length);
            const __mmask8 back = _mm512_cmpge_epu64_mask(offset, backward);
            __m512i turns = _mm512_mask_mov_epi64(both, back, gap2);
            turns = _mm512_mask_mov_epi64(turns, ahead, gap1);
            __m512i moved = _mm512_mask_add_epi64(offset, static_cast<__mmask8>(ahead | ~back), offset, forward);
            moved = _mm512_mask_sub_epi64(moved, static_cast<__mmask8>(~ahead), moved, backward);
            next = _mm512_mask_add_epi64(next, active, next, turns);
            offset = _mm512_mask_mov_epi64(offset, active, moved);
            active = _mm512_mask_cmplt_epu64_mask(active, next, limit);
        } while (active != 0);
        _mm512_mask_storeu_epi64(bands.next.data() + b, valid, next);
        _mm512_mask_storeu_epi64(bands.offset.data() + b, valid, offset);
    }
}

}  // namespace

bool cpu_has_avx2() noexcept { return __builtin_cpu_supports("avx2"); }
bool cpu_has_avx512() noexcept {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw");
}

void forward_avx2(const SearchTables& t, std::uint32_t f, std::uint32_t c, std::uint64_t* o) noexcept {
    forward2<8>(t, f, c, o);
}
void forward_avx512(const SearchTables& t, std::uint32_t f, std::uint32_t c, std::uint64_t* o) noexcept {
    forward512<8>(t, f, c, o);
}
void walk_avx2(const SearchTables& t, std::uint32_t f, std::uint32_t c, const std::uint64_t* m,
               std::uint64_t* o) noexcept {
    walk2(t, f, c, m, o);
}
void walk_avx512(const SearchTables& t, std::uint32_t f, std::uint32_t c, const std::uint64_t* m,
                 std::uint64_t* o) noexcept {
    walk512(t, f, c, m, o);
}
void step_bands_avx512(BandArrays& bands, std::uint64_t to, std::uint64_t base,
                       std::uint64_t* marked) noexcept {
    step_bands512(bands, to, base, marked);
}

#else

bool cpu_has_avx2() noexcept { return false; }
bool cpu_has_avx512() noexcept { return false; }

// Never chosen: the CPU checks above are false.
void forward_avx2(const SearchTables&, std::uint32_t, std::uint32_t, std::uint64_t*) noexcept {}
void forward_avx512(const SearchTables&, std::uint32_t, std::uint32_t, std::uint64_t*) noexcept {}
void walk_avx2(const SearchTables&, std::uint32_t, std::uint32_t, const std::uint64_t*,
               std::uint64_t*) noexcept {}
void walk_avx512(const SearchTables&, std::uint32_t, std::uint32_t, const std::uint64_t*,
                 std::uint64_t*) noexcept {}
void step_bands_avx512(BandArrays& bands, std::uint64_t to, std::uint64_t base,
                       std::uint64_t* marked) noexcept {
    step_bands(bands, to, base, marked);
}

#endif

}  // namespace native_accel::shuffle::detail
