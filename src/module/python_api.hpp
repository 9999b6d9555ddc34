// Thin helpers over the C API that read as straight-line code: every one of
// them returns its result or throws (see errors.hpp). Attributes and methods
// are reached through interned names only (names.hpp).
#pragma once

#include <Python.h>

#include <array>
#include <initializer_list>
#include <string>
#include <string_view>

#include "module/errors.hpp"
#include "module/names.hpp"
#include "module/ref.hpp"

namespace sorva {

// Writes straight to file descriptor 2, bypassing sys.stderr.
void write_stderr(std::string_view text) noexcept;

// The text conversion: a str (or subclass) read as UTF-8. Another type fails
// with the 'PyString' TypeError; a lone surrogate raises the interpreter's
// UnicodeEncodeError. The view lives as long as `obj` does.
std::string_view utf8_view(PyObject* obj);
inline std::string utf8_copy(PyObject* obj) { return std::string(utf8_view(obj)); }

// A str as UTF-8 where each lone surrogate becomes U+FFFD characters instead
// of an error.
std::string utf8_lossy(PyObject* str);

// str(obj), through the text conversion.
std::string str_utf8(PyObject* obj);

Ref new_str(std::string_view utf8);

// "'{type}' object cannot be converted to '{target}'"
std::string conversion_message(PyObject* obj, std::string_view target);
[[noreturn]] void fail_conversion(PyObject* obj, std::string_view target);

// Type checks that fail with the conversion message.
PyObject* expect_list(PyObject* obj);
PyObject* expect_tuple(PyObject* obj);
PyObject* expect_dict(PyObject* obj);
bool to_bool(PyObject* obj);

Ref import_module(Name& name);
Ref getattr(PyObject* obj, Name& name);

// A tolerant read: the attribute, or empty when reading it raised anything
// but a KeyboardInterrupt (see discard_exception).
Ref getattr_or_empty(PyObject* obj, Name& name);

template <class... Args>
Ref call(PyObject* callable, Args... args)
{
    std::array<PyObject*, sizeof...(Args) + 1> vector{nullptr, args...};
    return check(
        PyObject_Vectorcall(callable, vector.data() + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(**kwargs)
Ref call_with_keywords(PyObject* callable, PyObject* kwargs);

// obj.name(args...), the method looked up and called without a bound method
// in between. The try_ form returns empty with the exception still pending,
// for callers that examine it.
template <class... Args>
Ref try_call_method(PyObject* obj, Name& name, Args... args)
{
    std::array<PyObject*, sizeof...(Args) + 1> vector{obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(name.get(), vector.data(), vector.size(), nullptr));
}

template <class... Args>
Ref call_method(PyObject* obj, Name& name, Args... args)
{
    Ref result = try_call_method(obj, name, args...);
    if (!result) {
        throw_pending();
    }
    return result;
}

// The standard modules one call works with, imported once at its start.
struct Stdlib {
    Ref importlib;
    Ref inspect;
    Ref json;
    Ref pathlib;
    Ref sys;
    Ref textwrap;

    using Member = Ref Stdlib::*;
    // Imports the listed members in the order listed: which import runs
    // first decides which failure a broken environment reports.
    static Stdlib import(std::initializer_list<Member> wanted);
};

// str(pathlib.Path(file).resolve()): absolute, symbolic links resolved.
std::string resolved_path(PyObject* pathlib, PyObject* file);

}  // namespace sorva
