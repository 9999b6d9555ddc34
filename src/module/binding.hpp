// Binding a fast-convention call's arguments to a function's parameters, with
// the fixed binding messages, and the re-wrapping of argument conversion errors.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "module/errors.hpp"

namespace sorva {

// One constant record per module function. No function has positional-only
// parameters, *args or **kwargs.
struct Binding {
    std::string_view function;
    std::span<const std::string_view> positional;  // each may also be passed by keyword
    std::size_t required;                          // the first `required` positionals
    std::span<const std::string_view> keyword_only;  // all optional
};

constexpr std::size_t kMaxParameters = 4;

// Borrowed arguments, positionals first then keyword-only ones, in
// declaration order; nullptr where a parameter was not given.
using Bound = std::array<PyObject*, kMaxParameters>;

// Fails with TypeError before any body runs.
Bound bind(const Binding& binding, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// The argument is absent or None.
inline bool omitted(PyObject* arg) { return arg == nullptr || arg == Py_None; }

// If the pending exception is exactly TypeError, replaces it as
// convert_argument describes.
void rewrap_argument_error(std::string_view name);

// Runs one parameter's conversion. A failure that is exactly TypeError comes
// out as TypeError "argument '{name}': {message}", keeping the original's
// __cause__; anything else passes unchanged.
template <class Convert>
auto convert_argument(std::string_view name, Convert&& convert) -> decltype(convert())
{
    try {
        return convert();
    } catch (CheckFailed& e) {
        if (e.type == PyExc_TypeError) {
            std::string prefixed = "argument '";
            prefixed += name;
            prefixed += "': ";
            e.message.insert(0, prefixed);
        }
        throw;
    } catch (const PythonError&) {
        rewrap_argument_error(name);
        throw;
    }
}

}  // namespace sorva
