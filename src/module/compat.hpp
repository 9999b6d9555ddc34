// Differences between the supported interpreter versions, in one place.
#pragma once

#include <Python.h>

#include "module/ref.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace sorva::compat {

#if PY_VERSION_HEX >= 0x030C0000
constexpr int kMemberSsize = Py_T_PYSSIZET;
constexpr int kMemberReadOnly = Py_READONLY;
#else
constexpr int kMemberSsize = T_PYSSIZET;
constexpr int kMemberReadOnly = READONLY;
#endif

// Takes the pending exception (normalised, traceback attached) out of the
// interpreter; empty when none is set.
inline Ref take_raised()
{
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return {};
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

// Makes exc the pending exception again, as if it had just been raised.
inline void restore_raised(Ref exc)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());  // steals
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
    Py_INCREF(type);
    PyObject* traceback = PyException_GetTraceback(exc.get());
    PyErr_Restore(type, exc.release(), traceback);  // steals all three
#endif
}

// Prints exc and its traceback the way the interpreter prints an uncaught
// exception.
inline void display(PyObject* exc)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_DisplayException(exc);
#else
    PyObject* traceback = PyException_GetTraceback(exc);
    PyErr_Display(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, traceback);
    Py_XDECREF(traceback);
#endif
}

}  // namespace sorva::compat
