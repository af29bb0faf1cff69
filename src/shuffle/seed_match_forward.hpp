// The forward filter of the match test: three draws decide almost every seed.
//
// The final position of item k depends only on the draws of bounds k + 1 .. n: item k sits
// at position k until the step of bound k + 1 moves it to j_(k+1); after that it moves only
// when a later draw j_i equals its position, to i - 1. So, from the last three draws,
//   item n - 1 ends at j_n;
//   item n - 2 ends at j_(n-1), or at n - 1 if j_n equals that;
//   item n - 3 ends at j_(n-2), then n - 2 if j_(n-1) equals it, then n - 1 if j_n does.
// (A bound of 1 draws 0 without an output, so n = 2 and n = 3 need no case of their own.)
//
// Where the positive sizes sum below 2^32, a matching seed lays the items out at
// non-decreasing offsets along the positions, which bounds where each item can end
// (SearchTables::position_low / position_high). A seed whose last three items end outside
// their ranges cannot match; the others (about one in n^3 for distinct offsets) go to the
// reference test, which alone decides.
//
// Each seed's generator still runs forward through all its outputs, rejected candidates
// included, but no draw is reduced or stored except the last three, and bounds that reject
// nothing need no compare.
//
// Kernels:
//   * scalar: one seed at a time, every CPU;
//   * avx2, avx512, neon: consecutive seeds in lock step, one per 32-bit lane, several vectors in
//     flight to hide the multiplier's latency; compiled for their instruction sets through
//     function attributes and chosen at run time;
//   * walk (scalar, neon, avx2, avx512): no generator run for most seeds. Under the hypothesis
//     that no candidate of a seed is rejected, output t comes from the doubled state
//     jump_mul[t - 1] * s + jump_add[t - 1], and consecutive seeds differ by jump_mul: a
//     vector of seeds advances each of the last three outputs' states by one add and takes
//     its draws from them. The hypothesis fails for the seeds at which one of the outputs
//     falls in its bound's rejection band; the caller marks those by walking each band's
//     visits (seed_match_walk.hpp), and they go to the forward kernel. Marked seeds are
//     about 1 in 500 at 16 items, 1 in 30 at 64, 2 in 5 at 256; called through `flag`, a
//     walk kernel marks them by one compare per seed and band.
#pragma once

#include "shuffle/seed_match.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <span>

namespace native_accel::shuffle {

inline constexpr std::uint32_t kDoubledIncrement = 2 * kRandIncrement;
inline constexpr std::uint32_t kOutputShiftDoubled = 17;  // output = doubled state >> 17
inline constexpr std::uint32_t kMaxForwardGroup = 2048;   // seeds per kernel call, at most
// Seeds a matcher's walk marks at once, for several walk kernel calls: each band's walk
// then leaves its loop once a span. Also the seeds of one scan call on that path.
inline constexpr std::uint32_t kWalkSpan = 4 * kMaxForwardGroup;
// The search uses a walk kernel up to this many items and a forward one above: the marked
// seeds, which take the forward kernel, grow with n (bench/match_bench measures both; the
// vector kernels cross near 512 items, the scalar ones near 768).
inline constexpr std::uint32_t kWalkItemsAtMost = 480;

struct ForwardKernel {
    const char* name;
    std::uint32_t group;  // seeds per call, at most (up to kMaxForwardGroup)
    bool (*available)() noexcept;
    // Flags the seeds first .. first + count - 1 (0 < count <= group, no wrap past
    // 2^32 - 1) that may match: bit k % 64 of flags[k / 64] for seed first + k. Every
    // matching seed is flagged; bits from count on are clear.
    void (*flag)(const SearchTables& tables, std::uint32_t first, std::uint32_t count,
                 std::uint64_t* flags) noexcept;
    // Walk kernels only (null for the others): as flag, with the marks given, as
    // BandWalk::mark or mark_by_compare writes them for the same seeds.
    void (*flag_marked)(const SearchTables& tables, std::uint32_t first, std::uint32_t count,
                        const std::uint64_t* marked, std::uint64_t* flags) noexcept = nullptr;
};

// Every kernel this build has, available here or not, scalar first.
std::span<const ForwardKernel> forward_kernels() noexcept;
// The kernel the search uses for these tables on this CPU (forward.applies must hold).
const ForwardKernel& best_forward_kernel(const SearchTables& tables) noexcept;

namespace detail {

// Builds tables.forward, position_low and position_high from the rest of the tables.
void build_forward_tables(SearchTables& tables);

// A walk kernel's word w of flags: the bits of its seeds that are among the `count`.
inline std::uint64_t seeds_in_word(std::uint32_t count, std::uint32_t w) noexcept {
    const std::uint32_t left = count - w * 64;
    return left >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << left) - 1;
}

// Appends the offsets from the kernel's first seed of word w's set bits to `listed`.
inline void list_bits(std::uint64_t bits, std::uint32_t w, std::uint32_t* listed,
                      std::uint32_t& listed_count) noexcept {
    for (; bits != 0; bits &= bits - 1) {
        listed[listed_count++] = w * 64 + static_cast<std::uint32_t>(std::countr_zero(bits));
    }
}

// The marks of BandWalk::mark by one compare per seed and rejecting output.
void mark_by_compare(const SearchTables& tables, std::uint32_t first, std::uint32_t count,
                     std::uint64_t* marked) noexcept;

// The one-output draw from its doubled state, without a division.
inline std::uint32_t draw_of(const FastDraw& fast, std::uint32_t doubled) noexcept {
    const std::uint32_t v = doubled >> kOutputShiftDoubled;
    return v - ((v * fast.narrow_multiplier) >> fast.narrow_shift) * fast.bound;
}

// Final positions of items n - 1, n - 2, n - 3 from the draws of bounds n, n - 1, n - 2.
inline std::array<std::uint32_t, 3> tail_positions(std::uint32_t n, std::uint32_t j_n,
                                                   std::uint32_t j_n1,
                                                   std::uint32_t j_n2) noexcept {
    std::uint32_t second = j_n1;
    if (j_n == second) second = n - 1;
    std::uint32_t third = j_n2;
    if (j_n1 == third) third = n - 2;
    if (j_n == third) third = n - 1;
    return {j_n, second, third};
}

inline bool tail_fits(const ForwardTables& forward,
                      const std::array<std::uint32_t, 3>& positions) noexcept {
    bool fits = true;
    for (int i = 0; i < 3; ++i) {
        fits &= positions[i] - forward.tail_low[i] <= forward.tail_width[i];  // modulo 2^32
    }
    return fits;
}

// The scalar kernel for one seed: the tail positions it computes and its verdict.
std::array<std::uint32_t, 3> forward_tail(const SearchTables& tables, std::uint32_t seed) noexcept;
inline bool forward_passes(const SearchTables& tables, std::uint32_t seed) noexcept {
    return tail_fits(tables.forward, forward_tail(tables, seed));
}

// The vector kernels (seed_match_forward_x86.cpp, seed_match_forward_neon.cpp); available()
// false where not built.
bool cpu_has_neon() noexcept;
void forward_neon(const SearchTables&, std::uint32_t, std::uint32_t, std::uint64_t*) noexcept;
void walk_neon(const SearchTables&, std::uint32_t, std::uint32_t, const std::uint64_t*,
               std::uint64_t*) noexcept;
bool cpu_has_avx2() noexcept;
bool cpu_has_avx512() noexcept;
void forward_avx2(const SearchTables&, std::uint32_t, std::uint32_t, std::uint64_t*) noexcept;
void forward_avx512(const SearchTables&, std::uint32_t, std::uint32_t, std::uint64_t*) noexcept;
void walk_avx2(const SearchTables&, std::uint32_t, std::uint32_t, const std::uint64_t*,
               std::uint64_t*) noexcept;
void walk_avx512(const SearchTables&, std::uint32_t, std::uint32_t, const std::uint64_t*,
                 std::uint64_t*) noexcept;

}  // namespace detail
}  // namespace native_accel::shuffle
