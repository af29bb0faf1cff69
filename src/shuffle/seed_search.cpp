#include "shuffle/seed_search.hpp"

#include "shuffle/progress.hpp"
#include "shuffle/seed_match.hpp"
#include "shuffle/seed_solve.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace native_accel::shuffle {
namespace {

constexpr std::uint64_t kSeedCount = std::uint64_t{1} << 32;
constexpr std::uint64_t kNoSeed = UINT64_MAX;
constexpr std::uint64_t kTestedBatch = 1024;  // workers publish scanned seeds in these steps
constexpr auto kMonitorRound = std::chrono::milliseconds(50);
// What the scan spends on one seed of n items, about (measured with bench/match_bench):
// n - 1 draws, the end-item trace, and a little per seed.
constexpr double kScanSecondsPerSeed = 5e-9;
constexpr double kScanSecondsPerItem = 2.5e-9;

// The stretch scanned before solving lasts an eighth of the solve. Where matches are
// frequent (the expected wait for one is shorter than the solve), it lasts up to a
// thousand such waits, but never more than half the solve. So a search never takes more
// than one and a half times the solve, and layouts of a few items, whose solve lists
// matches by the million, find their first one by scanning: over many layouts of 2 to 9
// items the longest wait seen was ten times the expected one.
constexpr double kScanShare = 0.125;
constexpr double kScanWaits = 1000;
constexpr double kScanShareAtMost = 0.5;

// How many seeds from seed0 to scan before solving the rest (all of them: no solving).
std::uint64_t seeds_to_scan(const SolveTables& solve, std::uint32_t n, std::uint64_t total) {
    const double per_seed = kScanSecondsPerSeed + kScanSecondsPerItem * n;
    const double solve_seconds = solve.estimated_seconds();
    const double wait = per_seed * std::exp(std::min(-solve.log_match_chance(), 700.0));
    double seconds = kScanShare * solve_seconds;
    if (wait <= solve_seconds) {
        seconds = std::min(kScanShareAtMost * solve_seconds, std::max(seconds, kScanWaits * wait));
    }
    const double seeds = std::floor(seconds / per_seed);
    return seeds < static_cast<double>(total) ? static_cast<std::uint64_t>(seeds) : total;
}

// Workers write what they count on lines of their own: were `tested` one counter beside
// the claims', its line would travel between the cores once a chunk. The monitor sums.
inline constexpr std::size_t kCacheLine = 64;
struct alignas(kCacheLine) WorkerCount {
    std::atomic<std::uint64_t> tested{0};  // scanned seeds that did not match
};

// A worker's count of mismatches, published in whole batches; the rest when it ends.
class TestedCounter {
public:
    explicit TestedCounter(std::atomic<std::uint64_t>& tested) : tested_(tested) {}
    ~TestedCounter() {
        if (const std::uint64_t rest = pending_ % kTestedBatch; rest != 0) {
            tested_.fetch_add(rest, std::memory_order_relaxed);
        }
    }
    void add_one() noexcept {
        if (++pending_ % kTestedBatch == 0) tested_.fetch_add(kTestedBatch, std::memory_order_relaxed);
    }

private:
    std::atomic<std::uint64_t>& tested_;
    std::uint64_t pending_ = 0;
};

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

// One worker's scratch, allocated on the calling thread before the worker starts.
struct Scratch {
    SeedScanner scanner;
    std::optional<SeedSolver> solver;
    std::vector<std::uint32_t> matches;
};

}  // namespace

struct SeedSearch::State {
    // The work: seeds seed0 .. seed0 + scanned - 1 are scanned in chunks, then the solver's
    // units list the matches from seed0 + scanned on. Unit u of the claims is a chunk below
    // scan_chunks, a solver unit above.
    std::uint32_t seed0 = 0;
    std::uint64_t total = 0;    // seeds from seed0 to 2^32 - 1
    std::uint64_t scanned = 0;  // seeds scanned before solving (total: no solving)
    std::uint32_t chunk = kDefaultChunk;
    std::uint64_t scan_chunks = 0;
    std::uint32_t solve_units = 0;
    std::uint32_t workers = 1;

    std::unique_ptr<SearchTables> tables;
    std::unique_ptr<SolveTables> solve;
    std::optional<std::uint32_t> immediate;  // the answer when there is nothing to search
    bool nothing_to_search = false;

    // Read by every worker all the time, written when the search ends or finds a seed.
    alignas(kCacheLine) std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> best{kNoSeed};  // the smallest matching seed so far
    std::atomic<std::size_t> active_workers{0};
    // Written once a claim.
    alignas(kCacheLine) std::atomic<std::uint64_t> next_unit{0};
    std::atomic<std::uint64_t> solved_units{0};
    std::unique_ptr<WorkerCount[]> tested;

    // The monitor sleeps its round on `wake`; the last worker to end wakes it, so that the
    // call returns as soon as there is nothing to wait for rather than at the end of the
    // round. Taking the mutex orders the count's change before the monitor's next look.
    std::mutex wake_mutex;
    std::condition_variable wake;

    std::vector<std::thread> threads;
    std::optional<ProgressReporter> progress;

    void lower_best(std::uint64_t seed) noexcept {
        std::uint64_t now = best.load(std::memory_order_relaxed);
        while (seed < now && !best.compare_exchange_weak(now, seed, std::memory_order_relaxed)) {
        }
    }
    std::uint64_t tested_total() const noexcept {
        std::uint64_t sum = 0;
        for (std::uint32_t w = 0; w < workers; ++w) sum += tested[w].tested.load(std::memory_order_relaxed);
        // A solved unit stands for its share of the seeds left after the scan: the line's
        // next_seed, rate and ETA then read as estimates of the solve's progress.
        if (solve_units != 0) {
            const std::uint64_t solved = solved_units.load(std::memory_order_relaxed);
            sum += static_cast<std::uint64_t>(static_cast<double>(total - scanned) * solved / solve_units);
        }
        return std::min(sum, total);
    }

    void scan_chunk(std::uint64_t first, SeedScanner& scanner, TestedCounter& counted);
    void run(Scratch& scratch, std::uint32_t index);
    void join() noexcept {
        for (std::thread& thread : threads) {
            if (thread.joinable()) thread.join();
        }
    }
};

// Seeds of one chunk in increasing order, up to the first match or a seed no smaller than
// the best match another worker found.
void SeedSearch::State::scan_chunk(std::uint64_t first, SeedScanner& scanner, TestedCounter& counted) {
    const std::uint64_t end = std::min(first + chunk, scanned);
    for (std::uint64_t offset = first; offset < end; ++offset) {
        const std::uint64_t seed = seed0 + offset;
        if (stop.load(std::memory_order_relaxed) || seed >= best.load(std::memory_order_relaxed)) return;
        if (scanner.matches(static_cast<std::uint32_t>(seed))) {
            lower_best(seed);
            return;
        }
        counted.add_one();
    }
}

void SeedSearch::State::run(Scratch& scratch, std::uint32_t index) {
    {
        TestedCounter counted(tested[index].tested);
        const std::uint64_t solve_from = std::uint64_t{seed0} + scanned;
        while (!stop.load(std::memory_order_relaxed)) {
            const std::uint64_t unit = next_unit.fetch_add(1, std::memory_order_relaxed);
            if (unit < scan_chunks) {
                const std::uint64_t first = unit * chunk;
                // Chunks are claimed in increasing order: once one starts past the best
                // match, so do all later ones.
                if (seed0 + first >= best.load(std::memory_order_relaxed)) break;
                scan_chunk(first, scratch.scanner, counted);
            } else if (unit - scan_chunks < solve_units) {
                // A scanned seed matched: nothing solved can be smaller.
                if (best.load(std::memory_order_relaxed) < solve_from) break;
                scratch.matches.clear();
                scratch.solver->solve(static_cast<std::uint32_t>(unit - scan_chunks), scratch.matches);
                for (const std::uint32_t seed : scratch.matches) {
                    if (seed >= solve_from) lower_best(seed);
                }
                solved_units.fetch_add(1, std::memory_order_relaxed);
            } else {
                break;
            }
        }
    }
    if (active_workers.fetch_sub(1, std::memory_order_relaxed) == 1) {
        { const std::lock_guard lock(wake_mutex); }
        wake.notify_all();
    }
}

SeedSearch::SeedSearch(const SearchRequest& request) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.seed0 = request.seed0;
    s.total = kSeedCount - request.seed0;
    if (request.targets.size() < 2) {
        s.immediate = request.seed0;
        s.nothing_to_search = true;
        return;
    }
    s.tables = std::make_unique<SearchTables>(request.targets);
    const SearchTables& tables = *s.tables;
    if (!tables.wraps && !layout_is_consistent(tables)) {
        s.nothing_to_search = true;  // no order lays the items out so: no seed matches
        return;
    }
    s.chunk = std::max<std::uint32_t>(request.chunk.value_or(kDefaultChunk), 1);
    s.workers = worker_count(request.workers);
    s.scanned = s.total;
    if (SolveTables::judges(tables)) {
        s.solve = std::make_unique<SolveTables>(tables);
        s.scanned = seeds_to_scan(*s.solve, tables.count, s.total);
        if (s.scanned < s.total) s.solve_units = s.solve->units();
    }
    s.scan_chunks = (s.scanned + s.chunk - 1) / s.chunk;
    s.tested = std::make_unique<WorkerCount[]>(s.workers);
    s.progress.emplace(request.progress_iv.value_or(kDefaultProgressInterval), s.seed0,
                       SteadyClock::now());
}

SeedSearch::~SeedSearch() { stop(); }

bool SeedSearch::start() {
    State& s = *state_;
    if (s.nothing_to_search) return true;
    // Each worker's scratch is allocated here, so that running out of memory surfaces on
    // the calling thread, after the workers already started have been stopped and joined.
    s.threads.reserve(s.workers);
    s.active_workers.store(s.workers, std::memory_order_relaxed);
    try {
        for (std::uint32_t w = 0; w < s.workers; ++w) {
            std::unique_ptr<Scratch> scratch(new Scratch{SeedScanner(*s.tables), std::nullopt, {}});
            if (s.solve_units != 0) scratch->solver.emplace(*s.solve);
            s.threads.emplace_back([&s, owned = std::move(scratch), w] { s.run(*owned, w); });
        }
    } catch (const std::system_error&) {
        stop();
        return false;
    } catch (...) {
        stop();
        throw;
    }
    s.progress->restart();
    return true;
}

bool SeedSearch::wait_round() {
    State& s = *state_;
    if (s.nothing_to_search || s.active_workers.load(std::memory_order_relaxed) == 0) return false;
    s.progress->check([&s] { return s.tested_total(); });
    std::unique_lock lock(s.wake_mutex);
    s.wake.wait_for(lock, kMonitorRound,
                    [&s] { return s.active_workers.load(std::memory_order_relaxed) == 0; });
    return true;
}

void SeedSearch::stop() noexcept {
    State& s = *state_;
    s.stop.store(true, std::memory_order_relaxed);
    s.join();
}

std::optional<std::uint32_t> SeedSearch::finish() noexcept {
    State& s = *state_;
    s.join();  // orders every worker's last store to `best` before the read below
    if (s.immediate) return s.immediate;
    const std::uint64_t best = s.best.load(std::memory_order_relaxed);
    if (best == kNoSeed || s.stop.load(std::memory_order_relaxed)) return std::nullopt;
    return static_cast<std::uint32_t>(best);
}

}  // namespace native_accel::shuffle
