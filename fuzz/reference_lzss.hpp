// Reference decoders of the two LZSS streams, written as the formats read: one output
// byte per copy step, the output growing by push_back and never sized from the header.
// The bodies size their buffers up front and copy whole runs where they can; the fuzz
// targets hold them to these.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "support.hpp"

namespace native_accel::fuzz {

inline std::uint32_t stream_u32(std::span<const std::uint8_t> in, std::size_t at) {
    return in[at] | in[at + 1] << 8 | in[at + 2] << 16 | static_cast<std::uint32_t>(in[at + 3]) << 24;
}

// The byte stream, leniently: a step whose source lies before the output (or at distance
// 0) appends nothing, and decoding ends where the input does.
inline Bytes reference_lzss_unpack(std::span<const std::uint8_t> in) {
    Bytes out;
    const std::size_t n = in.size();
    if (n < 8) return out;
    const std::uint64_t unpacked_size = stream_u32(in, 4);
    std::size_t i = 8;
    while (i < n && out.size() < unpacked_size) {
        const unsigned flags = in[i++];
        for (unsigned bit = 0; bit < 8 && out.size() < unpacked_size; ++bit) {
            if ((flags >> bit) & 1u) {
                if (i >= n) return out;
                out.push_back(in[i++]);
                continue;
            }
            if (i + 1 >= n) return out;
            const unsigned word = in[i] | in[i + 1] << 8;
            i += 2;
            const std::int64_t start =
                static_cast<std::int64_t>(out.size()) - static_cast<std::int64_t>(word >> 4);
            for (unsigned k = 0; k < (word & 0x0Fu) + 2 && out.size() < unpacked_size; ++k) {
                const std::int64_t s = start + k;
                if (s >= 0 && s < static_cast<std::int64_t>(out.size())) out.push_back(out[s]);
            }
        }
    }
    return out;
}

struct StrictResult {
    std::optional<std::string> error;
    Bytes out;
};

// The 4-byte-unit stream, strictly: a literal is 3 bytes and 0xFF, never cut; a
// reference copies whole units from a nonzero distance inside the output, cut at
// unpacked_size; running out of input before unpacked_size is an error.
inline StrictResult reference_lzss32_unpack(std::span<const std::uint8_t> in) {
    const std::size_t n = in.size();
    if (n < 8) return {"lzss32 short", {}};
    const std::uint64_t unpacked_size = stream_u32(in, 4);
    Bytes out;
    std::size_t i = 8;
    while (out.size() < unpacked_size) {
        if (i >= n) return {"lzss32 eof", {}};
        const unsigned flags = in[i++];
        for (unsigned bit = 0; bit < 8 && out.size() < unpacked_size; ++bit) {
            if ((flags >> bit) & 1u) {
                if (i + 3 > n) return {"lzss32 eof", {}};
                out.insert(out.end(), {in[i], in[i + 1], in[i + 2], 0xFF});
                i += 3;
                continue;
            }
            if (i + 2 > n) return {"lzss32 eof", {}};
            const unsigned word = in[i] | in[i + 1] << 8;
            const std::size_t distance = (word >> 4) * std::size_t{4};
            if (distance == 0) return {"lzss32 off0", {}};
            if (distance > out.size()) return {"lzss32 back", {}};
            for (unsigned k = 0; k < ((word & 0x0Fu) + 1) * 4 && out.size() < unpacked_size; ++k) {
                out.push_back(out[out.size() - distance]);
            }
            i += 2;
        }
    }
    return {std::nullopt, out};
}

}  // namespace native_accel::fuzz
