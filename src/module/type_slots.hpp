// Slots shared by the module's classes.
#pragma once

#include <Python.h>

namespace sorva {

// The construction slot of both classes: instances come only from the
// module's own functions.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// The last step of deallocation: frees the object's memory and drops the
// reference every instance holds on its heap type.
void free_instance(PyObject* self);

// Creates a heap type from its PyType_Spec; NULL throws.
PyTypeObject* create_type(PyType_Spec* spec);

}  // namespace sorva
