// The NWA audio file: a 44-byte header, all fields little-endian,
//
//     0  u16 channels (1 or 2)        20  u32 pcm_size (bytes of decoded PCM)
//     2  u16 bits_per_sample (16)     24  (unused)
//     4  (unused)                     28  (unused)
//     8  i32 compression_level        32  u32 unit_samples (every unit but the last)
//    12  u32 use_run_length           36  u32 last_unit_samples
//    16  u32 unit_count               40  u32 last_unit_size (bytes of the last unit)
//
// then, unless compression_level is -1 (raw PCM right after the header), a table of
// unit_count u32 absolute offsets of the compressed units. Unit m spans
// [table[m], table[m + 1]), the last one [table[m], table[m] + last_unit_size).
// Samples count both channels; the PCM is signed 16-bit little-endian, interleaved.
//
// Decoding runs in two phases so that the caller can allocate the result between them:
// plan_decode() validates what can be validated before anything is allocated (header,
// raw size, table size), then decode_units() walks the units into a result of exactly
// pcm_size bytes. A unit's span is checked only when its turn comes, so decode_units()
// can still fail; the result must then be discarded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "common/outcome.hpp"

namespace native_accel::nwa {

inline constexpr std::size_t kHeaderSize = 44;
inline constexpr std::size_t kTableEntrySize = 4;
inline constexpr std::int32_t kRawPcmLevel = -1;

struct NwaHeader {
    std::uint16_t channels;
    std::uint16_t bits_per_sample;
    std::int32_t compression_level;
    std::uint32_t use_run_length;
    std::uint32_t unit_count;
    std::uint32_t pcm_size;
    std::uint32_t unit_samples;
    std::uint32_t last_unit_samples;
    std::uint32_t last_unit_size;
};

struct DecodePlan {
    NwaHeader header;
    // The raw case: the bytes that are the result, as they are. Empty otherwise.
    bool raw;
    std::span<const std::uint8_t> raw_pcm;
    // The compressed case: the unit offset table, read in place from the file.
    std::span<const std::uint8_t> unit_table;
};

Outcome<DecodePlan> plan_decode(std::span<const std::uint8_t> file);

// Decodes the units of a compressed plan into `pcm` (pcm.size() == pcm_size) and writes
// every byte of it: the samples the units give, and zeros where no unit wrote.
Outcome<std::monostate> decode_units(const DecodePlan& plan, std::span<const std::uint8_t> file,
                                     std::span<std::uint8_t> pcm);

}  // namespace native_accel::nwa
