// What the module's classes share: construction refused, the last step of
// deallocation, heap types made on first use, the vectorcall offset member.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>

#include "module/compat.hpp"

namespace sorva {

// The construction slot of both classes: instances come only from the
// module's own functions.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// The last step of deallocation: frees the object's memory and drops the
// reference every instance holds on its heap type.
void free_instance(PyObject* self);

// A heap type created from its spec on first use and kept for the life of
// the process.
class HeapType {
public:
    explicit constexpr HeapType(PyType_Spec& spec) : spec_(spec) {}
    HeapType(const HeapType&) = delete;
    HeapType& operator=(const HeapType&) = delete;

    PyTypeObject* get();

private:
    PyType_Spec& spec_;
    // Threads of a free-threaded interpreter may make the first instance at
    // the same time.
    std::atomic<PyObject*> type_{nullptr};
};

// The read-only `__vectorcalloffset__` member that tells the interpreter
// where an instance keeps its vectorcall function.
constexpr PyMemberDef vectorcall_offset_member(std::size_t offset)
{
    return {"__vectorcalloffset__",
            compat::kMemberSsize,
            static_cast<Py_ssize_t>(offset),
            compat::kMemberReadOnly,
            nullptr};
}

}  // namespace sorva
