// Entries of the seeded shuffle and the seed search.
#include "python/args.hpp"
#include "python/catalogue.hpp"
#include "shuffle/msvc_rand.hpp"
#include "shuffle/seed_search.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace native_accel::python {
namespace {

constexpr const char* kShuffleParams[] = {"state", "a"};
constexpr ArgSpec kShuffle{"msvcrand_shuffle_inplace", kShuffleParams, 2};

constexpr const char* kSearchParams[] = {"target_idx", "seed0", "workers", "chunk",
                                         "progress_iv"};
constexpr ArgSpec kSearch{"find_shuffle_seed_first", kSearchParams, 5};

// Positions and bounds are 32-bit; a longer list would wrap its bounds.
constexpr const char* kListTooLong = "a must have fewer than 2**32 elements";

PyObject* msvcrand_shuffle_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return invoke<U32, List>(kShuffle, args, nargs, kwnames,
                             [](std::uint32_t state, PyObject* list) -> PyObject* {
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
    });
}

// The search's view of the interpreter: the lock is let go only while workers start.
class InterpreterHooks final : public shuffle::SearchHooks {
public:
    void release_interpreter() noexcept override { saved_ = PyEval_SaveThread(); }
    void reacquire_interpreter() noexcept override { PyEval_RestoreThread(saved_); }
    bool signal_raised() noexcept override { return PyErr_CheckSignals() < 0; }

private:
    PyThreadState* saved_ = nullptr;
};

PyObject* find_shuffle_seed_first(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return invoke<Pairs, U32, OrNone<U64>, OrNone<U32>, OrNone<Float>>(
        kSearch, args, nargs, kwnames,
        [](const TargetPairs& targets, std::uint32_t seed0, std::optional<std::uint64_t> workers,
           std::optional<std::uint32_t> chunk, std::optional<double> progress_iv) -> PyObject* {
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
        });
}

}  // namespace

NATIVE_ACCEL_METHOD(msvcrand_shuffle_inplace, "(state, a)");

NATIVE_ACCEL_METHOD(find_shuffle_seed_first, "(target_idx, seed0, workers, chunk, progress_iv)");

}  // namespace native_accel::python
