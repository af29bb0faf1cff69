// The argument layer: matching a vectorcall's arguments to a function's parameters,
// converting each one to the plain value its body takes, and reporting every failure with
// the module's fixed messages. Functions are declared with these converters as their
// parameters' kinds in function.hpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/outcome.hpp"
#include "shuffle/target_entry.hpp"

namespace native_accel::python {

// A strong reference with exactly one owner.
class OwnedRef {
public:
    OwnedRef() noexcept = default;
    explicit OwnedRef(PyObject* stolen) noexcept : object_(stolen) {}
    static OwnedRef borrow(PyObject* object) noexcept { return OwnedRef(Py_XNewRef(object)); }
    OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = other.release();
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// A function's parameters: its name for messages, every parameter name in signature
// order, and how many of them (counted from the first) are required. There are no
// positional-only or keyword-only parameters in this module.
struct ArgSpec {
    const char* function;
    std::span<const char* const> params;
    std::size_t required;
};

// Fills slots[0 .. signature.params.size()) with borrowed references (or nullptr for a
// parameter that was not passed). Returns false with TypeError set on a mismatch.
bool parse_arguments(const ArgSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots);

// TypeError "'{type}' object is not an instance of '{target}'" (or the None form).
// Always returns false so that it can end a converter directly.
bool type_mismatch_error(PyObject* object, const char* target);

// Rewrites the pending exception, when it is exactly TypeError, as
// "argument '{name}': {text}", keeping only its __cause__.
void wrap_argument_error(const char* name);

using ByteView = std::span<const std::uint8_t>;

// A bytearray argument: the layer's own reference, held for the call. Its storage is
// taken only when the body writes (with_exclusive_storage), under a buffer export, so
// that no resize can slip between conversion and the write.
struct WritableBytes {
    OwnedRef owner;
};

// target_idx: each pair (expected_offset, size) becomes the search's own entry.
using TargetPairs = std::vector<shuffle::TargetEntry>;

// ---- Converters -------------------------------------------------------------------------
// Each kind names the value its body receives and converts one object; on failure it
// returns false with an exception set (the caller adds the parameter name).

struct Bytes {
    using value_type = ByteView;
    static bool convert(PyObject* object, value_type& out);
};
struct ByteArray {
    using value_type = WritableBytes;
    static bool convert(PyObject* object, value_type& out);
};
struct List {
    using value_type = PyObject*;  // borrowed: the caller's argument array keeps it alive
    static bool convert(PyObject* object, value_type& out);
};
struct U64 {
    using value_type = std::uint64_t;
    static bool convert(PyObject* object, value_type& out);
};
struct U32 {
    using value_type = std::uint32_t;
    static bool convert(PyObject* object, value_type& out);
};
struct I32 {
    using value_type = std::int32_t;
    static bool convert(PyObject* object, value_type& out);
};
struct U8 {
    using value_type = std::uint8_t;
    static bool convert(PyObject* object, value_type& out);
};
struct Flag {
    using value_type = bool;
    static bool convert(PyObject* object, value_type& out);
};
struct Float {
    using value_type = double;
    static bool convert(PyObject* object, value_type& out);
};
struct Pairs {
    using value_type = TargetPairs;
    static bool convert(PyObject* object, value_type& out);
};
// None means absent; anything else goes through the kind's converter.
template <class Kind>
struct OrNone {
    using value_type = std::optional<typename Kind::value_type>;
    static bool convert(PyObject* object, value_type& out) {
        if (object == Py_None) {
            out.reset();
            return true;
        }
        typename Kind::value_type value{};
        if (!Kind::convert(object, value)) return false;
        out = std::move(value);
        return true;
    }
};

// ---- Results ----------------------------------------------------------------------------

PyObject* bytes_result(std::span<const std::uint8_t> bytes);
PyObject* none_result();
PyObject* u64_result(std::uint64_t value);
PyObject* optional_u64_result(std::optional<std::uint64_t> value);
// A body's error message becomes ValueError with exactly that text.
std::nullptr_t body_error(const std::string& message);

namespace detail {
// Failures that no argument can cause still surface as Python exceptions, never as a
// C++ exception crossing into the interpreter.
PyObject* report_cpp_exception(std::exception_ptr error);
}  // namespace detail

}  // namespace native_accel::python
