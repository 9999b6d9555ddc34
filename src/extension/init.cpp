// PyInit__sorva: the owner interpreter, the once-only module object and the
// registration of the two classes and four functions.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "declare/declare.hpp"
#include "extension/functions.hpp"
#include "module/module.hpp"

namespace sorva {
namespace {

constexpr const char* kSubinterpreters = "sorva._sorva does not support sub-interpreters";

PyModuleDef g_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_sorva",
    .m_doc = "The native `_sorva` module.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// Atomic: the first initialisation in any interpreter claims the module.
std::atomic<std::int64_t> g_owner{-1};
std::atomic<PyObject*> g_module{nullptr};  // the one module object, never freed

// Appends `name` to __all__, then sets the attribute.
void add(PyObject* module, PyObject* name, PyObject* value)
{
    Ref all = Ref::steal(PyObject_GetAttr(module, names::all.get()));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw_pending();
        }
        discard_exception();
        all = check(PyList_New(0));
        check_status(PyObject_SetAttr(module, names::all.get(), all.get()));
    }
    check_status(PyList_Append(expect_list(all.get()), name));
    check_status(PyObject_SetAttr(module, name, value));
}

void add_type(PyObject* module, PyTypeObject* type)
{
    PyObject* object = reinterpret_cast<PyObject*>(type);
    Ref name = getattr(object, names::dunder_name);
    add(module, name.get(), object);
}

void register_all(PyObject* module)
{
    add_type(module, declare::wrapper_type());
    add_type(module, declare::partitions_type());
    Ref module_name = check(PyModule_GetNameObject(module));
    for (PyMethodDef& def : module_functions()) {
        Ref function = check(PyCFunction_NewEx(&def, module, module_name.get()));
        Ref name = getattr(function.get(), names::dunder_name);
        utf8_view(name.get());  // must be a str
        add(module, name.get(), function.get());
    }
}

Ref initialise()
{
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        throw_pending();
    }
    std::int64_t expected = -1;
    if (!g_owner.compare_exchange_strong(expected, id) && expected != id) {
        fail(PyExc_ImportError, kSubinterpreters);
    }
    // A failed registration stores nothing: the next import starts again.
    return Ref::borrow(first_stored(g_module, [] {
        Ref module = check(PyModule_Create(&g_definition));
        // Safe without the GIL: the owner ID is atomic, every object made on
        // first use is published once (once.hpp), list and dict entries are
        // taken under their object's lock (compat.hpp), and instances of the
        // two classes do not change once made (the collector alone empties
        // a wrapper, once nothing outside its cycle can reach it).
        check_status(compat::declare_gil_not_used(module.get()));
        register_all(module.get());
        return module;
    }));
}

}  // namespace
}  // namespace sorva

// The interpreter looks the entry point up by this exact name.
PyMODINIT_FUNC PyInit__sorva(void)  // NOLINT(bugprone-reserved-identifier)
{
    return sorva::guard([] { return sorva::initialise(); });
}
