// Slots shared by the module's classes.
#include "module/type_slots.hpp"

#include "module/module.hpp"

namespace sorva {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*)
{
    return guard([&]() -> Ref {
        std::string name = "<unknown>";
        Ref attr = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
        if (!attr) {
            discard_exception();
        } else if (PyUnicode_Check(attr.get())) {
            name = lossy_text(attr.get());
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

PyTypeObject* create_type(PyType_Spec* spec)
{
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(spec)).release());
}

}  // namespace sorva
