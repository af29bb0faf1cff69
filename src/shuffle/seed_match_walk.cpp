#include "shuffle/seed_match_walk.hpp"

#include "shuffle/seed_match_forward.hpp"

#include <algorithm>
#include <cassert>

namespace native_accel::shuffle {

namespace detail {

// If some multiple of a lies in [low, high] the first is the answer. Otherwise the answer
// wraps: a x - m y in [low, high] for the smallest y >= 1 for which [m y + low, m y + high]
// holds a multiple of a, that is (m y) mod a in [(-high) mod a, (-low) mod a], the same
// question for (m mod a, a): the pair shrinks as in Euclid's algorithm. That interval does
// not wrap, and y = 0 is not in it, since [low, high] holds no multiple of a.
std::uint64_t first_in_range(std::uint64_t a, std::uint64_t m, std::uint64_t low,
                             std::uint64_t high) noexcept {
    assert(low <= high && high < m);
    if (low == 0) return 0;
    a %= m;
    if (a == 0) return UINT64_MAX;
    const std::uint64_t x = (low + a - 1) / a;
    if (x * a <= high) return x;
    const std::uint64_t y = first_in_range(m % a, a, (a - high % a) % a, (a - low % a) % a);
    if (y == UINT64_MAX) return UINT64_MAX;
    return (m * y + low + a - 1) / a;
}

ArcVisits::ArcVisits(std::uint64_t circle_, std::uint64_t turn_, std::uint64_t start_) noexcept
    : circle(circle_), turn(turn_ % circle_), start(start_), length(circle_ - start_) {
    assert(start >= 1 && length >= 2);
    gap1 = first_in_range(turn, circle, 1, length - 1);
    gap2 = first_in_range(turn, circle, circle - length + 1, circle - 1);
    assert(gap1 < circle && gap2 < circle);  // a turn prime to the circle reaches every point
    forward = turn * gap1 % circle;
    backward = circle - turn * gap2 % circle;
}

ArcVisits::Visit ArcVisits::first_from(std::uint64_t at) const noexcept {
    assert(at < circle);
    if (at >= start) return {0, at - start};
    // The turns that carry `at` into [start, circle) without passing the circle's end.
    const std::uint64_t k = first_in_range(turn, circle, start - at, circle - 1 - at);
    assert(k < circle);
    return {k, (at + k * turn) % circle - start};
}

void step_bands(BandArrays& bands, std::uint64_t to, std::uint64_t base,
                std::uint64_t* marked) noexcept {
    for (std::size_t b = 0; b < bands.next.size(); ++b) {
        std::uint64_t next = bands.next[b];
        std::uint64_t offset = bands.offset[b];
        while (next < to) {
            if (marked != nullptr) marked[(next - base) / 64] |= std::uint64_t{1} << ((next - base) % 64);
            const ArcVisits::Visit visit = visit_after(offset, bands.length[b], bands.forward[b],
                                                       bands.backward[b], bands.gap1[b], bands.gap2[b]);
            next += visit.turns;
            offset = visit.offset;
        }
        bands.next[b] = next;
        bands.offset[b] = offset;
    }
}

}  // namespace detail

namespace {

constexpr std::uint64_t kCircle = std::uint64_t{1} << 31;
// Stepping through a skipped stretch beats solving afresh while the stretch holds fewer
// visits a band than this: a solve's divisions cost about as much as thirty steps of one
// band at a time. Eight bands at a time, 40 cost twice 150 where seven chunks of 8192 seeds
// were skipped (64 and 256 items), and 500 the same as 150.
constexpr std::uint64_t kStepsPerSolve = 32;
constexpr std::uint64_t kVectorStepsPerSolve = 150;

}  // namespace

BandWalk::BandWalk(const SearchTables& tables, bool vectors)
    : vectors_(vectors && detail::cpu_has_avx512()) {
    const ForwardTables& forward = tables.forward;
    assert(forward.applies);
    std::vector<std::uint32_t> outputs(forward.rejecting);
    // Longest band first: the band is [reject_from / 2, 2^31), so the smallest start.
    std::stable_sort(outputs.begin(), outputs.end(), [&forward](std::uint32_t x, std::uint32_t y) {
        return forward.reject_from[x - 1] < forward.reject_from[y - 1];
    });
    for (const std::uint32_t t : outputs) {
        const std::uint32_t mul = forward.jump_mul[t - 1];
        mul_.push_back(mul);
        add_.push_back(forward.jump_add[t - 1]);
        // The band of a one-output bound is 2^16 points wide or more, and the turn,
        // (2 A_t mod 2^32) / 2 = A_t mod 2^31, is odd.
        const detail::ArcVisits& arc =
            arcs_.emplace_back(kCircle, mul >> 1, forward.reject_from[t - 1] >> 1);
        bands_.length.push_back(arc.length);
        bands_.forward.push_back(arc.forward);
        bands_.backward.push_back(arc.backward);
        bands_.gap1.push_back(arc.gap1);
        bands_.gap2.push_back(arc.gap2);
    }
    bands_.next.resize(arcs_.size());
    bands_.offset.resize(arcs_.size());
}

void BandWalk::solve(std::size_t band, std::uint32_t seed) noexcept {
    const std::uint32_t at = (mul_[band] * seed + add_[band]) >> 1;  // modulo 2^32, then halved
    const detail::ArcVisits::Visit visit = arcs_[band].first_from(at);
    bands_.next[band] = seed + visit.turns;
    bands_.offset[band] = visit.offset;
}

void BandWalk::step(std::uint64_t to, std::uint64_t base, std::uint64_t* marked) noexcept {
    if (vectors_) {
        detail::step_bands_avx512(bands_, to, base, marked);
    } else {
        detail::step_bands(bands_, to, base, marked);
    }
}

void BandWalk::mark(std::uint32_t first, std::uint32_t count, std::uint64_t* marked) noexcept {
    const std::uint64_t end = std::uint64_t{first} + count;
    assert(end <= std::uint64_t{1} << 32);
    if (!started_ || first < point_) {
        for (std::size_t b = 0; b < arcs_.size(); ++b) solve(b, first);
    } else if (first > point_) {
        const std::uint64_t skipped = first - point_;
        const std::uint64_t steps = vectors_ ? kVectorStepsPerSolve : kStepsPerSolve;
        for (std::size_t b = 0; b < arcs_.size(); ++b) {
            if (bands_.next[b] < first && skipped * bands_.length[b] >= steps * kCircle) solve(b, first);
        }
        step(first, 0, nullptr);
    }
    started_ = true;
    point_ = end;
    const std::uint32_t words = (count + 63) / 64;
    for (std::uint32_t w = 0; w < words; ++w) marked[w] = 0;
    step(end, first, marked);
}

}  // namespace native_accel::shuffle
