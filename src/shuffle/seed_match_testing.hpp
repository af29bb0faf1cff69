// What exists only to check and to measure the match test, kept out of the search: the
// reference test scanned seed by seed like a matcher of its own (the fast paths must agree
// with it on every seed, and their speed is measured against it), and the intermediate
// results of the fast paths (the verdict of the scalar path for one seed, and the end items
// that the scalar and lane paths trace through their stored draws), which the checks
// compare with real shuffles. Included by the native checks, the fuzz target and the
// micro-benchmark; the module never includes it.
#pragma once

#include "shuffle/seed_match.hpp"
#include "shuffle/seed_match_lanes.hpp"

#include <cassert>
#include <cstdint>
#include <span>

namespace native_accel::shuffle::testing {

// The reference test for every seed, with the interface of SeedMatcher.
class ReferenceMatcher {
public:
    explicit ReferenceMatcher(const SearchTables& tables) : test_(tables) {}

    bool match(std::uint32_t seed) { return test_.matches(seed); }

    // As SeedMatcher::scan: how many seeds from `first` on did not match before the first
    // that did, or count.
    std::uint32_t scan(std::uint32_t first, std::uint32_t count) {
        assert(count == 0 || first <= UINT32_MAX - (count - 1));
        for (std::uint32_t done = 0; done < count; ++done) {
            if (test_.matches(first + done)) return done;
        }
        return count;
    }

private:
    ReferenceTest test_;
};

// A matcher's steps, one at a time. Its buffers are those the matcher allocated for its
// path, so the lane ends need a matcher that runs the lanes path.
class SeedMatcherProbe {
public:
    explicit SeedMatcherProbe(SeedMatcher& matcher) : matcher_(matcher) {}

    // The scalar path's verdict for one seed: draws, end-item filter, reference test.
    bool scalar_match(std::uint32_t seed) { return matcher_.scalar_match(seed); }

    // The items that end at positions 0 and n - 1 for `seed`, from the scalar path's draws.
    void scalar_ends(std::uint32_t seed, std::uint32_t& opening, std::uint32_t& closing) {
        opening = matcher_.draw_all(seed);
        closing = matcher_.closing_item();
    }

    // The same for the kLaneGroup seeds from `first` on, from the lane kernel: ends[2 * k]
    // and ends[2 * k + 1] for seed first + k (first + kLaneGroup - 1 must not pass 2^32 - 1).
    void lane_ends(std::uint32_t first, std::span<std::uint32_t, 2 * kLaneGroup> ends) {
        assert(matcher_.path_ == MatchPath::lanes);
        assert(first <= UINT32_MAX - (kLaneGroup - 1));
        detail::lanes_filter(matcher_.tables_, matcher_.lane_draws_.data(), first, ends.data());
    }

private:
    SeedMatcher& matcher_;
};

}  // namespace native_accel::shuffle::testing
