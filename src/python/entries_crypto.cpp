// The digest and the cyclic XOR.
#include "crypto/md5.hpp"
#include "crypto/xor_cycle.hpp"
#include "python/catalogue.hpp"
#include "python/function.hpp"
#include "python/interpreter_lock.hpp"

namespace native_accel::python {
namespace {

PyObject* md5_digest_impl(ByteView data) {
    return bytes_result(
        run_unlocked_if_large(data.size(), kUnlockStream, [&] { return crypto::md5_digest(data); }));
}

PyObject* xor_cycle_inplace_impl(const WritableBytes& data, ByteView code, std::uint64_t start) {
    const bool written = with_exclusive_storage(
        data, [&](std::span<std::uint8_t> storage) { crypto::xor_cycle(storage, code, start); });
    return written ? none_result() : nullptr;
}

}  // namespace

PyMethodDef xor_cycle_inplace_method = declare<"xor_cycle_inplace", xor_cycle_inplace_impl>(
    Param<"data", ByteArray>{}, Param<"code", Bytes>{}, Param<"start", U64>{});

PyMethodDef md5_digest_method = declare<"md5_digest", md5_digest_impl>(Param<"data", Bytes>{});

}  // namespace native_accel::python
