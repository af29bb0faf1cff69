// Entries of the LZSS functions.
#include "lzss/lzss.hpp"
#include "lzss/lzss32.hpp"
#include "python/args.hpp"
#include "python/catalogue.hpp"

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

PyObject* outcome_result(Outcome<ByteBuffer> outcome) {
    if (!outcome.ok()) return body_error(outcome.error());
    return bytes_result(outcome.value());
}

PyObject* lzss_pack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke<Bytes, Flag>(kLzssPack, args, nargs, kwnames, [](ByteView data, bool suppress) {
        return outcome_result(lzss::pack(data, kDefaultLevel, suppress));
    });
}

PyObject* lzss_pack_level(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return invoke<Bytes, U64, Flag>(
        kLzssPackLevel, args, nargs, kwnames,
        [](ByteView data, std::uint64_t level, bool suppress) {
            return outcome_result(lzss::pack(data, level, suppress));
        });
}

PyObject* lzss_unpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke<Bytes>(kLzssUnpack, args, nargs, kwnames,
                         [](ByteView data) { return bytes_result(lzss::unpack(data)); });
}

PyObject* lzss32_pack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke<Bytes>(kLzss32Pack, args, nargs, kwnames,
                         [](ByteView data) { return outcome_result(lzss32::pack(data)); });
}

PyObject* lzss32_unpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke<Bytes>(kLzss32Unpack, args, nargs, kwnames,
                         [](ByteView data) { return outcome_result(lzss32::unpack(data)); });
}

}  // namespace

NATIVE_ACCEL_METHOD(lzss_pack, "(data, suppress_empty_tail_group=False)");

NATIVE_ACCEL_METHOD(lzss_pack_level, "(data, level, suppress_empty_tail_group=False)");

NATIVE_ACCEL_METHOD(lzss_unpack, "(data)");

NATIVE_ACCEL_METHOD(lzss32_pack, "(data)");

NATIVE_ACCEL_METHOD(lzss32_unpack, "(data)");

}  // namespace native_accel::python
