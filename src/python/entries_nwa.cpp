// The NWA audio decoder.
#include "nwa/nwa.hpp"
#include "python/catalogue.hpp"
#include "python/function.hpp"
#include "python/interpreter_lock.hpp"

#include <algorithm>

namespace native_accel::python {
namespace {

// The result of pcm_size bytes (up to 4 GiB - 1, whatever the input's size) is created
// once the header and table have passed, and the units decode straight into its storage,
// without the interpreter lock when the work is large; a unit that fails later drops it.
// The raw case copies the PCM that follows the header the same way.
PyObject* nwa_decode_pcm_impl(ByteView data) {
    const auto planned = nwa::plan_decode(data);
    if (!planned.ok()) return body_error(planned.error());
    const nwa::DecodePlan& plan = planned.value();
    const std::size_t pcm_size = plan.header.pcm_size;
    auto decode = [&](std::span<std::uint8_t> pcm) -> Outcome<std::size_t> {
        if (plan.raw) {
            std::copy(plan.raw_pcm.begin(), plan.raw_pcm.end(), pcm.begin());
            return pcm_size;
        }
        const auto decoded = nwa::decode_units(plan, data, pcm);
        if (!decoded.ok()) return BodyError{decoded.error()};
        return pcm_size;
    };
    return bytes_built_in_place(pcm_size, data.size(), kUnlockStream, decode);
}

}  // namespace

PyMethodDef nwa_decode_pcm_method =
    declare<"nwa_decode_pcm", nwa_decode_pcm_impl>(Param<"data", Bytes>{});

}  // namespace native_accel::python
