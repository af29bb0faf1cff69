// Entry of the NWA audio decoder.
#include "nwa/nwa.hpp"
#include "python/args.hpp"
#include "python/catalogue.hpp"

namespace native_accel::python {
namespace {

constexpr ArgSpec kNwaDecodePcm{"nwa_decode_pcm", kDataOnly, 1};

// The compressed case decodes straight into the storage of the bytes object it returns:
// the object of pcm_size bytes (up to 4 GiB - 1, whatever the input's size) is created
// once the header and table have passed, and a unit that fails later drops it again.
PyObject* decode_into_new_bytes(const nwa::DecodePlan& plan, ByteView data) {
    const std::uint32_t pcm_size = plan.header.pcm_size;
    if (static_cast<std::uint64_t>(pcm_size) > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        return PyErr_NoMemory();
    }
    OwnedRef result(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(pcm_size)));
    if (!result) return nullptr;  // MemoryError is set
    const std::span<std::uint8_t> pcm{
        reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result.get())), pcm_size};
    const auto decoded = nwa::decode_units(plan, data, pcm);
    if (!decoded.ok()) return body_error(decoded.error());
    return result.release();
}

PyObject* nwa_decode_pcm(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke<Bytes>(kNwaDecodePcm, args, nargs, kwnames, [](ByteView data) -> PyObject* {
        auto plan = nwa::plan_decode(data);
        if (!plan.ok()) return body_error(plan.error());
        if (plan.value().raw) return bytes_result(plan.value().raw_pcm);
        return decode_into_new_bytes(plan.value(), data);
    });
}

}  // namespace

NATIVE_ACCEL_METHOD(nwa_decode_pcm, "(data)");

}  // namespace native_accel::python
