// The three ways C++ code here fails, and the one place they become Python
// exceptions.
#pragma once

#include <Python.h>

#include <string>

#include "module/ref.hpp"

namespace sorva {

// A Python exception is set in the interpreter and travels as it is.
struct PythonError {};

// One of our own checks failed: raise `type` (a built-in exception class)
// with `message` as its only argument.
struct CheckFailed {
    PyObject* type;
    std::string message;
};

// Where a fault was raised. Filled in by the compiler at the call site;
// std::source_location would do the same, but clang's tools cannot read
// it from this standard library.
struct SourcePlace {
    const char* file;
    int line;
};

// A violated internal invariant; surfaces as pyo3_runtime.PanicException.
struct Fault {
    std::string message;
    SourcePlace where;
    // False for a PanicException that came back out of Python code: it was
    // reported when it was fetched.
    bool report = true;
};

// Throws PythonError for the pending exception. A C-API failure with nothing
// set becomes SystemError; a PanicException coming back from Python is
// reported and resumed as a Fault.
[[noreturn]] void throw_pending();

[[noreturn]] void fail(PyObject* type, std::string message);

[[noreturn]] void fault(std::string message, const char* file = __builtin_FILE(), int line = __builtin_LINE());

// C-API results: a NULL new reference or a -1 status throws.
inline Ref check(PyObject* new_reference)
{
    if (new_reference == nullptr) {
        throw_pending();
    }
    return Ref::steal(new_reference);
}
inline int check_status(int status)
{
    if (status == -1) {
        throw_pending();
    }
    return status;
}

// Takes the pending exception out of the interpreter to be examined or
// dropped. A PanicException is resumed as a Fault instead of being handed
// out: code here never swallows one.
Ref take_exception();

// Makes exc, taken out by take_exception, the pending exception again.
void restore_exception(Ref exc);

// Drops the pending exception, except a KeyboardInterrupt, which is thrown
// on (and see take_exception for PanicException).
void discard_exception();

// Sets the Python exception for whatever C++ exception is in flight. Called
// only from a catch block.
void raise_current() noexcept;

// Every entry point runs its body through one of these: nothing C++ ever
// reaches the interpreter.
template <class Body>
PyObject* guard(Body&& body) noexcept
{
    try {
        return body().release();
    } catch (...) {
        raise_current();
        return nullptr;
    }
}

template <class Body>
int guard_status(Body&& body) noexcept
{
    try {
        body();
        return 0;
    } catch (...) {
        raise_current();
        return -1;
    }
}

// str(exc), lone surrogates replaced, or "<exception str() failed>".
std::string exception_message(PyObject* exc);

// The exception text form: "{type qualname}: {exception_message}".
std::string exception_text(PyObject* exc);

// The type's `__qualname__`, or "<failed to extract type name>".
std::string type_name_of(PyObject* obj);

}  // namespace sorva
