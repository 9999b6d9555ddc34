// What the module's classes share.
#include "module/types.hpp"

#include <string>

#include "module/errors.hpp"
#include "module/once.hpp"
#include "module/python_api.hpp"

namespace sorva {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*)
{
    return guard([&]() -> Ref {
        std::string name = "<unknown>";
        Ref attr = getattr_or_empty(reinterpret_cast<PyObject*>(type), names::dunder_name);
        if (attr && PyUnicode_Check(attr.get())) {
            name = utf8_lossy(attr.get());
        }
        fail(PyExc_TypeError, "No constructor defined for " + name);
    });
}

void free_instance(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Ref::steal(reinterpret_cast<PyObject*>(type));
}

PyTypeObject* HeapType::get()
{
    return reinterpret_cast<PyTypeObject*>(first_stored(type_, [this] { return check(PyType_FromSpec(&spec_)); }));
}

}  // namespace sorva
