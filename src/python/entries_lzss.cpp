// The LZSS functions. Every body reads only its bytes argument and writes only into the new
// result, so it runs without the interpreter lock when the work is large.
#include "lzss/lzss.hpp"
#include "lzss/lzss32.hpp"
#include "python/catalogue.hpp"
#include "python/function.hpp"
#include "python/interpreter_lock.hpp"

namespace native_accel::python {
namespace {

// lzss_pack is the encoder at this level.
constexpr std::uint64_t kDefaultLevel = 17;

PyObject* lzss_pack_level_impl(ByteView data, std::uint64_t level, bool suppress) {
    return bytes_built_in_place(
        lzss::pack_bound(data.size()), data.size(), kUnlockEncoder,
        [&](std::span<std::uint8_t> out) { return lzss::pack_into(data, level, suppress, out); });
}

PyObject* lzss_pack_impl(ByteView data, bool suppress) {
    return lzss_pack_level_impl(data, kDefaultLevel, suppress);
}

PyObject* lzss_unpack_impl(ByteView data) {
    return bytes_built_in_place(lzss::unpack_bound(data), data.size(), kUnlockStream,
                                [&](std::span<std::uint8_t> out) { return lzss::unpack_into(data, out); });
}

PyObject* lzss32_pack_impl(ByteView data) {
    return bytes_built_in_place(lzss32::pack_bound(data.size()), data.size(), kUnlockEncoder,
                                [&](std::span<std::uint8_t> out) { return lzss32::pack_into(data, out); });
}

PyObject* lzss32_unpack_impl(ByteView data) {
    return bytes_built_in_place(lzss32::unpack_bound(data), data.size(), kUnlockStream,
                                [&](std::span<std::uint8_t> out) { return lzss32::unpack_into(data, out); });
}

}  // namespace

PyMethodDef lzss_pack_method = declare<"lzss_pack", lzss_pack_impl>(
    Param<"data", Bytes>{}, Param<"suppress_empty_tail_group", Flag, DefaultFalse>{});

PyMethodDef lzss_pack_level_method = declare<"lzss_pack_level", lzss_pack_level_impl>(
    Param<"data", Bytes>{}, Param<"level", U64>{},
    Param<"suppress_empty_tail_group", Flag, DefaultFalse>{});

PyMethodDef lzss_unpack_method =
    declare<"lzss_unpack", lzss_unpack_impl>(Param<"data", Bytes>{});

PyMethodDef lzss32_pack_method =
    declare<"lzss32_pack", lzss32_pack_impl>(Param<"data", Bytes>{});

PyMethodDef lzss32_unpack_method =
    declare<"lzss32_unpack", lzss32_unpack_impl>(Param<"data", Bytes>{});

}  // namespace native_accel::python
