// One declaration per module function: its name, and each parameter once, with its name,
// its converter and its default. Everything else follows from that declaration at compile
// time: the names the parser matches keywords against, how many parameters are required,
// the text signature (defaults included) that the interpreter shows, the kinds converted
// in signature order, and a check that the body takes exactly what those kinds produce.
// The body (the `_impl` function) sees only converted C++ values:
//
//     PyObject* md5_digest_impl(ByteView data) { ... }
//
//     PyMethodDef md5_digest_method =
//         declare<"md5_digest", md5_digest_impl>(Param<"data", Bytes>{});
//
// The call runs the same sequence for every function: match the arguments, convert them
// one by one in signature order, run the body. The first failure ends the call: later
// parameters are not converted and the body does not run, so nothing is ever written to a
// mutable argument by a call that fails in argument handling.
#pragma once

#include "python/args.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <exception>
#include <tuple>
#include <type_traits>
#include <utility>

namespace native_accel::python {

// A string literal that can be a template argument.
template <std::size_t N>
struct Text {
    char chars[N]{};
    constexpr Text(const char (&text)[N]) { std::copy_n(text, N, chars); }
    static constexpr std::size_t length = N - 1;
};

// The default of an optional parameter: the value its body gets when the caller leaves it
// out, and how the text signature shows it.
template <auto Value, Text Shown>
struct Default {
    static constexpr auto value = Value;
    static constexpr auto shown = Shown;
};
using DefaultFalse = Default<false, "False">;

struct Required {};

template <Text Name, class Kind, class Fallback = Required>
struct Param {
    static constexpr auto name = Name;
    using kind = Kind;
    using value_type = typename Kind::value_type;
    static constexpr bool optional = !std::is_same_v<Fallback, Required>;

    // What the body gets when the parameter is not passed (only optional ones can be left
    // out; a required one's slot is always filled before conversion).
    static value_type initial() {
        if constexpr (optional) {
            return value_type(Fallback::value);
        } else {
            return value_type{};
        }
    }

    // "name" or "name=default", as the text signature shows it.
    static constexpr std::size_t text_length() {
        if constexpr (optional) {
            return Name.length + 1 + Fallback::shown.length;
        } else {
            return Name.length;
        }
    }
    static constexpr char* write_text(char* out) {
        out = std::copy_n(Name.chars, Name.length, out);
        if constexpr (optional) {
            *out++ = '=';
            out = std::copy_n(Fallback::shown.chars, Fallback::shown.length, out);
        }
        return out;
    }
};

// Every function is a static fast-call entry with keywords: METH_STATIC gives it no self
// and makes its __self__ None.
inline constexpr int kEntryFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

namespace detail {

template <class... Params>
constexpr std::size_t required_count() {
    constexpr bool optional[] = {Params::optional...};
    std::size_t required = 0;
    while (required < sizeof...(Params) && !optional[required]) ++required;
    return required;
}

template <class... Params>
constexpr bool optional_ones_last() {
    constexpr bool optional[] = {Params::optional...};
    for (std::size_t i = required_count<Params...>(); i < sizeof...(Params); ++i) {
        if (!optional[i]) return false;
    }
    return true;
}

// The doc string "name(a, b=False)\n--\n\n": the interpreter turns it into the text
// signature "(a, b=False)" and leaves __doc__ None, since nothing follows the marker line.
template <Text Name, class... Params>
constexpr auto doc_string() {
    constexpr char kMarker[] = ")\n--\n\n";
    constexpr std::size_t length = Name.length + 1 + (Params::text_length() + ...) +
                                   2 * (sizeof...(Params) - 1) + sizeof kMarker - 1;
    std::array<char, length + 1> doc{};
    char* out = std::copy_n(Name.chars, Name.length, doc.data());
    *out++ = '(';
    bool first = true;
    auto write = [&]<class P>() {
        if (!first) {
            *out++ = ',';
            *out++ = ' ';
        }
        first = false;
        out = P::write_text(out);
    };
    (write.template operator()<Params>(), ...);
    std::copy_n(kMarker, sizeof kMarker - 1, out);
    return doc;
}

// The pieces of a declaration that the parser and the function object need, as objects
// with static storage: a signature's names and doc string live as long as the module.
template <Text Name, class... Params>
struct Declared {
    static_assert(sizeof...(Params) >= 1, "every function takes at least one parameter");
    static_assert(optional_ones_last<Params...>(),
                  "a required parameter cannot follow one with a default");
    static constexpr const char* names[] = {Params::name.chars...};
    static constexpr ArgSpec arguments{Name.chars, names, required_count<Params...>()};
    static constexpr auto doc = doc_string<Name, Params...>();
};

template <class Param, std::size_t I, class Values>
bool convert_slot(const ArgSpec& signature, PyObject* const* slots, Values& values) {
    PyObject* object = slots[I];
    if (object == nullptr) return true;  // optional and not passed: keeps its default
    if (Param::kind::convert(object, std::get<I>(values))) return true;
    wrap_argument_error(signature.params[I]);
    return false;
}

template <class... Params, class Values, std::size_t... I>
bool convert_all(const ArgSpec& signature, PyObject* const* slots, Values& values,
                 std::index_sequence<I...>) {
    return (convert_slot<Params, I>(signature, slots, values) && ...);
}

// Failures that no argument can cause still surface as Python exceptions, never as a
// C++ exception crossing into the interpreter.
PyObject* report_cpp_exception(std::exception_ptr error);

// The vectorcall entry of one declared function.
template <Text Name, auto Impl, class... Params>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using Signature = Declared<Name, Params...>;
    constexpr std::size_t count = sizeof...(Params);
    try {
        std::array<PyObject*, count> slots{};
        if (!parse_arguments(Signature::arguments, args, nargs, kwnames, slots.data())) {
            return nullptr;
        }
        std::tuple<typename Params::value_type...> values{Params::initial()...};
        if (!convert_all<Params...>(Signature::arguments, slots.data(), values,
                                    std::make_index_sequence<count>{})) {
            return nullptr;
        }
        return std::apply(Impl, std::move(values));
    } catch (...) {
        return report_cpp_exception(std::current_exception());
    }
}

}  // namespace detail

// The descriptor of the function `Name`, whose body is Impl, taking Params in order.
template <Text Name, auto Impl, class... Params>
PyMethodDef declare(Params...) {
    static_assert(std::is_invocable_r_v<PyObject*, decltype(Impl), typename Params::value_type&&...>,
                  "the body must take the values its parameters' converters produce, in order");
    using Signature = detail::Declared<Name, Params...>;
    return {Name.chars,
            reinterpret_cast<PyCFunction>(
                reinterpret_cast<void (*)()>(&detail::entry<Name, Impl, Params...>)),
            kEntryFlags, Signature::doc.data()};
}

}  // namespace native_accel::python
