// nwa_decode_pcm on arbitrary files, against a reference decoder that reads every field
// through a two-byte window as the format describes it: the low bits first, a byte past
// the unit's end reading as zero. The body decodes through a 64-bit window with a table
// lookup per code and refills that overlap; both must give the same PCM, or the same
// error message, for every input. The result buffer sits between poisoned guards and
// starts as 0xCC, so a byte that decoding forgets to write (it must be zero) shows too.
#include "nwa/nwa.hpp"
#include "nwa/unit_decoder.hpp"
#include "support.hpp"

#include <algorithm>
#include <optional>
#include <string>

namespace {

using native_accel::fuzz::Bytes;

// pcm_size decides the size of the result whatever the input holds; the harness keeps it
// below this so that one case costs milliseconds, not a 4 GiB allocation.
constexpr std::uint32_t kMaxPcmSize = 1 << 16;

std::uint32_t u32_at(std::span<const std::uint8_t> f, std::size_t at) {
    return f[at] | f[at + 1] << 8 | f[at + 2] << 16 | static_cast<std::uint32_t>(f[at + 3]) << 24;
}

struct Reader {
    std::span<const std::uint8_t> unit;
    std::uint64_t position;
    unsigned bit = 0;

    std::uint32_t read(unsigned n) {
        const std::uint32_t lo = position < unit.size() ? unit[position] : 0;
        const std::uint32_t hi = position + 1 < unit.size() ? unit[position + 1] : 0;
        const std::uint32_t result = ((hi * 256 + lo) >> bit) & ((1u << n) - 1);
        bit += n;
        position += bit / 8;
        bit %= 8;
        return result;
    }
};

void apply_delta(std::uint32_t& value, unsigned w, unsigned code, Reader& bits) {
    static constexpr unsigned kCode7Bits[9] = {0, 0, 0, 6, 7, 8, 8, 8, 8};
    static constexpr unsigned kCode7Shift[9] = {0, 0, 0, 11, 10, 9, 9, 9, 9};
    static constexpr unsigned kShiftBase[9] = {0, 0, 0, 4, 3, 2, 1, 1, 1};
    const unsigned b = code == 7 ? kCode7Bits[w] : w;
    const unsigned s = code == 7 ? kCode7Shift[w] : code + kShiftBase[w];
    const std::uint32_t m = bits.read(b);
    const std::uint32_t delta = (m & ~(1u << (b - 1))) << s;
    value = (m >> (b - 1)) & 1 ? value - delta : value + delta;  // wraps at 2^32
}

void reference_unit(std::span<const std::uint8_t> unit, unsigned channels, unsigned w,
                    bool run_length, std::uint64_t samples, std::uint8_t* out) {
    std::uint32_t value[2] = {0, 0};
    auto s16 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<std::int16_t>(unit[at] | unit[at + 1] << 8));
    };
    if (channels == 1) {
        if (unit.size() >= 2) value[0] = s16(0);
    } else if (unit.size() >= 2) {
        value[0] = s16(0);
        if (unit.size() >= 4) value[1] = s16(2);
    }
    Reader bits{unit, channels == 1 ? 2u : 4u};
    unsigned run = 0;
    for (std::uint64_t i = 0; i < samples; ++i) {
        std::uint32_t& v = value[channels == 2 ? i % 2 : 0];
        if (run > 0) {
            --run;
        } else if (const unsigned code = bits.read(3); code == 0) {
            if (run_length && bits.read(1) == 1) {
                run = bits.read(2);
                if (run == 3) run = bits.read(8);
            }
        } else if (code < 7) {
            apply_delta(v, w, code, bits);
        } else if (bits.read(1) == 1) {
            v = 0;
        } else {
            apply_delta(v, w, 7, bits);
        }
        out[2 * i] = static_cast<std::uint8_t>(v);
        out[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
    }
}

struct Decoded {
    std::optional<std::string> error;
    Bytes pcm;
};

Decoded reference_decode(std::span<const std::uint8_t> f) {
    const std::size_t n = f.size();
    if (n < 44) return {"NWA header truncated", {}};
    const unsigned channels = f[0] | f[1] << 8;
    const unsigned bits_per_sample = f[2] | f[3] << 8;
    const auto level = static_cast<std::int32_t>(u32_at(f, 8));
    const bool run_length = u32_at(f, 12) != 0;
    const std::uint64_t units = u32_at(f, 16), pcm_size = u32_at(f, 20);
    if (bits_per_sample != 16) {
        return {"Unsupported NWA bits_per_sample: " + std::to_string(bits_per_sample), {}};
    }
    if (channels != 1 && channels != 2) {
        return {"Unsupported NWA channels: " + std::to_string(channels), {}};
    }
    if (level == -1) {
        if (n < 44 + pcm_size) return {"NWA raw PCM truncated", {}};
        return {std::nullopt, Bytes(f.begin() + 44, f.begin() + 44 + pcm_size)};
    }
    if (n < 44 + 4 * units) return {"NWA table truncated", {}};
    unsigned code_width = level == 0 ? 5 : level == 1 ? 4 : level == 2 || level < 0 ? 3
                                         : (static_cast<unsigned>(level) + 3) % 256;
    const unsigned w = code_width >= 3 && code_width <= 7 ? code_width : 8;
    Bytes pcm(pcm_size, 0);
    std::uint64_t written = 0;
    for (std::uint64_t m = 0; m < units; ++m) {
        const std::uint64_t start = u32_at(f, 44 + 4 * m);
        const bool last = m + 1 == units;
        const std::uint64_t end = last ? start + u32_at(f, 40) : u32_at(f, 44 + 4 * (m + 1));
        const std::uint64_t samples = u32_at(f, last ? 36 : 32);
        if (end < start || end > n) return {"Invalid NWA unit offsets", {}};
        if (written >= pcm_size) break;
        const std::uint64_t take = std::min(pcm_size - written, 2 * samples);
        if (take == 0) break;
        reference_unit(f.subspan(start, end - start), channels, w, run_length, take / 2,
                       pcm.data() + written);
        written += take;
    }
    return {std::nullopt, pcm};
}

// A compressed file: header fields, the offset table, then the units back to back.
Bytes nwa_file(std::uint16_t channels, std::int32_t level, std::uint32_t run_length,
               std::uint32_t pcm_size, std::uint32_t unit_samples,
               std::uint32_t last_unit_samples, const std::vector<Bytes>& units) {
    Bytes out;
    out.push_back(static_cast<std::uint8_t>(channels));
    out.push_back(0);
    out.push_back(16);
    out.push_back(0);
    for (std::uint32_t v : {0u, static_cast<std::uint32_t>(level), run_length,
                            static_cast<std::uint32_t>(units.size()), pcm_size, 0u, 0u,
                            unit_samples, last_unit_samples,
                            units.empty() ? 0u : static_cast<std::uint32_t>(units.back().size())}) {
        native_accel::fuzz::append_u32_le(out, v);
    }
    std::uint32_t offset = static_cast<std::uint32_t>(44 + 4 * units.size());
    for (const Bytes& unit : units) {
        native_accel::fuzz::append_u32_le(out, offset);
        offset += static_cast<std::uint32_t>(unit.size());
    }
    for (const Bytes& unit : units) out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

std::vector<Bytes> seeds() {
    std::vector<Bytes> out = {
        nwa_file(1, 0, 0, 8, 2, 2, {{0x64, 0x00, 0x19, 0x00}, {0x10, 0x00, 0x99, 0x00}}),
        nwa_file(2, 0, 1, 8, 4, 2, {{0x0A, 0x00, 0x14, 0x00, 0x58, 0x02}, {0x10, 0x00}}),
        nwa_file(1, 0, 1, 16, 8, 8, {{0x01, 0x00, 0x78, 0x41, 0x02}}),
    };
    // Noise-like units at every width, mono and stereo, with and without run lengths.
    for (std::int32_t level : {-2, 0, 1, 2, 3, 4, 5, 256}) {
        for (std::uint16_t channels : {1, 2}) {
            std::vector<Bytes> units;
            for (std::uint8_t u = 0; u < 3; ++u) {
                units.push_back(native_accel::fuzz::pattern_bytes(150, static_cast<std::uint8_t>(level + u)));
            }
            out.push_back(nwa_file(channels, level, level & 1, 1200, 200, 150, units));
        }
    }
    Bytes raw = nwa_file(2, -1, 0, 6, 0, 0, {});
    raw.insert(raw.end(), {1, 2, 3, 4, 5, 6, 7});
    out.push_back(raw);
    return out;
}

}  // namespace

// 8 KiB: a header, a table of a few hundred units and their bytes.
NATIVE_ACCEL_FUZZ_SEEDS(seeds, 8192)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes file(data, data + size);
    if (file.size() >= 24) {
        const std::uint32_t pcm_size = u32_at(file, 20) % (kMaxPcmSize + 1);
        for (int k = 0; k < 4; ++k) file[20 + k] = static_cast<std::uint8_t>(pcm_size >> (8 * k));
    }
    const Decoded expected = reference_decode(file);

    const auto plan = native_accel::nwa::plan_decode(file);
    if (!plan.ok()) {
        FUZZ_CHECK(expected.error && *expected.error == plan.error());
        return 0;
    }
    if (plan.value().raw) {
        const auto pcm = plan.value().raw_pcm;
        FUZZ_CHECK(!expected.error && std::ranges::equal(pcm, expected.pcm));
        return 0;
    }
    const Bytes unwritten(plan.value().header.pcm_size, 0xCC);
    native_accel::fuzz::GuardedBuffer pcm(unwritten);
    const auto decoded = native_accel::nwa::decode_units(plan.value(), file, pcm.span());
    FUZZ_CHECK(pcm.intact());
    if (!decoded.ok()) {
        FUZZ_CHECK(expected.error && *expected.error == decoded.error());
        return 0;
    }
    FUZZ_CHECK(!expected.error);
    FUZZ_CHECK(std::ranges::equal(pcm.span(), expected.pcm));
    return 0;
}
