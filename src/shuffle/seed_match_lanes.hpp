// The lane kernel of the match test, kept apart so that only its own unit is compiled for
// AVX2; everything else stays on the baseline instruction set.
#pragma once

#include "shuffle/seed_match.hpp"

#include <cstdint>

namespace native_accel::shuffle::detail {

// True when this build has a lane kernel and the CPU it runs on can execute it.
bool cpu_has_lanes() noexcept;

// Draws the shuffles of the kLaneGroup seeds first, first + 1, ... (first + 31 must not pass
// 2^32 - 1) in lock step, storing them in `lane_draws` ((n - 1) * kLaneGroup values), and
// returns a bit per seed (bit k for first + k) that passed the end-item filter. With `ends`
// given, every lane's closing item is traced and ends[2k], ends[2k + 1] receive the items
// at positions 0 and n - 1; otherwise only lanes whose opening item fits are traced.
// Needs n <= 32768 (every bound takes one output) and cpu_has_lanes().
std::uint32_t lanes_filter(const SearchTables& tables, std::uint32_t* lane_draws,
                           std::uint32_t first, std::uint32_t* ends) noexcept;

}  // namespace native_accel::shuffle::detail
