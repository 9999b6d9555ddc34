// Thin helpers over the C API that read as straight-line code: every one of
// them returns its result or throws (see errors.hpp).
#pragma once

#include <Python.h>

#include <array>
#include <string>
#include <string_view>

#include "module/errors.hpp"
#include "module/ref.hpp"

namespace sorva {

// Writes straight to file descriptor 2, bypassing sys.stderr.
void write_stderr(std::string_view text) noexcept;

// str() text as UTF-8 where each lone surrogate becomes U+FFFD characters
// instead of an error.
std::string lossy_text(PyObject* str);

// "'{type}' object cannot be converted to '{target}'"
std::string conversion_message(PyObject* obj, std::string_view target);
[[noreturn]] void fail_conversion(PyObject* obj, std::string_view target);

// The text conversion: a str (or subclass) read as UTF-8. The view lives as
// long as `obj` does. Another type fails with the 'PyString' TypeError; a
// lone surrogate raises the interpreter's UnicodeEncodeError.
std::string_view text_of(PyObject* obj);
inline std::string to_text(PyObject* obj) { return std::string(text_of(obj)); }
Ref new_text(std::string_view utf8);

// Type checks that fail with the conversion message.
PyObject* expect_list(PyObject* obj);
PyObject* expect_tuple(PyObject* obj);
PyObject* expect_dict(PyObject* obj);
bool to_bool(PyObject* obj);

Ref import_module(const char* name);
Ref getattr(PyObject* obj, const char* name);
Ref getattr(PyObject* obj, PyObject* name);
Ref str_of(PyObject* obj);

template <class... Args>
Ref call(PyObject* callable, Args... args)
{
    std::array<PyObject*, sizeof...(Args) + 1> vector{nullptr, args...};
    return check(PyObject_Vectorcall(callable, vector.data() + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Args>
Ref call_method(PyObject* obj, const char* name, Args... args)
{
    Ref method = getattr(obj, name);
    return call(method.get(), args...);
}

}  // namespace sorva
