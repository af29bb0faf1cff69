// The seed search end to end without an interpreter, as a port runs it: real worker threads
// on the layout of a known seed, solved and scanned, with the progress lines the monitor
// writes straight to file descriptor 2 (write() on POSIX, the C runtime's _write on Windows)
// captured in a file and read back. Checked: the smallest matching seed found with several
// workers and with one, an interrupted search, the run out of seeds at the very top of the
// range, no output with reports off, no search at all for a layout no order makes, and
// lines that are whole, well formed, one per monitor round, and never go backwards. Run by
// tests/test_native_checks.py and by tools/cross_check.sh; exits 1 on a failure.
#include "shuffle/msvc_rand.hpp"
#include "shuffle/seed_match.hpp"
#include "shuffle/seed_search.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

using namespace native_accel::shuffle;

int failures = 0;

void expect(bool ok, const std::string& what) {
    if (!ok) {
        ++failures;
        if (failures <= 20) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    }
}

int duplicate(int fd) {
#if defined(_WIN32)
    return _dup(fd);
#else
    return ::dup(fd);
#endif
}

int duplicate_onto(int from, int to) {
#if defined(_WIN32)
    return _dup2(from, to);
#else
    return ::dup2(from, to);
#endif
}

void close_fd(int fd) {
#if defined(_WIN32)
    _close(fd);
#else
    ::close(fd);
#endif
}

int file_descriptor(std::FILE* file) {
#if defined(_WIN32)
    return _fileno(file);
#else
    return ::fileno(file);
#endif
}

// Descriptor 2 sent to a file in the working directory for the lifetime of the object;
// text() restores it and returns the bytes that were written. The file is opened in text
// mode, the mode descriptor 2 has when a Windows program starts (where the C runtime would
// turn "\n" into "\r\n"), and read back byte for byte. Not tmpfile(), which the Windows C
// runtime creates in the root of the drive.
class CapturedStandardError {
public:
    CapturedStandardError() {
        std::fflush(stderr);
        file_ = std::fopen(kPath, "w");
        if (file_ == nullptr) fatal("cannot create the capture file");
        saved_ = duplicate(2);
        if (saved_ < 0 || duplicate_onto(file_descriptor(file_), 2) < 0) fatal("cannot redirect fd 2");
    }
    CapturedStandardError(const CapturedStandardError&) = delete;
    CapturedStandardError& operator=(const CapturedStandardError&) = delete;
    ~CapturedStandardError() {
        restore();
        std::remove(kPath);
    }

    std::string text() {
        restore();
        std::string out;
        std::FILE* file = std::fopen(kPath, "rb");
        if (file == nullptr) fatal("cannot read the capture file");
        char buffer[4096];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
            out.append(buffer, got);
        }
        std::fclose(file);
        return out;
    }

private:
    static constexpr const char* kPath = "search_check.stderr";

    [[noreturn]] static void fatal(const char* why) {
        std::fprintf(stderr, "%s\n", why);
        std::exit(2);
    }
    void restore() {
        if (file_ == nullptr) return;
        duplicate_onto(saved_, 2);
        close_fd(saved_);
        std::fclose(file_);
        file_ = nullptr;
    }

    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

// Twenty items of distinct sizes laid out by the shuffle from `seed`: only seeds that give
// the same order match, about one in 20! (2.4e18), so the seed and its twin (seed + 2^31,
// which shuffles alike) are the only matches. With `wrapping`, the sizes sum past 2^32, so
// that the search scans instead of solving.
std::vector<TargetEntry> layout_of(std::uint32_t seed, std::uint32_t items = 20, bool wrapping = false) {
    std::vector<std::uint32_t> order(items);
    for (std::uint32_t k = 0; k < items; ++k) order[k] = k;
    msvc_shuffle(seed, items, [&order](std::uint32_t p, std::uint32_t j) {
        const std::uint32_t t = order[p];
        order[p] = order[j];
        order[j] = t;
    });
    std::vector<TargetEntry> target(items);
    std::uint32_t running = 0;
    for (std::uint32_t item : order) {
        const auto size = static_cast<std::int32_t>((wrapping ? 0x40000000 : 7) + 13 * item);
        target[item] = {static_cast<std::int32_t>(running), size};  // a 32-bit pattern
        running += static_cast<std::uint32_t>(size);
    }
    return target;
}

// Items of 2^31 - 1 bytes, every one expected at offset 1: none can open the layout, and
// the sizes wrap, so the search scans every seed and none matches.
const std::vector<TargetEntry> kEndless(20, TargetEntry{1, 0x7FFFFFFF});

struct Line {
    std::uint64_t next_seed;
    double elapsed;
};

// Splits the captured text into progress lines; anything else (a torn or foreign line)
// is a failure.
std::vector<Line> parse_lines(const std::string& text, const std::string& where) {
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            expect(false, where + ": text after the last newline: " + text.substr(start));
            break;
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') {
            expect(false, where + ": a line ends in \"\\r\\n\", not \"\\n\"");
            continue;
        }
        unsigned long long next_seed = 0;
        double elapsed = 0;
        double rate = 0;
        unsigned hours = 0, minutes = 0, seconds = 0;
        char tail = 0;
        const int fields = std::sscanf(line.c_str(),
                                       "[test-shuffle] next_seed=%llu elapsed=%lfs rate~%lf/s "
                                       "ETA=%u:%2u:%2u%c",
                                       &next_seed, &elapsed, &rate, &hours, &minutes, &seconds, &tail);
        const bool ok = fields == 6 && minutes < 60 && seconds < 60 && elapsed >= 0 && rate >= 0;
        expect(ok, where + ": not a progress line: " + line);
        if (ok) lines.push_back({next_seed, elapsed});
    }
    return lines;
}

struct Run {
    bool interrupted = false;
    std::optional<std::uint32_t> seed;
    std::vector<Line> lines;
    std::uint64_t rounds = 0;
};

// The search driven as the binding drives it, without an interpreter: a round at a time,
// stopped at round `interrupt_at` as Ctrl-C would stop it (0: never).
Run search(const std::vector<TargetEntry>& target, std::uint32_t seed0, std::uint64_t workers,
           std::uint32_t chunk, double progress_iv, const std::string& where,
           std::uint64_t interrupt_at = 0) {
    SearchRequest request;
    request.targets = target;
    request.seed0 = seed0;
    request.workers = workers;
    request.chunk = chunk;
    request.progress_iv = progress_iv;
    Run run;
    std::string text;
    {
        CapturedStandardError captured;
        SeedSearch searched(request);
        expect(searched.start(), where + ": no worker started");
        while (searched.wait_round()) {
            if (++run.rounds == interrupt_at) {
                searched.stop();
                run.interrupted = true;
                break;
            }
        }
        run.seed = searched.finish();
        text = captured.text();
    }
    run.lines = parse_lines(text, where);
    return run;
}

// Lines from seed0 on, in order, never past `last_seed`: one per round, since an interval
// below a nanosecond reports at every round. A search that ends before the monitor's first
// round writes none, so only a search that cannot end by itself must have lines.
void check_lines(const Run& run, std::uint32_t seed0, std::uint64_t last_seed,
                 const std::string& where, bool must_report = false) {
    expect(!must_report || !run.lines.empty(), where + ": no progress line");
    expect(run.lines.size() == run.rounds, where + ": " + std::to_string(run.lines.size()) +
                                               " lines in " + std::to_string(run.rounds) + " rounds");
    const Line* before = nullptr;
    for (const Line& line : run.lines) {
        expect(line.next_seed >= seed0 && line.next_seed <= last_seed,
               where + ": next_seed " + std::to_string(line.next_seed) + " out of range");
        if (before != nullptr) {
            expect(line.next_seed >= before->next_seed && line.elapsed >= before->elapsed,
                   where + ": a line goes backwards");
        }
        before = &line;
    }
}

constexpr std::uint32_t kSeed = 0xC0DE5EEDu;
constexpr double kEveryRound = 1e-10;  // rounds to 0 ns

// Seeds scanned before kSeed on a layout that is scanned: enough for a search to last
// several monitor rounds (and so write lines) whatever the scan's speed on this CPU or
// emulator, from a measured one-worker rate. Sizing only: no figure is asserted.
std::uint32_t scanned_before_seed = 0;

std::uint32_t sized_distance() {
    constexpr std::uint32_t kProbe = 1u << 16;
    const auto target = layout_of(kSeed, 20, true);
    const auto started = std::chrono::steady_clock::now();
    const Run probe = search(target, kSeed - kProbe, 1, 8192, 0.0, "sizing");
    expect(probe.seed == kSeed, "sizing: wrong seed");
    const double seconds = std::max(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 1e-6);
    const double wanted = kProbe / seconds * 0.25;  // a quarter of a second on one worker
    return static_cast<std::uint32_t>(std::clamp(wanted, double{kProbe}, double{1u << 28}));
}

// The seed of a solved layout with one worker and several, from below both twins, between
// them and above both; and of a scanned one, where the workers that claimed chunks below a
// match must finish them before a smaller seed can be ruled out.
void check_found_seeds() {
    const auto solved = layout_of(kSeed);
    const std::uint32_t twin = kSeed ^ 0x80000000u;
    for (const std::uint64_t workers : {1u, 4u}) {
        const std::string where = std::to_string(workers) + " workers, solved";
        expect(search(solved, 0, workers, 4096, kEveryRound, where).seed == twin, where + ": below both");
        expect(search(solved, twin + 1, workers, 1000, kEveryRound, where).seed == kSeed,
               where + ": between the twins");
        expect(!search(solved, kSeed + 1, workers, 1000, kEveryRound, where).seed, where + ": above both");
    }
    const std::uint32_t seed0 = kSeed - scanned_before_seed;
    for (const std::uint32_t chunk : {4096u, 1000u}) {
        const std::string where = "4 workers, scanned, chunk " + std::to_string(chunk);
        const Run run = search(layout_of(kSeed, 20, true), seed0, 4, chunk, kEveryRound, where);
        expect(run.seed == kSeed, where + ": wrong seed");
        check_lines(run, seed0, kSeed, where);
    }
    // Four items whose sizes wrap: matches every few dozen seeds, the first one must win.
    const auto small = layout_of(kSeed, 4, true);
    const SearchTables tables(small);
    ReferenceTest reference(tables);
    std::uint32_t first = seed0;
    while (!reference.matches(first)) ++first;
    expect(search(small, seed0, 4, 1, 0.0, "4 workers, chunk 1").seed == first,
           "4 workers, chunk 1: not the smallest match");
}

// A search no seed ends, stopped at its fourth round: a line in each of the four.
void check_interrupted() {
    constexpr std::uint64_t kRounds = 4;
    const Run run = search(kEndless, 0, 4, 4096, kEveryRound, "interrupted", kRounds);
    expect(run.interrupted && !run.seed, "interrupted: a result");
    expect(run.rounds == kRounds, "interrupted: " + std::to_string(run.rounds) + " rounds");
    check_lines(run, 0, UINT32_MAX, "interrupted", true);
}

void check_reports_off() {
    const Run run = search(layout_of(kSeed, 20, true), kSeed - scanned_before_seed / 4, 2, 4096, 0.0,
                           "reports off");
    expect(run.seed == kSeed, "reports off: wrong seed");
    expect(run.lines.empty(), "reports off: a line was written");
}

// The last seeds of the range, with a chunk that does not divide them: every worker must
// stop at 2^32 - 1 without wrapping around to seed 0.
void check_top_of_range() {
    const std::uint32_t seed0 = UINT32_MAX - (scanned_before_seed - 1);
    const Run run = search(kEndless, seed0, 3, 7777, kEveryRound, "top of range");
    expect(!run.interrupted && !run.seed, "top of range: a seed");
    check_lines(run, seed0, UINT32_MAX, "top of range");
    for (const bool wrapping : {false, true}) {
        const Run last = search(layout_of(UINT32_MAX, 20, wrapping), seed0, 3, 7777, kEveryRound, "last seed");
        expect(last.seed == UINT32_MAX, "last seed: wrong seed");
    }
}

// No order of the items can lay them out so: the search ends at once, without a round.
void check_inconsistent() {
    auto target = layout_of(kSeed);
    target[0].expected_offset += 1;
    const Run run = search(target, 0, 4, 4096, kEveryRound, "inconsistent");
    expect(!run.seed && run.rounds == 0 && run.lines.empty(), "inconsistent: searched");
}

}  // namespace

int main() {
    scanned_before_seed = sized_distance();
    check_found_seeds();
    check_interrupted();
    check_reports_off();
    check_top_of_range();
    check_inconsistent();
    std::printf("search with threads and progress lines; %d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
