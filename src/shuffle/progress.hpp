// The seed search's progress line on standard error, for example
//   [test-shuffle] next_seed=1234944 elapsed=3.0s rate~411648/s ETA=02:53:51
// one line per interval, never rewritten in place. Nothing here changes the search.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace native_accel::shuffle {

using SteadyClock = std::chrono::steady_clock;

// "HH:MM:SS" of an estimate in seconds, rounded half away from zero; hours take as many
// digits as they need ("123:04:05"). Zero, negative, infinite and NaN give "00:00:00".
std::string format_eta(double eta_seconds);

// The whole line, newline included, after `tested` seeds from seed0 in `elapsed` seconds.
std::string progress_line(std::uint32_t seed0, std::uint64_t tested, double elapsed_seconds);

// Writes the text to file descriptor 2 in one write (a line is far below the size a pipe
// writes atomically), so that lines from several processes never interleave. Errors and a
// missing stream drop the text.
void write_standard_error(std::string_view text) noexcept;

// The interval between lines: progress_iv rounded to whole nanoseconds. None when reports
// are off: 0, negative or NaN, and also 2^64 seconds or more (infinity included), which no
// clock can wait out; such a search simply runs without lines.
std::optional<std::chrono::nanoseconds> report_interval(double progress_iv) noexcept;

// The monitor's reporting state for one search.
class ProgressReporter {
public:
    ProgressReporter(double progress_iv, std::uint32_t seed0, SteadyClock::time_point start);

    // Marks "now" as the time of the last report: the first line is one interval away.
    void restart() noexcept { last_report_ = SteadyClock::now(); }

    // Writes a line when an interval has passed since the last one; tested() gives the
    // seeds tested so far, and is asked only then.
    template <class Count>
    void check(const Count& tested) {
        if (due()) report(tested());
    }

private:
    [[nodiscard]] bool due() const noexcept;
    void report(std::uint64_t tested);

    std::optional<std::chrono::nanoseconds> interval_;
    std::uint32_t seed0_;
    SteadyClock::time_point start_;
    SteadyClock::time_point last_report_;
};

}  // namespace native_accel::shuffle
