#include "shuffle/progress.hpp"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace native_accel::shuffle {
namespace {

constexpr std::uint64_t kSeedCount = std::uint64_t{1} << 32;
constexpr std::uint32_t kLastSeed = UINT32_MAX;

double seconds_since(SteadyClock::time_point start) noexcept {
    const auto elapsed = SteadyClock::now() - start;
    if (elapsed.count() <= 0) return 0.0;
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - whole);
    return static_cast<double>(whole.count()) + static_cast<double>(nanos.count()) / 1e9;
}

}  // namespace

std::string format_eta(double eta_seconds) {
    if (!(eta_seconds > 0.0) || std::isinf(eta_seconds)) return "00:00:00";
    const double rounded = std::round(eta_seconds);  // halves away from zero
    // 2^63 is the first double above INT64_MAX.
    std::int64_t r = rounded >= 9223372036854775808.0 ? INT64_MAX
                     : rounded < 1.0                  ? 0
                                                      : static_cast<std::int64_t>(rounded);
    char text[40];
    std::snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64 ":%02" PRId64, r / 3600,
                  (r % 3600) / 60, r % 60);
    return text;
}

std::string progress_line(std::uint32_t seed0, std::uint64_t tested, double elapsed_seconds) {
    const std::uint64_t total = kSeedCount - seed0;
    const double rate = elapsed_seconds > 0.0 ? static_cast<double>(tested) / elapsed_seconds
                                              : 0.0;
    const double eta = rate > 0.0 ? static_cast<double>(total - tested) / rate : INFINITY;
    const std::uint64_t reached = std::uint64_t{seed0} + tested;
    const std::uint64_t next_seed = reached > kLastSeed ? kLastSeed : reached;
    // %.1f and %.0f round the exact binary value, ties to even ("0.2" for 0.25).
    char text[160];
    std::snprintf(text, sizeof text,
                  "[test-shuffle] next_seed=%" PRIu64 " elapsed=%.1fs rate~%.0f/s ETA=%s\n",
                  next_seed, elapsed_seconds, rate, format_eta(eta).c_str());
    return text;
}

// On Windows the bytes go to the file handle behind descriptor 2 with WriteFile. The C
// runtime's _write would do the same in binary mode, but descriptor 2 starts in text mode
// there (CPython switches it to binary, an embedding program need not), and in text mode
// _write turns the line's "\n" into "\r\n". The handle keeps the descriptor's redirections.
void write_standard_error(std::string_view text) noexcept {
    const char* data = text.data();
    std::size_t left = text.size();
#if defined(_WIN32)
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(2));
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;  // no stream
    while (left > 0) {
        const auto step = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle, data, step, &written, nullptr) || written == 0) return;
        data += written;
        left -= written;
    }
#else
    while (left > 0) {
        const ssize_t written = ::write(2, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // no stream, or a failing one: the line is dropped
        data += written;
        left -= static_cast<std::size_t>(written);
    }
#endif
}

std::optional<std::chrono::nanoseconds> report_interval(double progress_iv) noexcept {
    if (!(progress_iv > 0.0)) return std::nullopt;
    if (progress_iv >= 18446744073709551616.0) return std::nullopt;  // 2^64 s, infinity
    // Below 2^64 s the nanosecond count may still pass the 64-bit clock's range (about 292
    // years): saturate, since no wait on that clock can reach it either.
    const double nanos = std::nearbyint(progress_iv * 1e9);
    if (nanos >= 9223372036854775808.0) return std::chrono::nanoseconds::max();
    return std::chrono::nanoseconds(static_cast<std::int64_t>(nanos));
}

ProgressReporter::ProgressReporter(double progress_iv, std::uint32_t seed0,
                                   SteadyClock::time_point start)
    : interval_(report_interval(progress_iv)), seed0_(seed0), start_(start),
      last_report_(start) {}

bool ProgressReporter::due() const noexcept {
    if (!interval_) return false;
    auto since = SteadyClock::now() - last_report_;
    if (since.count() < 0) since = since.zero();
    return since >= *interval_;
}

void ProgressReporter::report(std::uint64_t tested) {
    write_standard_error(progress_line(seed0_, tested, seconds_since(start_)));
    last_report_ = SteadyClock::now();
}

}  // namespace native_accel::shuffle
