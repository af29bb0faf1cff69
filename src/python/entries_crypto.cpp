// Entries of the digest and cipher functions.
#include "crypto/md5.hpp"
#include "crypto/xor_cycle.hpp"
#include "python/args.hpp"
#include "python/catalogue.hpp"
#include "python/interpreter_lock.hpp"

namespace native_accel::python {
namespace {

constexpr ArgSpec kMd5Digest{"md5_digest", kDataOnly, 1};

constexpr const char* kXorParams[] = {"data", "code", "start"};
constexpr ArgSpec kXorCycle{"xor_cycle_inplace", kXorParams, 3};

PyObject* md5_digest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke<Bytes>(kMd5Digest, args, nargs, kwnames, [](ByteView data) {
        return bytes_result(
            run_unlocked_if_large(data.size(), kUnlockStream, [&] { return crypto::md5_digest(data); }));
    });
}

PyObject* xor_cycle_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return invoke<ByteArray, Bytes, U64>(
        kXorCycle, args, nargs, kwnames,
        [](const WritableBytes& data, ByteView code, std::uint64_t start) -> PyObject* {
            const bool written = with_exclusive_storage(data, [&](std::span<std::uint8_t> storage) {
                crypto::xor_cycle(storage, code, start);
            });
            return written ? none_result() : nullptr;
        });
}

}  // namespace

NATIVE_ACCEL_METHOD(xor_cycle_inplace, "(data, code, start)");

NATIVE_ACCEL_METHOD(md5_digest, "(data)");

}  // namespace native_accel::python
