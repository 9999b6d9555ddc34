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

// Tells a free-threaded interpreter that the module can run without the GIL,
// so that importing it leaves the GIL off. Returns the C API's status; the
// other builds have nothing to declare.
inline int declare_gil_not_used([[maybe_unused]] PyObject* module)
{
#ifdef Py_GIL_DISABLED
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
    return 0;
#endif
}

// A new reference to item `index` of a list, or empty past its end. On a
// free-threaded build another thread may shrink the list or replace the item
// at any moment: holding the list's lock makes reading the size, reading the
// item and taking the reference one step, so the item cannot be freed between.
inline Ref list_item(PyObject* list, Py_ssize_t index)
{
    Ref item;
#ifdef Py_GIL_DISABLED
    Py_BEGIN_CRITICAL_SECTION(list);
#endif
    if (index < PyList_GET_SIZE(list)) {
        item = Ref::borrow(PyList_GET_ITEM(list, index));
    }
#ifdef Py_GIL_DISABLED
    Py_END_CRITICAL_SECTION();
#endif
    return item;
}

// A dict entry with references of its own; an empty key past the last one.
struct DictEntry {
    Ref key;
    Ref value;
};

// PyDict_Next with new references. On a free-threaded build the dict's lock
// is held for the step, as the interpreter requires, so that another
// thread's change cannot free the entry between finding it and taking the
// references.
inline DictEntry dict_next(PyObject* dict, Py_ssize_t* position)
{
    DictEntry entry;
#ifdef Py_GIL_DISABLED
    Py_BEGIN_CRITICAL_SECTION(dict);
#endif
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (PyDict_Next(dict, position, &key, &value)) {
        entry = {Ref::borrow(key), Ref::borrow(value)};
    }
#ifdef Py_GIL_DISABLED
    Py_END_CRITICAL_SECTION();
#endif
    return entry;
}

}  // namespace sorva::compat
