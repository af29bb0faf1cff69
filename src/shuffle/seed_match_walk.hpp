// The seeds a walk kernel cannot judge, found by walking each rejection band's visits
// instead of testing every seed against every band.
//
// A walk kernel assumes that no candidate of a seed is rejected; it is wrong for the seeds
// at which some output t, computed as if no candidate before it had been rejected, falls
// in the rejection band of its bound. For that output the state modulo 2^31 (which alone
// makes the candidate) is A_t s + C_t, and its candidate is rejected when that lies in the
// band [L * 2^16, 2^31), L = quotient * bound. From one seed to the next it turns by A_t,
// an odd number: a rotation of the circle of 2^31 points that passes every point once. The
// seeds that land in the band are the rotation's visits to an arc of length m, and by the
// three-distance theorem consecutive visits are g1, g2 or g1 + g2 seeds apart. With
//   g1 the first k >= 1 whose turn k * A_t (mod 2^31) moves forward by some f < m,
//   g2 the first k >= 1 whose turn moves backward by some b < m,
// the visit at offset r into the band is followed by
//   the visit g1 seeds later, at r + f, when r + f < m;
//   else the visit g2 seeds later, at r - b, when r >= b;
//   else the visit g1 + g2 seeds later, at r + f - b
// (f + b >= m: were it smaller, the turn by g2 - g1 or g1 - g2 would come earlier than one
// of the two, so the cases never overlap). A visit costs an add and two compares, the seeds
// between visits nothing: about one seed in 500 is visited at 16 items, one in 30 at 64.
// With AVX-512 eight bands step side by side, one per 64-bit lane.
//
// The first visit at or after a seed is the first k >= 0 with k * A_t (mod 2^31) in an
// interval, found by a Euclid-like descent (first_in_range). A walk that goes on from
// where its last call ended needs none; one that skips a stretch (the chunks another worker
// claimed) steps through the stretch's visits when they are few, and solves again when not.
#pragma once

#include "shuffle/seed_match.hpp"

#include <cstdint>
#include <vector>

namespace native_accel::shuffle {

namespace detail {

// The smallest x >= 0 with low <= (a * x) mod m <= high, for 0 <= low <= high < m <= 2^62
// and 0 <= a; UINT64_MAX when there is none.
std::uint64_t first_in_range(std::uint64_t a, std::uint64_t m, std::uint64_t low,
                             std::uint64_t high) noexcept;

// The visits of the rotation p -> p + turn (mod circle) to the arc [start, circle), for a
// turn prime to the circle (every point is visited) and 1 <= start <= circle - 2. The walk
// uses a circle of 2^31 points; the checks try every small one.
struct ArcVisits {
    ArcVisits(std::uint64_t circle, std::uint64_t turn, std::uint64_t start) noexcept;

    // The first visit from point `at` on: k >= 0 turns later, at `offset` into the arc.
    struct Visit {
        std::uint64_t turns;
        std::uint64_t offset;
    };
    [[nodiscard]] Visit first_from(std::uint64_t at) const noexcept;

    // The visit after the one at `offset`: how many turns later, and its offset.
    [[nodiscard]] Visit after(std::uint64_t offset) const noexcept;

    std::uint64_t circle;
    std::uint64_t turn;
    std::uint64_t start;
    std::uint64_t length;    // m = circle - start
    std::uint64_t gap1;      // the first k >= 1 moving forward by less than m ...
    std::uint64_t forward;   // ... by f
    std::uint64_t gap2;      // the first k >= 1 moving backward by less than m ...
    std::uint64_t backward;  // ... by b
};

// The rule of ArcVisits::after on plain fields, written as selects, not branches: which
// gap follows is as good as random.
inline ArcVisits::Visit visit_after(std::uint64_t offset, std::uint64_t length,
                                    std::uint64_t forward, std::uint64_t backward,
                                    std::uint64_t gap1, std::uint64_t gap2) noexcept {
    const bool ahead = offset + forward < length;
    const bool back = offset >= backward;
    const std::uint64_t turns = ahead ? gap1 : back ? gap2 : gap1 + gap2;
    const std::uint64_t moved = offset + (ahead || !back ? forward : 0);
    return {turns, moved - (ahead ? 0 : backward)};  // in [0, length)
}

inline ArcVisits::Visit ArcVisits::after(std::uint64_t offset) const noexcept {
    return visit_after(offset, length, forward, backward, gap1, gap2);
}

// The bands of a walk, a field per array, so that a vector holds eight bands' fields.
struct BandArrays {
    std::vector<std::uint64_t> length;
    std::vector<std::uint64_t> forward;
    std::vector<std::uint64_t> backward;
    std::vector<std::uint64_t> gap1;
    std::vector<std::uint64_t> gap2;
    std::vector<std::uint64_t> next;    // the seed of the band's next visit
    std::vector<std::uint64_t> offset;  // where in the band it lands
};

// Steps every band whose next visit comes before seed `to` on to its first visit at or
// after `to`. With `marked`, sets bit v - base for each visit v passed on the way (every
// such visit must lie in base .. base + 64 * words - 1, with the words cleared before).
void step_bands(BandArrays& bands, std::uint64_t to, std::uint64_t base,
                std::uint64_t* marked) noexcept;
// The same eight bands at a time (seed_match_forward_x86.cpp), where cpu_has_avx512().
void step_bands_avx512(BandArrays& bands, std::uint64_t to, std::uint64_t base,
                       std::uint64_t* marked) noexcept;

}  // namespace detail

// One worker's walk over the rejection bands of the outputs that can reject.
class BandWalk {
public:
    // The bands are stepped eight at a time where the CPU has AVX-512 and `vectors` holds,
    // one at a time otherwise (the checks run both).
    explicit BandWalk(const SearchTables& tables, bool vectors = true);

    // Writes the ceil(count / 64) words of `marked`: bit k % 64 of word k / 64 is set when
    // seed first + k is in some band, clear otherwise (and from count on). first + count
    // must not pass 2^32. Fastest when first is where the last call ended.
    void mark(std::uint32_t first, std::uint32_t count, std::uint64_t* marked) noexcept;

private:
    void solve(std::size_t band, std::uint32_t seed) noexcept;
    void step(std::uint64_t to, std::uint64_t base, std::uint64_t* marked) noexcept;

    // Per band, longest band first (a vector's bands then take similar numbers of steps):
    // the output's doubled jump-ahead (state mul * s + add, modulo 2^32) and its arc.
    std::vector<std::uint32_t> mul_;
    std::vector<std::uint32_t> add_;
    std::vector<detail::ArcVisits> arcs_;
    detail::BandArrays bands_;
    bool vectors_;
    std::uint64_t point_ = 0;  // every band's next visit is at or after this seed
    bool started_ = false;
};

}  // namespace native_accel::shuffle
