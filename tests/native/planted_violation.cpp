// Breaks an invariant on purpose: skips more bits of an NWA bit window than it holds. The
// routine states that as an assert, so a build with its asserts compiled in aborts here;
// one without them runs on and says so. The fuzz build and the native checks must abort.
#include <cstdint>
#include <cstdio>

#include "nwa/bit_reader.hpp"

int main() {
    const std::uint8_t unit[4] = {1, 2, 3, 4};
    native_accel::nwa::BitWindow window(unit, 0);
    window.refill();
    window.skip(native_accel::nwa::BitWindow::kRefilledBits + 4);
    std::puts("asserts are compiled out: the planted violation went unnoticed");
    return 0;
}
