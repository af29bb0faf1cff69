// The parallel seed search: which seed, from seed0 up to 2^32 - 1, makes the shuffle lay a
// list of sized items out at their expected offsets? It returns the smallest such seed,
// whatever the number of workers.
//
// Two ways to the answer, weighed per call:
//   * scanning: up to 64 worker threads claim chunks of consecutive seeds from one atomic
//     counter and test them one by one (seed_match.hpp), in increasing order;
//   * solving (seed_solve.hpp): the workers claim the solver's units instead, each listing
//     the matching seeds of one output of the last draw, wherever they lie.
// A layout the solver judges is scanned for a short stretch from seed0 first, as long as
// about an eighth of what solving would take: tiny layouts, whose matches are frequent,
// and seeds found just above seed0 end there. The rest is solved. A layout the solver
// cannot judge (more than 32768 items, or sizes that wrap past 2^32) is scanned to the end.
// One whose sizes do not wrap but that no order of its items can lay out needs no search.
//
// The calling thread drives the search: start() starts the workers, and wait_round()
// waits one monitor round of 50 ms, writing the progress line when one is due, until every
// worker has ended. Between rounds the caller can look for an interrupt and stop() the
// search. The search never touches an interpreter; the shared state is a handful of atomics.
#pragma once

#include "shuffle/target_entry.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace native_accel::shuffle {

inline constexpr std::uint32_t kMaxWorkers = 64;
inline constexpr std::uint32_t kFallbackWorkers = 4;  // when the system reports no count
inline constexpr std::uint32_t kDefaultChunk = 8192;
inline constexpr double kDefaultProgressInterval = 1.0;  // seconds

// The search as the caller asks for it; the search applies the defaults and limits of the
// absent or out-of-range values.
struct SearchRequest {
    std::span<const TargetEntry> targets;  // fewer than 2^32
    std::uint32_t seed0 = 0;
    // None: the processors the system reports (kFallbackWorkers if none); 0 runs one
    // worker, anything above kMaxWorkers runs kMaxWorkers.
    std::optional<std::uint64_t> workers;
    std::optional<std::uint32_t> chunk;  // seeds per claim; none: kDefaultChunk; 0 claims 1
    // Seconds between progress lines; none: kDefaultProgressInterval; 0, negative or NaN:
    // no lines (see report_interval).
    std::optional<double> progress_iv;
};

class SeedSearch {
public:
    // Builds the tables (std::bad_alloc when memory runs out); starts nothing. Fewer than
    // two targets match seed0 at once.
    explicit SeedSearch(const SearchRequest& request);
    ~SeedSearch();  // stops and joins the workers
    SeedSearch(const SeedSearch&) = delete;
    SeedSearch& operator=(const SeedSearch&) = delete;

    // Starts the workers. False when the system refused a thread: those already started
    // have been stopped and joined. Memory exhaustion throws, after the same.
    bool start();
    // One monitor round: false at once when every worker has ended; otherwise writes a
    // progress line if one is due, waits up to 50 ms (less when the last worker ends) and
    // returns true.
    bool wait_round();
    // Stops every worker and joins them; what they found is dropped.
    void stop() noexcept;
    // Once wait_round() has returned false: joins the workers and returns the smallest
    // matching seed from seed0 on (none after stop()).
    [[nodiscard]] std::optional<std::uint32_t> finish() noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace native_accel::shuffle
