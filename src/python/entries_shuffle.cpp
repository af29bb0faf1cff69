// Entries of the seeded shuffle and the seed search.
#include "python/catalogue.hpp"
#include "python/function.hpp"
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

// The search's view of the interpreter: the lock is let go while workers start and while
// the monitor waits between its signal checks.
class InterpreterHooks final : public shuffle::SearchHooks {
public:
    void release_interpreter() noexcept override { saved_ = PyEval_SaveThread(); }
    void reacquire_interpreter() noexcept override { PyEval_RestoreThread(saved_); }
    bool signal_raised() noexcept override { return PyErr_CheckSignals() < 0; }

private:
    PyThreadState* saved_ = nullptr;
};

PyObject* find_shuffle_seed_first_impl(const TargetPairs& targets, std::uint32_t seed0,
                                       std::optional<std::uint64_t> workers,
                                       std::optional<std::uint32_t> chunk,
                                       std::optional<double> progress_iv) {
    const shuffle::SearchRequest request{targets, seed0, workers, chunk, progress_iv};
    InterpreterHooks hooks;
    auto outcome = shuffle::find_shuffle_seed_first(request, hooks);
    if (!outcome.ok()) return body_error(outcome.error());
    switch (outcome.value().end) {
        case shuffle::SearchEnd::matched:
            return u64_result(outcome.value().seed);
        case shuffle::SearchEnd::exhausted:
            return none_result();
        case shuffle::SearchEnd::interrupted:
            return nullptr;  // the signal handler's exception is set
        case shuffle::SearchEnd::no_thread:
            break;
    }
    PyErr_SetString(PyExc_RuntimeError,
                    "find_shuffle_seed_first: could not start a worker thread");
    return nullptr;
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
