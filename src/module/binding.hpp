// Binding a fast-convention call's arguments to a function's parameters, with
// the fixed binding messages, and the conversion of bound arguments.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "module/errors.hpp"

namespace sorva {

// One constant record per module function. No function has positional-only
// parameters, *args or **kwargs.
struct Binding {
    const char* function;
    std::span<const std::string_view> positional;    // each may also be passed by keyword
    std::size_t required;                            // the first `required` positionals
    std::span<const std::string_view> keyword_only;  // all optional
};

constexpr std::size_t kMaxParameters = 4;

// Borrowed arguments, positionals first then keyword-only ones, in
// declaration order; nullptr where a parameter was not given.
using Bound = std::array<PyObject*, kMaxParameters>;

// Fails with TypeError before any body runs.
Bound bind(const Binding& binding, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// The same, handed out as `Args`: a struct of one borrowed `PyObject*` per
// parameter, declared in the binding's order, so that bodies read arguments
// by name.
template <const Binding& binding, class Args>
Args bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)
{
    constexpr std::size_t count = binding.positional.size() + binding.keyword_only.size();
    static_assert(count <= kMaxParameters, "the binder holds at most kMaxParameters arguments");
    static_assert(std::is_trivially_copyable_v<Args> && sizeof(Args) == count * sizeof(PyObject*),
                  "Args holds exactly one PyObject* per parameter");
    Bound bound = bind(binding, args, nargsf, kwnames);
    Args named;
    std::memcpy(&named, bound.data(), sizeof(Args));
    return named;
}

// The argument is absent or None.
inline bool omitted(PyObject* arg) { return arg == nullptr || arg == Py_None; }

// "argument '{name}': ", the start of every conversion error of an argument.
std::string argument_prefix(std::string_view name);

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
            e.message.insert(0, argument_prefix(name));
        }
        throw;
    } catch (const PythonError&) {
        rewrap_argument_error(name);
        throw;
    }
}

}  // namespace sorva
