// Turning C++ failures into Python exceptions, and the internal-fault path.
#include "module/errors.hpp"

#include <atomic>
#include <cstdlib>
#include <exception>
#include <new>
#include <string_view>

#include "module/compat.hpp"
#include "module/once.hpp"
#include "module/python_api.hpp"

namespace sorva {
namespace {

constexpr const char* kNoExceptionSet = "attempted to fetch exception but none was set";
constexpr const char* kPanicDoc = "\nThe exception raised when native code called from Python faults.\n\n"
                                  "Like SystemExit, this exception is derived from BaseException so that\n"
                                  "it will typically propagate all the way through the stack and cause the\n"
                                  "Python interpreter to exit.\n";
constexpr const char* kGenericFault = "sorva internal fault (no message)";
constexpr const char* kUnwrappedPanic = "Unwrapped panic from Python code";
constexpr std::string_view kUncaught = "uncaught panic at ffi boundary\n";

// Created on the first fault, never freed. Atomic: on a free-threaded
// interpreter one thread may make it while others check exceptions against it.
std::atomic<PyObject*> g_panic_type{nullptr};

[[noreturn]] void abort_uncaught()
{
    write_stderr(kUncaught);
    std::abort();
}

PyObject* panic_type()
{
    return first_stored(g_panic_type, [] {
        Ref type = Ref::steal(
            PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
        if (!type) {
            abort_uncaught();
        }
        return type;
    });
}

// The fault type if a fault has made it already.
PyObject* panic_type_made() { return g_panic_type.load(std::memory_order_acquire); }

bool is_panic(PyObject* exc)
{
    PyObject* type = panic_type_made();
    return type != nullptr && PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(type));
}

// A PanicException raised by Python code we called: report it with its
// traceback and carry on unwinding as a fault of our own.
[[noreturn]] void resume_panic(Ref exc)
{
    write_stderr("sorva: resuming an internal fault after fetching a PanicException from Python\n"
                 "Python stack trace below:\n");
    compat::display(exc.get());
    std::string message = kUnwrappedPanic;
    if (Ref text = Ref::steal(PyObject_Str(exc.get()))) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
            message.assign(utf8, static_cast<std::size_t>(size));
        }
    }
    // A fault is already on its way out: whatever reading its text raised
    // (even another PanicException) must not start a second one, which
    // discard_exception would.
    PyErr_Clear();
    throw Fault{std::move(message), {__builtin_FILE(), __builtin_LINE()}, false};
}

void set_message(PyObject* type, const std::string& message)
{
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) {
        return;
    }
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void raise_fault(const Fault& f) noexcept
{
    try {
        if (f.report) {
            std::string report = "sorva: internal fault at ";
            report += f.where.file;
            report += ':';
            report += std::to_string(f.where.line);
            report += ":\n";
            report += f.message.empty() ? kGenericFault : f.message;
            report += '\n';
            write_stderr(report);
        }
        set_message(panic_type(), f.message.empty() ? kGenericFault : f.message);
    } catch (...) {
        // A fault while reporting a fault has nowhere to go.
        abort_uncaught();
    }
}

}  // namespace

void throw_pending()
{
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, kNoExceptionSet);
        throw PythonError{};
    }
    PyObject* panic = panic_type_made();
    if (panic != nullptr && PyErr_ExceptionMatches(panic)) {
        resume_panic(compat::take_raised());
    }
    throw PythonError{};
}

void fail(PyObject* type, std::string message) { throw CheckFailed{type, std::move(message)}; }

void fault(std::string message, const char* file, int line) { throw Fault{std::move(message), {file, line}}; }

Ref take_exception()
{
    Ref exc = compat::take_raised();
    if (!exc) {
        fail(PyExc_SystemError, kNoExceptionSet);
    }
    if (is_panic(exc.get())) {
        resume_panic(std::move(exc));
    }
    return exc;
}

void restore_exception(Ref exc) { compat::restore_raised(std::move(exc)); }

void discard_exception()
{
    // Ctrl-C is the user stopping the run: no tolerant read may swallow it.
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        throw_pending();
    }
    take_exception();
}

void raise_current() noexcept
{
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, kNoExceptionSet);
        }
    } catch (const CheckFailed& e) {
        set_message(e.type, e.message);
    } catch (const Fault& f) {
        raise_fault(f);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_fault(Fault{e.what(), {__builtin_FILE(), __builtin_LINE()}});
    } catch (...) {
        raise_fault(Fault{{}, {__builtin_FILE(), __builtin_LINE()}});
    }
}

std::string type_name_of(PyObject* obj)
{
    constexpr const char* kUnknown = "<failed to extract type name>";
    Ref name = getattr_or_empty(reinterpret_cast<PyObject*>(Py_TYPE(obj)), names::qualname);
    if (!name || !PyUnicode_Check(name.get())) {
        return kUnknown;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) {
        discard_exception();
        return kUnknown;
    }
    return {utf8, static_cast<std::size_t>(size)};
}

std::string exception_message(PyObject* exc)
{
    Ref str = Ref::steal(PyObject_Str(exc));
    if (!str) {
        discard_exception();
        return "<exception str() failed>";
    }
    return utf8_lossy(str.get());
}

std::string exception_text(PyObject* exc) { return type_name_of(exc) + ": " + exception_message(exc); }

}  // namespace sorva
