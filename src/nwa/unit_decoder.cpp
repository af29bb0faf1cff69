#include "nwa/unit_decoder.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <utility>

#include "common/little_endian.hpp"
#include "nwa/bit_reader.hpp"

namespace native_accel::nwa {
namespace {

// Every code but a long repeat count is decided by its first 12 bits (the longest, code 7
// with an 8-bit mantissa, is 3 + 1 + 8), so one table lookup on 12 bits of the window
// gives how many bits the code takes and what it does to the value. A lookup costs the
// same whatever the code, where a branch per code class would mispredict on every noisy
// sample. The longest code of all is a long repeat count, 3 + 1 + 2 + 8 = 14 bits.
constexpr unsigned kLookupBits = 12;
constexpr std::uint32_t kLookupMask = (1u << kLookupBits) - 1;
constexpr unsigned kMaxCodeBits = 14;

// Codes decoded after one refill without a further test of the window.
constexpr unsigned kCodesPerRefill = BitWindow::kRefilledBits / kMaxCodeBits;
static_assert(kCodesPerRefill == 4);

// A table entry, one 32-bit word:
//     bits 0..3   bits the code takes (a run start counts code, flag and 2-bit count)
//     bit 4       run start: a repeat count follows (bits 6..7 hold the 2-bit count;
//                 3 means an 8-bit count is next in the stream)
//     bit 5       reset: the value becomes 0
//     bits 8..31  signed delta added to the value (|delta| <= 127 << 9 = 65024)
using Entry = std::int32_t;
constexpr Entry kLengthMask = 0xF;
constexpr Entry kRunStart = 1 << 4;
constexpr Entry kReset = 1 << 5;
constexpr unsigned kShortCountShift = 6;
constexpr unsigned kDeltaShift = 8;
constexpr std::uint32_t kLongCount = 3;
constexpr unsigned kLongCountBits = 8;

using DeltaTable = std::array<Entry, 1u << kLookupBits>;

struct MantissaLayout {
    unsigned bits;   // the top one is the sign
    unsigned shift;  // applied to the magnitude
};

constexpr MantissaLayout mantissa_layout(unsigned w, unsigned code) noexcept {
    if (code == 7) {
        if (w == 3) return {6, 11};
        if (w == 4) return {7, 10};
        return {8, 9};
    }
    if (w == 3) return {3, code + 4};
    if (w == 4) return {4, code + 3};
    if (w == 5) return {5, code + 2};
    return {w, code + 1};
}

constexpr Entry delta_entry(std::uint32_t mantissa, MantissaLayout layout, unsigned length) {
    const std::uint32_t sign = 1u << (layout.bits - 1);
    const auto magnitude = static_cast<std::int32_t>((mantissa & (sign - 1)) << layout.shift);
    const std::int32_t delta = (mantissa & sign) != 0 ? -magnitude : magnitude;
    // Multiplying instead of shifting keeps negative deltas well defined.
    return delta * (1 << kDeltaShift) + static_cast<Entry>(length);
}

DeltaTable build_table(unsigned w, bool use_run_length) {
    DeltaTable table{};
    for (std::uint32_t index = 0; index < table.size(); ++index) {
        const unsigned code = index & 7;
        const std::uint32_t after_code = index >> 3;
        Entry entry;
        if (code == 0) {
            if (!use_run_length) {
                entry = 3;
            } else if ((after_code & 1) == 0) {
                entry = 4;
            } else {
                const auto count = static_cast<Entry>((after_code >> 1) & 3);
                entry = 6 | kRunStart | (count << kShortCountShift);
            }
        } else if (code < 7) {
            const MantissaLayout layout = mantissa_layout(w, code);
            entry = delta_entry(after_code & ((1u << layout.bits) - 1), layout, 3 + layout.bits);
        } else if ((after_code & 1) != 0) {
            entry = 4 | kReset;
        } else {
            const MantissaLayout layout = mantissa_layout(w, 7);
            entry = delta_entry((after_code >> 1) & ((1u << layout.bits) - 1), layout,
                                4 + layout.bits);
        }
        table[index] = entry;
    }
    return table;
}

// One table per (effective width, run-length), built on first use (thread-safe statics).
template <unsigned W, bool kRunLength>
const DeltaTable& table_for() {
    static const DeltaTable table = build_table(W, kRunLength);
    return table;
}

template <bool kRunLength>
const DeltaTable& table_for_width(unsigned w) {
    switch (w) {
        case 3: return table_for<3, kRunLength>();
        case 4: return table_for<4, kRunLength>();
        case 5: return table_for<5, kRunLength>();
        case 6: return table_for<6, kRunLength>();
        case 7: return table_for<7, kRunLength>();
        default: return table_for<8, kRunLength>();
    }
}

// A sample: its low 16 bits, little-endian.
inline void store_sample(std::uint8_t* at, std::uint32_t value) noexcept {
    little_endian::store16(at, static_cast<std::uint16_t>(value));
}

// A unit's first sample, sign-extended, then kept as the 32-bit wrap-around value that
// the running value starts from.
inline std::uint32_t load_sample(const std::uint8_t* at) noexcept {
    return static_cast<std::uint32_t>(static_cast<std::int16_t>(little_endian::load16(at)));
}

// The running state of a unit. `current` is the value of the channel whose turn it is;
// for stereo `other` holds the other channel's and the two are swapped after every
// sample, so the channel switch is a register swap and never a branch. Values are 32-bit
// wrap-around; only their low 16 bits are ever written.
template <bool kStereo>
class SampleWriter {
public:
    SampleWriter(const DeltaTable& table, BitWindow& bits, std::uint32_t first,
                 std::uint32_t second, std::uint8_t* out, std::uint64_t count) noexcept
        : table_(table), bits_(bits), current_(first), other_(second), out_(out), count_(count) {}

    void run() noexcept {
        // Every code takes at most kMaxCodeBits, so one refill covers kCodesPerRefill codes.
        while (count_ - index_ >= kCodesPerRefill) {
            bits_.refill();
            // A run start ends the group early: its run may have used up the samples.
            (void)(step() || step() || step() || step());
        }
        while (index_ < count_) {
            bits_.refill();
            step();
        }
    }

private:
    // Decodes one code and writes its sample; a run start also writes the positions it
    // covers and returns true (the caller then re-checks how many samples remain).
    bool step() noexcept {
        const Entry entry = table_[bits_.peek() & kLookupMask];
        bits_.skip(static_cast<unsigned>(entry & kLengthMask));
        const std::uint32_t keep = (entry & kReset) != 0 ? 0 : ~std::uint32_t{0};
        current_ = (current_ & keep) + static_cast<std::uint32_t>(entry >> kDeltaShift);
        emit();
        if ((entry & kRunStart) == 0) [[likely]] return false;
        repeat(static_cast<std::uint32_t>(entry >> kShortCountShift) & 3);
        return true;
    }

    void emit() noexcept {
        store_sample(out_ + 2 * index_, current_);
        ++index_;
        if constexpr (kStereo) std::swap(current_, other_);
    }

    // The positions a zero code's repeat count covers read nothing and keep their own
    // channel's value; the run ends with the unit at the latest.
    void repeat(std::uint32_t count) noexcept {
        if (count == kLongCount) count = bits_.read(kLongCountBits);
        const std::uint64_t covered = std::min<std::uint64_t>(count, count_ - index_);
        for (std::uint64_t i = 0; i < covered; ++i) emit();
    }

    const DeltaTable& table_;
    BitWindow& bits_;
    std::uint32_t current_;
    std::uint32_t other_;
    std::uint8_t* out_;
    std::uint64_t index_ = 0;
    std::uint64_t count_;
};

}  // namespace

std::uint8_t code_width_for_level(std::int32_t compression_level) noexcept {
    switch (compression_level) {
        case 0: return 5;
        case 1: return 4;
        case 2: return 3;
        default: break;
    }
    if (compression_level < 0) return 3;
    // level + 3 on unsigned: it cannot overflow, and 2**32 is a multiple of 256.
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(compression_level) + 3);
}

unsigned effective_width(std::uint8_t code_width) noexcept {
    return code_width >= 3 && code_width <= 7 ? code_width : 8;
}

void decode_unit(std::span<const std::uint8_t> unit, const UnitCoding& coding,
                 std::uint32_t samples, std::span<std::uint8_t> destination) noexcept {
    assert(coding.channels == 1 || coding.channels == 2);
    const std::uint64_t count = std::min<std::uint64_t>(samples, destination.size() / 2);
    const unsigned w = effective_width(coding.code_width);
    const DeltaTable& table =
        coding.use_run_length ? table_for_width<true>(w) : table_for_width<false>(w);
    const std::size_t size = unit.size();

    // The starting values come before the first code and are not samples themselves.
    if (coding.channels == 1) {
        const std::uint32_t value = size >= 2 ? load_sample(unit.data()) : 0;
        BitWindow bits(unit, 2);
        SampleWriter<false>(table, bits, value, 0, destination.data(), count).run();
    } else {
        const std::uint32_t left = size >= 2 ? load_sample(unit.data()) : 0;
        const std::uint32_t right = size >= 4 ? load_sample(unit.data() + 2) : 0;
        BitWindow bits(unit, 4);
        SampleWriter<true>(table, bits, left, right, destination.data(), count).run();
    }
}

}  // namespace native_accel::nwa
