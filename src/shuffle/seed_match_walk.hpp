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
    // Written as selects, not branches: which gap follows is as good as random.
    [[nodiscard]] Visit after(std::uint64_t offset) const noexcept {
        const bool ahead = offset + forward < length;
        const bool back = offset >= backward;
        const std::uint64_t turns = ahead ? gap1 : back ? gap2 : gap1 + gap2;
        const std::uint64_t moved = offset + (ahead ? forward : back ? 0 : forward);
        return {turns, moved - (!ahead ? backward : 0)};  // in [0, length)
    }

    std::uint64_t circle;
    std::uint64_t turn;
    std::uint64_t start;
    std::uint64_t length;    // m = circle - start
    std::uint64_t gap1;      // the first k >= 1 moving forward by less than m ...
    std::uint64_t forward;   // ... by f
    std::uint64_t gap2;      // the first k >= 1 moving backward by less than m ...
    std::uint64_t backward;  // ... by b
};

}  // namespace detail

// One worker's walk over the rejection bands of the outputs that can reject.
class BandWalk {
public:
    explicit BandWalk(const SearchTables& tables);

    // Writes the ceil(count / 64) words of `marked`: bit k % 64 of word k / 64 is set when
    // seed first + k is in some band, clear otherwise (and from count on). first + count
    // must not pass 2^32. Fastest when first is where the last call ended.
    void mark(std::uint32_t first, std::uint32_t count, std::uint64_t* marked) noexcept;

private:
    struct Band {
        std::uint32_t mul;  // doubled jump-ahead of the output: mul * s + add (mod 2^32)
        std::uint32_t add;
        detail::ArcVisits arc;
    };
    struct Next {
        std::uint64_t seed;    // at or after the point the walk has reached
        std::uint64_t offset;  // into the band
    };

    void solve(std::size_t band, std::uint32_t seed) noexcept;
    void step(std::size_t band) noexcept;

    std::vector<Band> bands_;
    std::vector<Next> next_;
    std::uint64_t point_ = 0;  // every visit before this seed is behind the walk
    bool started_ = false;
};

}  // namespace native_accel::shuffle
