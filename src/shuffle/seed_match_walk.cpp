#include "shuffle/seed_match_walk.hpp"

#include "shuffle/seed_match_forward.hpp"

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

}  // namespace detail

namespace {

constexpr std::uint64_t kCircle = std::uint64_t{1} << 31;
// Stepping through a skipped stretch beats solving afresh while the stretch holds fewer
// visits than this: a solve's divisions cost about as much as thirty steps (measured with
// two workers' alternate chunks at 16, 64 and 256 items).
constexpr std::uint64_t kStepsPerSolve = 32;

}  // namespace

BandWalk::BandWalk(const SearchTables& tables) {
    const ForwardTables& forward = tables.forward;
    assert(forward.applies);
    for (const std::uint32_t t : forward.rejecting) {
        const std::uint32_t mul = forward.jump_mul[t - 1];
        // The band of a one-output bound is 2^16 points wide or more, and the turn,
        // (2 A_t mod 2^32) / 2 = A_t mod 2^31, is odd.
        bands_.push_back({mul, forward.jump_add[t - 1],
                          detail::ArcVisits(kCircle, mul >> 1, forward.reject_from[t - 1] >> 1)});
    }
    next_.resize(bands_.size());
}

void BandWalk::solve(std::size_t index, std::uint32_t seed) noexcept {
    const Band& band = bands_[index];
    const std::uint32_t at = (band.mul * seed + band.add) >> 1;  // modulo 2^32, then halved
    const detail::ArcVisits::Visit visit = band.arc.first_from(at);
    next_[index] = {seed + visit.turns, visit.offset};
}

void BandWalk::step(std::size_t index) noexcept {
    Next& next = next_[index];
    const detail::ArcVisits::Visit visit = bands_[index].arc.after(next.offset);
    next.seed += visit.turns;
    next.offset = visit.offset;
}

void BandWalk::mark(std::uint32_t first, std::uint32_t count, std::uint64_t* marked) noexcept {
    const std::uint64_t end = std::uint64_t{first} + count;
    assert(end <= std::uint64_t{1} << 32);
    if (!started_ || first < point_) {
        for (std::size_t b = 0; b < bands_.size(); ++b) solve(b, first);
    } else if (first > point_) {
        const std::uint64_t skipped = first - point_;
        for (std::size_t b = 0; b < bands_.size(); ++b) {
            if (next_[b].seed >= first) continue;
            if (skipped * bands_[b].arc.length < kStepsPerSolve * kCircle) {
                while (next_[b].seed < first) step(b);
            } else {
                solve(b, first);
            }
        }
    }
    started_ = true;
    point_ = end;
    const std::uint32_t words = (count + 63) / 64;
    for (std::uint32_t w = 0; w < words; ++w) marked[w] = 0;
    for (std::size_t b = 0; b < bands_.size(); ++b) {
        while (next_[b].seed < end) {
            const auto k = static_cast<std::uint32_t>(next_[b].seed - first);
            marked[k / 64] |= std::uint64_t{1} << (k % 64);
            step(b);
        }
    }
}

}  // namespace native_accel::shuffle
