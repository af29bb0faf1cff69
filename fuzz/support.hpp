// What every fuzz target shares: reading a case's parameters off the front of the input,
// failing loudly on a broken property, guarded buffers that catch stray writes, and writing
// the target's seed corpus when the runner asks for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

namespace native_accel::fuzz {

using Bytes = std::vector<std::uint8_t>;

// Reads fixed-width little-endian parameters from the front of an input. Past the end
// every byte reads as 0, so any input, the empty one included, is a complete case; what
// is left after the parameters is the case's payload.
class ParamReader {
public:
    ParamReader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

    template <class T>
    T take() noexcept {
        static_assert(std::is_unsigned_v<T>, "take unsigned values; cast them afterwards");
        T value = 0;
        for (std::size_t k = 0; k < sizeof(T); ++k) {
            const std::uint8_t byte = position_ < size_ ? data_[position_] : 0;
            ++position_;
            value = static_cast<T>(value | static_cast<T>(static_cast<T>(byte) << (8 * k)));
        }
        return value;
    }

    // An unsigned 64-bit size that is small most of the time (one byte) and, when the flag
    // byte in front of it is odd, any value: the fuzzer reaches both regimes easily.
    std::uint64_t take_size() noexcept {
        return (take<std::uint8_t>() & 1u) ? take<std::uint64_t>() : take<std::uint8_t>();
    }

    // Up to `count` payload bytes (fewer when the input ends first).
    std::span<const std::uint8_t> take_bytes(std::size_t count) noexcept {
        const std::size_t start = position_ < size_ ? position_ : size_;
        const std::size_t available = size_ - start;
        const std::size_t n = count < available ? count : available;
        position_ = start + n;
        return {data_ + start, n};
    }

    std::span<const std::uint8_t> rest() noexcept { return take_bytes(size_); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// Prints the broken property and aborts, which libFuzzer reports as a crash and saves.
[[noreturn]] void fail(const char* condition, const char* file, int line);

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::native_accel::fuzz::fail(#condition, __FILE__, __LINE__))

// A heap buffer of exactly `size` usable bytes between two guard zones. The guards hold a
// known pattern and are poisoned for AddressSanitizer while the body runs, so a stray read
// or write next to the buffer is reported at the faulting instruction, and intact() checks
// the pattern afterwards as a second line of defence.
class GuardedBuffer {
public:
    static constexpr std::size_t kGuardBytes = 64;
    static constexpr std::uint8_t kGuardValue = 0xA5;

    explicit GuardedBuffer(std::span<const std::uint8_t> contents);
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    ~GuardedBuffer();

    std::span<std::uint8_t> span() noexcept { return {storage_.data() + kGuardBytes, size_}; }
    // Unpoisons the guards and tells whether they still hold their pattern.
    bool intact() noexcept;

private:
    std::vector<std::uint8_t> storage_;
    std::size_t size_;
};

// The seed corpus of a target: a function returning a few representative inputs.
using SeedGenerator = std::vector<Bytes> (*)();

// When the environment names NATIVE_ACCEL_FUZZ_SEED_DIR, writes the seeds there as
// seed_NNN files, prints max_len (the longest input worth fuzzing) and ends the process;
// otherwise returns 0 and fuzzing starts.
int write_seeds_if_asked(SeedGenerator generator, std::size_t max_len);

// Declares the target's seed generator and its longest useful input: the runner calls the
// binary once with the variable set before fuzzing it, so that the corpus always comes from
// the current encoders and each target gets the input length it needs.
#define NATIVE_ACCEL_FUZZ_SEEDS(generator, max_len)                            \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {                       \
        return ::native_accel::fuzz::write_seeds_if_asked(generator, max_len); \
    }

// Deterministic filler for buffers whose contents do not matter, only their changes.
inline Bytes pattern_bytes(std::size_t size, std::uint8_t salt) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<std::uint8_t>(i * 13 + salt);
    }
    return out;
}

inline void append_u32_le(Bytes& out, std::uint32_t value) {
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<std::uint8_t>(value >> (8 * k)));
}

}  // namespace native_accel::fuzz
