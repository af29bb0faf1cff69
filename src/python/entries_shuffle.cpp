// Entries of the seeded shuffle and the seed search.
#include "python/catalogue.hpp"
#include "python/function.hpp"
#include "python/interpreter_lock.hpp"
#include "shuffle/msvc_rand.hpp"
#include "shuffle/seed_search.hpp"

#include <cstdint>
#include <utility>

namespace native_accel::python {
namespace {

// Positions and bounds are 32-bit; a longer list would wrap its bounds.
constexpr const char* kListTooLong = "a must have fewer than 2**32 elements";

PyObject* msvcrand_shuffle_inplace_impl(std::uint32_t state, PyObject* list) {
    std::uint32_t final_state = state;
    bool too_long = false;
    // The elements are exchanged in the list's own storage; no Python code runs while
    // the list is permuted, and a free-threaded build holds its critical section.
    Py_BEGIN_CRITICAL_SECTION(list);
    const Py_ssize_t length = PyList_GET_SIZE(list);
    if (static_cast<std::uint64_t>(length) > UINT32_MAX) {
        too_long = true;
    } else {
        PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
        final_state = shuffle::msvc_shuffle(
            state, static_cast<std::uint32_t>(length),
            [items](std::uint32_t p, std::uint32_t j) { std::swap(items[p], items[j]); });
    }
    Py_END_CRITICAL_SECTION();
    if (too_long) return body_error(kListTooLong);
    return u64_result(final_state);
}

// Bounds and positions are 32-bit; a longer list would wrap them.
constexpr const char* kTooManyTargets = "target_idx must have fewer than 2**32 entries";

// The monitor: the calling thread waits out the search's rounds without the interpreter
// lock, so that other Python threads run meanwhile, and takes it back after each round to
// run the signal handlers, so that Ctrl-C ends the search within a round. Returns false with
// the handler's exception set when one raised; the workers are then stopped and joined.
bool monitor(shuffle::SeedSearch& search) {
    for (;;) {
        bool running = false;
        {
            const ReleasedLock released(true);
            running = search.wait_round();
        }
        if (!running) return true;
        if (PyErr_CheckSignals() < 0) {
            const ReleasedLock released(true);
            search.stop();
            return false;
        }
    }
}

PyObject* find_shuffle_seed_first_impl(const TargetPairs& targets, std::uint32_t seed0,
                                       std::optional<std::uint64_t> workers,
                                       std::optional<std::uint32_t> chunk,
                                       std::optional<double> progress_iv) {
    if (targets.size() > UINT32_MAX) return body_error(kTooManyTargets);
    shuffle::SeedSearch search({targets, seed0, workers, chunk, progress_iv});
    bool started = false;
    {
        const ReleasedLock released(true);
        started = search.start();
    }
    if (!started) {
        PyErr_SetString(PyExc_RuntimeError,
                        "find_shuffle_seed_first: could not start a worker thread");
        return nullptr;
    }
    if (!monitor(search)) return nullptr;
    return optional_u64_result(search.finish());
}

}  // namespace

PyMethodDef msvcrand_shuffle_inplace_method =
    declare<"msvcrand_shuffle_inplace", msvcrand_shuffle_inplace_impl>(
        Param<"state", U32>{}, Param<"a", List>{});

PyMethodDef find_shuffle_seed_first_method =
    declare<"find_shuffle_seed_first", find_shuffle_seed_first_impl>(
        Param<"target_idx", Pairs>{}, Param<"seed0", U32>{}, Param<"workers", OrNone<U64>>{},
        Param<"chunk", OrNone<U32>>{}, Param<"progress_iv", OrNone<Float>>{});

}  // namespace native_accel::python
