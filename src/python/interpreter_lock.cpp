#include "python/interpreter_lock.hpp"

#include <array>
#include <cstdint>

namespace native_accel::python {
namespace {

constexpr unsigned kStripeBits = 6;
std::array<std::mutex, std::size_t{1} << kStripeBits> writer_stripes;

}  // namespace

std::mutex& writer_lock_for(const PyObject* object) noexcept {
    // Fibonacci hashing of the address: its top bits pick the stripe, so that objects a few
    // allocation sizes apart land on different stripes.
    const auto address = reinterpret_cast<std::uintptr_t>(object);
    const std::uint64_t mixed = static_cast<std::uint64_t>(address) * 0x9E3779B97F4A7C15ull;
    return writer_stripes[mixed >> (64 - kStripeBits)];
}

}  // namespace native_accel::python
