// Entries of the LZSS functions.
#include "lzss/lzss.hpp"
#include "lzss/lzss32.hpp"
#include "python/args.hpp"
#include "python/catalogue.hpp"
#include "python/interpreter_lock.hpp"

namespace native_accel::python {
namespace {

constexpr const char* kPackParams[] = {"data", "suppress_empty_tail_group"};
constexpr const char* kPackLevelParams[] = {"data", "level", "suppress_empty_tail_group"};

constexpr ArgSpec kLzssPack{"lzss_pack", kPackParams, 1};
constexpr ArgSpec kLzssPackLevel{"lzss_pack_level", kPackLevelParams, 2};
constexpr ArgSpec kLzssUnpack{"lzss_unpack", kDataOnly, 1};
constexpr ArgSpec kLzss32Pack{"lzss32_pack", kDataOnly, 1};
constexpr ArgSpec kLzss32Unpack{"lzss32_unpack", kDataOnly, 1};

// lzss_pack is the encoder at this level.
constexpr std::uint64_t kDefaultLevel = 17;

// Every LZSS body reads only its bytes argument and writes only into the new result, so it
// runs without the interpreter lock when the work is large.
PyObject* lzss_pack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke<Bytes, Flag>(kLzssPack, args, nargs, kwnames, [](ByteView data, bool suppress) {
        return bytes_built_in_place(
            lzss::pack_bound(data.size()), data.size(), kUnlockEncoder,
            [&](auto out) { return lzss::pack_into(data, kDefaultLevel, suppress, out); });
    });
}

PyObject* lzss_pack_level(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return invoke<Bytes, U64, Flag>(
        kLzssPackLevel, args, nargs, kwnames,
        [](ByteView data, std::uint64_t level, bool suppress) {
            return bytes_built_in_place(
                lzss::pack_bound(data.size()), data.size(), kUnlockEncoder,
                [&](auto out) { return lzss::pack_into(data, level, suppress, out); });
        });
}

PyObject* lzss_unpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke<Bytes>(kLzssUnpack, args, nargs, kwnames, [](ByteView data) {
        return bytes_built_in_place(lzss::unpack_bound(data), data.size(), kUnlockStream,
                                    [&](auto out) { return lzss::unpack_into(data, out); });
    });
}

PyObject* lzss32_pack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke<Bytes>(kLzss32Pack, args, nargs, kwnames, [](ByteView data) {
        return bytes_built_in_place(lzss32::pack_bound(data.size()), data.size(), kUnlockEncoder,
                                    [&](auto out) { return lzss32::pack_into(data, out); });
    });
}

PyObject* lzss32_unpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke<Bytes>(kLzss32Unpack, args, nargs, kwnames, [](ByteView data) {
        return bytes_built_in_place(lzss32::unpack_bound(data), data.size(), kUnlockStream,
                                    [&](auto out) { return lzss32::unpack_into(data, out); });
    });
}

}  // namespace

NATIVE_ACCEL_METHOD(lzss_pack, "(data, suppress_empty_tail_group=False)");

NATIVE_ACCEL_METHOD(lzss_pack_level, "(data, level, suppress_empty_tail_group=False)");

NATIVE_ACCEL_METHOD(lzss_unpack, "(data)");

NATIVE_ACCEL_METHOD(lzss32_pack, "(data)");

NATIVE_ACCEL_METHOD(lzss32_unpack, "(data)");

}  // namespace native_accel::python
