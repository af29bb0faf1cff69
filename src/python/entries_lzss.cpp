// Entries of the LZSS functions.
#include "lzss/lzss.hpp"
#include "python/args.hpp"
#include "python/catalogue.hpp"

namespace native_accel::python {
namespace {

constexpr const char* kDataOnly[] = {"data"};
constexpr ArgSpec kLzssUnpack{"lzss_unpack", kDataOnly, 1};

PyObject* lzss_unpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke<Bytes>(kLzssUnpack, args, nargs, kwnames,
                         [](ByteView data) { return bytes_result(lzss::unpack(data)); });
}

}  // namespace

PyMethodDef lzss_unpack_method = {
    "lzss_unpack", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lzss_unpack)),
    kEntryFlags, NATIVE_ACCEL_SIGNATURE("lzss_unpack", "(data)")};

}  // namespace native_accel::python
