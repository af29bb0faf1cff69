#include "nwa/nwa.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/little_endian.hpp"
#include "nwa/unit_decoder.hpp"

namespace native_accel::nwa {
namespace {

using little_endian::load16;
using little_endian::load32;

NwaHeader read_header(const std::uint8_t* at) noexcept {
    NwaHeader header{};
    header.channels = load16(at + 0);
    header.bits_per_sample = load16(at + 2);
    header.compression_level = static_cast<std::int32_t>(load32(at + 8));
    header.use_run_length = load32(at + 12);
    header.unit_count = load32(at + 16);
    header.pcm_size = load32(at + 20);
    header.unit_samples = load32(at + 32);
    header.last_unit_samples = load32(at + 36);
    header.last_unit_size = load32(at + 40);
    return header;
}

// Where unit m's bytes lie in the file, in 64 bits so that no end wraps.
struct UnitSpan {
    std::uint64_t start;
    std::uint64_t end;
    std::uint32_t samples;
};

UnitSpan unit_span(const DecodePlan& plan, std::uint32_t m) noexcept {
    const NwaHeader& header = plan.header;
    const std::uint8_t* entry = plan.unit_table.data() + kTableEntrySize * std::size_t{m};
    const std::uint64_t start = load32(entry);
    if (m + std::uint64_t{1} < header.unit_count) {
        return {start, load32(entry + kTableEntrySize), header.unit_samples};
    }
    return {start, start + header.last_unit_size, header.last_unit_samples};
}

}  // namespace

Outcome<DecodePlan> plan_decode(std::span<const std::uint8_t> file) {
    if (file.size() < kHeaderSize) return BodyError{"NWA header truncated"};
    DecodePlan plan{read_header(file.data()), false, {}, {}};
    const NwaHeader& header = plan.header;
    // bits_per_sample is tested before channels: a file wrong in both reports the former.
    if (header.bits_per_sample != 16) {
        return BodyError{"Unsupported NWA bits_per_sample: " +
                         std::to_string(header.bits_per_sample)};
    }
    if (header.channels != 1 && header.channels != 2) {
        return BodyError{"Unsupported NWA channels: " + std::to_string(header.channels)};
    }
    const std::uint64_t body_size = file.size() - kHeaderSize;
    if (header.compression_level == kRawPcmLevel) {
        if (body_size < header.pcm_size) return BodyError{"NWA raw PCM truncated"};
        plan.raw = true;
        plan.raw_pcm = file.subspan(kHeaderSize, header.pcm_size);
        return plan;
    }
    const std::uint64_t table_size = kTableEntrySize * std::uint64_t{header.unit_count};
    if (body_size < table_size) return BodyError{"NWA table truncated"};
    plan.unit_table = file.subspan(kHeaderSize, static_cast<std::size_t>(table_size));
    return plan;
}

Outcome<std::monostate> decode_units(const DecodePlan& plan, std::span<const std::uint8_t> file,
                                     std::span<std::uint8_t> pcm) {
    const NwaHeader& header = plan.header;
    const UnitCoding coding{header.channels, code_width_for_level(header.compression_level),
                            header.use_run_length != 0};
    const std::uint64_t pcm_size = pcm.size();
    std::uint64_t written = 0;
    for (std::uint32_t m = 0; m < header.unit_count; ++m) {
        // Every unit whose turn comes is checked, even one that comes when the result is
        // already full; the units after it are not looked at.
        const UnitSpan span = unit_span(plan, m);
        if (span.end < span.start || span.end > file.size()) {
            return BodyError{"Invalid NWA unit offsets"};
        }
        if (written >= pcm_size) break;
        const std::uint64_t take = std::min(pcm_size - written, 2 * std::uint64_t{span.samples});
        if (take == 0) break;  // a unit of 0 samples ends the decoding
        decode_unit(file.subspan(span.start, span.end - span.start), coding, span.samples,
                    pcm.subspan(written, take));
        written += take;
    }
    // Every take but the last is 2 * samples, an even count of bytes, all of them written.
    // A last odd take leaves its final byte unwritten: it is zero like the tail no unit
    // reached.
    const std::uint64_t samples_end = written & ~std::uint64_t{1};
    if (samples_end < pcm_size) std::memset(pcm.data() + samples_end, 0, pcm_size - samples_end);
    return std::monostate{};
}

}  // namespace native_accel::nwa
