// The parallel seed search: which seed, from seed0 up to 2^32 - 1, makes the shuffle lay a
// list of sized items out at their expected offsets?
//
// Up to 64 worker threads claim chunks of consecutive seeds from one atomic counter and
// test them (seed_match.hpp); the calling thread stays in the call as the monitor, in
// 50 ms rounds: it writes progress lines, lets the embedding interpreter run its signal
// handlers (so an interrupt ends the search, after every worker has been joined), and
// watches for a match. Between signal checks it lets go of the interpreter. The shared state is a handful of atomics; there are no locks.
//
// Which seed comes back: workers test their chunks in increasing order and chunks are
// handed out in increasing order, but workers run side by side, so with several workers
// any matching seed may win. With one worker it is the smallest matching seed.
#pragma once

#include "common/outcome.hpp"
#include "shuffle/seed_match.hpp"

#include <cstdint>
#include <optional>
#include <span>

namespace native_accel::shuffle {

inline constexpr std::uint32_t kMaxWorkers = 64;
inline constexpr std::uint32_t kFallbackWorkers = 4;  // when the system reports no count
inline constexpr std::uint32_t kDefaultChunk = 8192;
inline constexpr double kDefaultProgressInterval = 1.0;  // seconds

// What the embedding interpreter must do for the search; the search itself never touches
// it. The interpreter is released while the workers are being created and while the
// monitor reports, sleeps and joins; it is held only to run signal handlers.
class SearchHooks {
public:
    virtual void release_interpreter() noexcept = 0;
    virtual void reacquire_interpreter() noexcept = 0;
    // Runs pending signal handlers; true when one raised (its exception stays pending).
    virtual bool signal_raised() noexcept = 0;

protected:
    ~SearchHooks() = default;
};

struct SearchRequest {
    std::span<const TargetEntry> targets;
    std::uint32_t seed0 = 0;
    std::uint32_t workers = 1;  // 1 .. kMaxWorkers, see worker_count
    std::uint32_t chunk = kDefaultChunk;  // at least 1, see chunk_size
    double progress_iv = kDefaultProgressInterval;  // 0, negative or NaN: no lines
    std::optional<MatchPath> path;  // the fastest one when not given
};

enum class SearchEnd {
    matched,      // seed holds the matching seed
    exhausted,    // no seed from seed0 on matches
    interrupted,  // a signal handler raised; its exception is pending
    no_thread,    // the system refused a worker thread
};

struct SearchOutcome {
    SearchEnd end;
    std::uint32_t seed = 0;
};

// The count of workers: the processors the system reports (kFallbackWorkers if none)
// when not given; 0 becomes 1 and anything above kMaxWorkers becomes kMaxWorkers.
std::uint32_t worker_count(std::optional<std::uint64_t> requested) noexcept;
// Seeds per claim: kDefaultChunk when not given, 0 becomes 1.
std::uint32_t chunk_size(std::optional<std::uint32_t> requested) noexcept;

inline constexpr const char* kTooManyTargets =
    "target_idx must have fewer than 2**32 entries";

// Runs one search. Fewer than 2 targets match seed0 at once; 2^32 targets or more are a
// body error. Memory exhaustion throws std::bad_alloc, after every worker has been joined.
Outcome<SearchOutcome> find_shuffle_seed_first(const SearchRequest& request, SearchHooks& hooks);

}  // namespace native_accel::shuffle
