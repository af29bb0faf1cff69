// The parallel seed search: which seed, from seed0 up to 2^32 - 1, makes the shuffle lay a
// list of sized items out at their expected offsets?
//
// Up to 64 worker threads claim chunks of consecutive seeds from one atomic counter and
// test them (seed_match.hpp); the calling thread stays in the call as the monitor, in
// 50 ms rounds: it writes progress lines, lets the embedding interpreter run its signal
// handlers (so an interrupt ends the search, after every worker has been joined), and
// watches for a match. Between signal checks it lets go of the interpreter. The shared
// state is a handful of atomics; there are no locks.
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

// The search as the caller asks for it; find_shuffle_seed_first applies the defaults and
// limits of the absent or out-of-range values.
struct SearchRequest {
    std::span<const TargetEntry> targets;
    std::uint32_t seed0 = 0;
    // None: the processors the system reports (kFallbackWorkers if none); 0 runs one
    // worker, anything above kMaxWorkers runs kMaxWorkers.
    std::optional<std::uint64_t> workers;
    std::optional<std::uint32_t> chunk;  // seeds per claim; none: kDefaultChunk; 0 claims 1
    // Seconds between progress lines; none: kDefaultProgressInterval; 0, negative or NaN:
    // no lines (see report_interval).
    std::optional<double> progress_iv;
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

inline constexpr const char* kTooManyTargets =
    "target_idx must have fewer than 2**32 entries";

// Runs one search. Fewer than 2 targets match seed0 at once; 2^32 targets or more are a
// body error. Memory exhaustion throws std::bad_alloc, after every worker has been joined.
Outcome<SearchOutcome> find_shuffle_seed_first(const SearchRequest& request, SearchHooks& hooks);

}  // namespace native_accel::shuffle
