#include "shuffle/seed_search.hpp"

#include "shuffle/progress.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace native_accel::shuffle {
namespace {

constexpr std::uint64_t kSeedCount = std::uint64_t{1} << 32;
constexpr std::uint64_t kTestedBatch = 1024;  // workers publish `tested` in these steps
constexpr auto kMonitorRound = std::chrono::milliseconds(50);
// Shared by the monitor and every worker. Flags are read before every scan; relaxed
// ordering is enough for them (a worker that sees one late tests a few more seeds), and
// result_seed is read only after the joins, which order it.
//
// The flags, read by every worker all the time, share a cache line that is written only
// when the search ends. What workers write while searching has a line of its own: the
// claims' counter one shared line, and `tested` a line per worker, which the monitor sums.
// Were they beside the flags, every claim and every batch of `tested` would evict the
// flags from the other workers' caches; were `tested` one counter, its line would travel
// between the workers' cores once a chunk, beside the claim's. At two billion seeds a
// second a chunk of 8192 takes 4 us: two workers at 16 items scaled by 1.83 to 1.88 with
// one counter, by 1.89 to 1.91 with a counter each.
inline constexpr std::size_t kCacheLine = 64;

struct alignas(kCacheLine) WorkerCount {
    std::atomic<std::uint64_t> tested{0};  // seeds this worker tested without a match
};

struct SeedSearchShared {
    explicit SeedSearchShared(std::size_t workers)
        : active_workers(workers), tested(std::make_unique<WorkerCount[]>(workers)), workers_(workers) {}

    std::uint64_t tested_total() const noexcept {
        std::uint64_t total = 0;
        for (std::size_t w = 0; w < workers_; ++w) total += tested[w].tested.load(std::memory_order_relaxed);
        return total;
    }

    alignas(kCacheLine) std::atomic<bool> stop{false};
    std::atomic<bool> found{false};
    std::atomic<std::uint64_t> result_seed{0};
    std::atomic<std::size_t> active_workers;
    alignas(kCacheLine) std::atomic<std::uint64_t> next_offset{0};  // first offset not yet claimed
    std::unique_ptr<WorkerCount[]> tested;  // one per worker

    // The monitor sleeps its round on `wake`; a worker that finds the seed, and the last
    // one to end, wake it, so that the call returns as soon as there is nothing to wait
    // for rather than at the end of the round.
    std::mutex wake_mutex;
    std::condition_variable wake;

    bool monitor_may_return() const noexcept {
        return active_workers.load(std::memory_order_relaxed) == 0 ||
               found.load(std::memory_order_relaxed);
    }
    // Called after the flag or the count changed: taking the mutex orders the change
    // before the monitor's next look at it, so a wake between its look and its wait is
    // not lost.
    void wake_monitor() {
        { const std::lock_guard lock(wake_mutex); }
        wake.notify_all();
    }

private:
    std::size_t workers_;
};

// Sleeps one monitor round, ending it early once nothing is left to wait for.
void sleep_round(SeedSearchShared& shared) {
    std::unique_lock lock(shared.wake_mutex);
    shared.wake.wait_for(lock, kMonitorRound, [&shared] { return shared.monitor_may_return(); });
}

struct SearchRange {
    std::uint32_t seed0;
    std::uint64_t total;  // seeds from seed0 to 2^32 - 1
    std::uint32_t chunk;
};

// A worker's count of mismatches, published in whole batches so that the workers do not
// contend on `tested` per seed; the rest is added when the worker ends.
class TestedCounter {
public:
    explicit TestedCounter(std::atomic<std::uint64_t>& tested) : tested_(tested) {}
    ~TestedCounter() {
        if (const std::uint64_t rest = pending_ % kTestedBatch; rest != 0) {
            tested_.fetch_add(rest, std::memory_order_relaxed);
        }
    }
    void add(std::uint64_t misses) noexcept {
        const std::uint64_t before = pending_ / kTestedBatch;
        pending_ += misses;
        if (const std::uint64_t batches = pending_ / kTestedBatch - before; batches != 0) {
            tested_.fetch_add(batches * kTestedBatch, std::memory_order_relaxed);
        }
    }

private:
    std::atomic<std::uint64_t>& tested_;
    std::uint64_t pending_ = 0;
};

// One worker thread: claims chunks until the seeds run out or a flag is raised. Holds its
// own references to the tables and the shared record.
void search_worker(std::shared_ptr<const SearchTables> tables,
                   std::shared_ptr<SeedSearchShared> shared, std::unique_ptr<SeedMatcher> matcher,
                   SearchRange range, std::uint32_t index) {
    auto flagged = [&shared] {
        return shared->stop.load(std::memory_order_relaxed) ||
               shared->found.load(std::memory_order_relaxed);
    };
    {
        TestedCounter tested(shared->tested[index].tested);
        const std::uint32_t group = matcher->group();
        while (!flagged()) {
            const std::uint64_t start =
                shared->next_offset.fetch_add(range.chunk, std::memory_order_relaxed);
            if (start >= range.total) break;
            const std::uint64_t end = std::min(start + range.chunk, range.total);
            for (std::uint64_t offset = start; offset < end && !flagged();) {
                const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(group, end - offset));
                const auto first = static_cast<std::uint32_t>(range.seed0 + offset);
                const std::uint32_t misses = matcher->scan(first, count);
                tested.add(misses);
                if (misses < count) {
                    shared->result_seed.store(first + misses, std::memory_order_relaxed);
                    shared->found.store(true, std::memory_order_relaxed);
                    shared->stop.store(true, std::memory_order_relaxed);
                    shared->wake_monitor();
                    break;
                }
                offset += count;
            }
        }
    }
    matcher.reset();
    tables.reset();
    if (shared->active_workers.fetch_sub(1, std::memory_order_relaxed) == 1) shared->wake_monitor();
}

// The started workers; whatever way the call ends, they are stopped and joined in the
// order they were created before the shared record can go.
class WorkerPool {
public:
    explicit WorkerPool(std::shared_ptr<SeedSearchShared> shared) : shared_(std::move(shared)) {}
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool() { stop_and_join(); }

    void reserve(std::size_t count) { threads_.reserve(count); }
    template <class... Args>
    void start(Args&&... args) {
        threads_.emplace_back(search_worker, std::forward<Args>(args)...);
    }
    void stop_and_join() noexcept {
        shared_->stop.store(true, std::memory_order_relaxed);
        join();
    }
    void join() noexcept {
        for (std::thread& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }

private:
    std::shared_ptr<SeedSearchShared> shared_;
    std::vector<std::thread> threads_;
};

// SearchRequest::workers and SearchRequest::chunk as the search runs them.
std::uint32_t worker_count(std::optional<std::uint64_t> requested) noexcept {
    std::uint64_t count = 0;
    if (requested) {
        count = *requested;
    } else {
        count = std::thread::hardware_concurrency();
        if (count == 0) count = kFallbackWorkers;
    }
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(count, 1, kMaxWorkers));
}

std::uint32_t chunk_size(std::optional<std::uint32_t> requested) noexcept {
    if (!requested) return kDefaultChunk;
    return std::max<std::uint32_t>(*requested, 1);
}

}  // namespace

Outcome<SearchOutcome> find_shuffle_seed_first(const SearchRequest& request,
                                               SearchHooks& hooks) {
    if (request.targets.size() < 2) return SearchOutcome{SearchEnd::matched, request.seed0};
    if (request.targets.size() > UINT32_MAX) return BodyError{kTooManyTargets};

    auto tables = std::make_shared<const SearchTables>(request.targets);
    const MatchPath path = best_match_path(*tables);
    const std::uint32_t workers = worker_count(request.workers);
    auto shared = std::make_shared<SeedSearchShared>(workers);
    const auto start = SteadyClock::now();
    const SearchRange range{request.seed0, kSeedCount - request.seed0, chunk_size(request.chunk)};

    WorkerPool pool(shared);
    pool.reserve(workers);
    // Each worker's scratch is allocated here, so that running out of memory surfaces on
    // the calling thread, after the workers already started have been stopped and joined.
    bool refused = false;
    std::exception_ptr failure;
    hooks.release_interpreter();
    try {
        for (std::uint32_t w = 0; w < workers; ++w) {
            auto matcher = std::make_unique<SeedMatcher>(*tables, path);
            pool.start(tables, shared, std::move(matcher), range, w);
        }
    } catch (const std::system_error&) {
        refused = true;
    } catch (...) {
        failure = std::current_exception();
    }
    if (refused || failure) pool.stop_and_join();
    hooks.reacquire_interpreter();
    if (failure) std::rethrow_exception(failure);
    if (refused) return SearchOutcome{SearchEnd::no_thread};

    // The monitor takes the interpreter only to run its signal handlers: the progress line,
    // the sleep and the joins need none of it, so other threads of the embedding program
    // keep running during a long search, and an interrupt still ends it within a round.
    ProgressReporter progress(request.progress_iv.value_or(kDefaultProgressInterval),
                              request.seed0, start);
    progress.restart();
    if (!shared->found.load(std::memory_order_relaxed)) {
        for (;;) {
            if (shared->active_workers.load(std::memory_order_relaxed) == 0) break;
            hooks.release_interpreter();
            progress.check([&shared] { return shared->tested_total(); });
            sleep_round(*shared);
            hooks.reacquire_interpreter();
            if (hooks.signal_raised()) {
                pool.stop_and_join();  // the seed of a late match is dropped
                return SearchOutcome{SearchEnd::interrupted};
            }
            if (shared->found.load(std::memory_order_relaxed)) break;
        }
    }
    hooks.release_interpreter();
    pool.stop_and_join();
    hooks.reacquire_interpreter();
    if (!shared->found.load(std::memory_order_relaxed)) return SearchOutcome{SearchEnd::exhausted};
    return SearchOutcome{SearchEnd::matched,
                         static_cast<std::uint32_t>(shared->result_seed.load())};
}

}  // namespace native_accel::shuffle
