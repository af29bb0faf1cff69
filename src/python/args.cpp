#include "python/args.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace native_accel::python {
namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own way of listing names.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) text += ",";
            if (i + 1 == names.size()) text += " and";
            text += " ";
        }
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

bool too_many_positional(const ArgSpec& signature, Py_ssize_t nargs) {
    const std::size_t total = signature.params.size();
    const char* verb = nargs == 1 ? "was" : "were";
    if (signature.required == total) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                     signature.function, total, nargs, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zu to %zu positional arguments but %zd %s given",
                     signature.function, signature.required, total, nargs, verb);
    }
    return false;
}

// The name of an object's type as messages show it; never fails.
std::string type_name_of(PyObject* object) {
    OwnedRef name(PyType_GetQualName(Py_TYPE(object)));
    if (name) {
        OwnedRef text(PyObject_Str(name.get()));
        if (text) {
            if (const char* utf8 = PyUnicode_AsUTF8(text.get())) return utf8;
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

bool unsigned_from_object(PyObject* object, std::uint64_t& out) {
    unsigned long long value;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        OwnedRef index(PyNumber_Index(object));
        if (!index) return false;
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool is_numpy_bool(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    OwnedRef module(PyType_GetModuleName(type));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) ||
        PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
        return false;
    }
    OwnedRef name(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(name.get()) &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

bool pair_from_item(PyObject* item, shuffle::TargetEntry& out) {
    if (!PyTuple_Check(item)) {
        type_mismatch_error(item, "tuple");
        return false;
    }
    const Py_ssize_t length = PyTuple_GET_SIZE(item);
    if (length != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                     length);
        return false;
    }
    return I32::convert(PyTuple_GET_ITEM(item, 0), out.expected_offset) &&
           I32::convert(PyTuple_GET_ITEM(item, 1), out.size);
}

}  // namespace

bool parse_arguments(const ArgSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots) {
    const std::size_t total = signature.params.size();
    const std::size_t positional = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < positional && i < total; ++i) slots[i] = args[i];
    if (positional > total) return too_many_positional(signature, nargs);

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const char* name = PyUnicode_AsUTF8(key);
        if (name == nullptr) return false;
        std::size_t match = total;
        for (std::size_t i = 0; i < total; ++i) {
            if (std::strcmp(name, signature.params[i]) == 0) {
                match = i;
                break;
            }
        }
        if (match == total) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'",
                         signature.function, name);
            return false;
        }
        if (slots[match] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         signature.function, name);
            return false;
        }
        slots[match] = args[nargs + k];
    }

    if (positional < signature.required) {
        std::vector<const char*> missing;
        for (std::size_t i = positional; i < signature.required; ++i) {
            if (slots[i] == nullptr) missing.push_back(signature.params[i]);
        }
        if (!missing.empty()) {
            const std::string list = quoted_list(missing);
            PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s",
                         signature.function, missing.size(),
                         missing.size() == 1 ? "argument" : "arguments", list.c_str());
            return false;
        }
    }
    return true;
}

bool type_mismatch_error(PyObject* object, const char* target) {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    } else {
        const std::string type = type_name_of(object);
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", type.c_str(),
                     target);
    }
    return false;
}

void wrap_argument_error(const char* name) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return;
    if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(raised);
        return;
    }
    OwnedRef original(raised);
    OwnedRef text(PyObject_Str(original.get()));
    if (!text) return;  // str() itself failed: that exception stands
    OwnedRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    OwnedRef replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    if (PyObject* cause = PyException_GetCause(original.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals the new reference
    }
    PyErr_SetRaisedException(replacement.release());
}

// ---- Converters -------------------------------------------------------------------------

bool Bytes::convert(PyObject* object, value_type& out) {
    if (!PyBytes_Check(object)) return type_mismatch_error(object, "bytes");
    out = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
           static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
    return true;
}

bool ByteArray::convert(PyObject* object, value_type& out) {
    if (!PyByteArray_Check(object)) return type_mismatch_error(object, "bytearray");
    out.owner = OwnedRef::borrow(object);
    return true;
}

bool List::convert(PyObject* object, value_type& out) {
    if (!PyList_Check(object)) return type_mismatch_error(object, "list");
    out = object;
    return true;
}

bool U64::convert(PyObject* object, value_type& out) {
    return unsigned_from_object(object, out);
}

bool U32::convert(PyObject* object, value_type& out) {
    std::uint64_t wide;
    if (!unsigned_from_object(object, wide)) return false;
    if (wide > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    out = static_cast<std::uint32_t>(wide);
    return true;
}

bool I32::convert(PyObject* object, value_type& out) {
    const int value = PyLong_AsInt(object);
    if (value == -1 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool U8::convert(PyObject* object, value_type& out) {
    std::int32_t wide;
    if (!I32::convert(object, wide)) return false;
    if (wide < 0 || wide > 255) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    out = static_cast<std::uint8_t>(wide);
    return true;
}

bool Flag::convert(PyObject* object, value_type& out) {
    if (Py_IS_TYPE(object, &PyBool_Type)) {
        out = object == Py_True;
        return true;
    }
    if (!is_numpy_bool(object)) return type_mismatch_error(object, "bool");
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                     reinterpret_cast<PyObject*>(Py_TYPE(object)));
        return false;
    }
    const int truth = number->nb_bool(object);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool Float::convert(PyObject* object, value_type& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool Pairs::convert(PyObject* object, value_type& out) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) return type_mismatch_error(object, "Sequence");
    Py_ssize_t capacity = PyObject_Size(object);
    if (capacity < 0) {
        PyErr_Clear();
        capacity = 0;
    }
    // The length only sizes the first allocation; a __len__ that overstates it must not
    // turn into a huge reservation, so the vector grows past this as items arrive.
    constexpr Py_ssize_t kMaxInitialPairs = Py_ssize_t{1} << 20;
    out.clear();
    out.reserve(static_cast<std::size_t>(std::min(capacity, kMaxInitialPairs)));
    OwnedRef iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    while (OwnedRef item{PyIter_Next(iterator.get())}) {
        shuffle::TargetEntry entry;
        if (!pair_from_item(item.get(), entry)) return false;
        out.push_back(entry);
    }
    return !PyErr_Occurred();
}

// ---- Results ----------------------------------------------------------------------------

PyObject* bytes_result(std::span<const std::uint8_t> bytes) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* none_result() { Py_RETURN_NONE; }

PyObject* u64_result(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* optional_u64_result(std::optional<std::uint64_t> value) {
    return value ? u64_result(*value) : none_result();
}

std::nullptr_t body_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
}

namespace detail {

PyObject* report_cpp_exception(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();  // a size beyond what a container can hold
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "native_accel internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "native_accel internal error");
    }
    return nullptr;
}

}  // namespace detail
}  // namespace native_accel::python
