// The AssetWrapper class: calls through to the wrapped function and answers
// the asset attributes.
#include "declare/wrapper.hpp"

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

#include "declare/declare.hpp"

namespace sorva::declare {
namespace {

// The part of an instance that the interpreter reads by offset, kept
// standard-layout so that the offset is well defined.
struct WrapperHead {
    PyObject_HEAD
    vectorcallfunc vectorcall;
};
static_assert(std::is_standard_layout_v<WrapperHead>);

struct WrapperObject : WrapperHead {
    Ref function;  // empty only once the garbage collector has cleared it
    std::unique_ptr<const AssetMetadata> metadata;
};

WrapperObject* as_wrapper(PyObject* self) { return reinterpret_cast<WrapperObject*>(self); }

// The garbage collector empties a wrapper that is part of an unreachable
// cycle; code that still reaches it (a finaliser of the cycle) gets this.
constexpr const char* kCleared = "the AssetWrapper's function was released by the garbage collector";

// The wrapped function, or the ReferenceError above once collected.
PyObject* wrapped(PyObject* self)
{
    PyObject* function = as_wrapper(self)->function.get();
    if (function == nullptr) {
        fail(PyExc_ReferenceError, kCleared);
    }
    return function;
}

// Calls and attribute reads recurse in C through a chain of wrappers; the
// interpreter's recursion limit turns a chain too deep for the stack into
// RecursionError. Returns false with that error set.
bool enter_forwarding() { return Py_EnterRecursiveCall(" while forwarding through an AssetWrapper") == 0; }

// Forwards the caller's vector untouched: no tuple or dict is built.
PyObject* wrapper_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames)
{
    PyObject* function = as_wrapper(self)->function.get();
    PyObject* result = nullptr;
    if (function == nullptr) {
        return guard([]() -> Ref { fail(PyExc_ReferenceError, kCleared); });
    }
    if (PyFunction_Check(function)) {
        // The usual case; the interpreter counts that recursion itself.
        result = PyObject_Vectorcall(function, args, nargsf, kwnames);
    } else if (enter_forwarding()) {
        result = PyObject_Vectorcall(function, args, nargsf, kwnames);
        Py_LeaveRecursiveCall();
    }
    if (result == nullptr) {
        return guard([]() -> Ref { throw_pending(); });
    }
    return result;
}

PyObject* wrapper_descr_get(PyObject* self, PyObject*, PyObject*) { return Ref::borrow(self).release(); }

PyObject* forwarded(PyObject* self, Name& name)
{
    return guard([&] {
        PyObject* function = wrapped(self);
        if (!enter_forwarding()) {
            throw_pending();
        }
        Ref value = Ref::steal(PyObject_GetAttr(function, name.get()));
        Py_LeaveRecursiveCall();
        return check(value.release());
    });
}

PyObject* get_kind(PyObject*, void*)
{
    return guard([] { return new_str("asset"); });
}

PyObject* get_metadata(PyObject* self, void*)
{
    return guard([&] { return metadata_dict(*as_wrapper(self)->metadata); });
}

PyObject* get_original(PyObject* self, void*)
{
    return guard([&] { return Ref::borrow(wrapped(self)); });
}

PyObject* get_name(PyObject* self, void*) { return forwarded(self, names::dunder_name); }
PyObject* get_module(PyObject* self, void*) { return forwarded(self, names::module); }
PyObject* get_qualname(PyObject* self, void*) { return forwarded(self, names::qualname); }

// The type's dictionary holds the class docstring under __doc__, where it
// would hide an instance getter; instances answer __doc__ here instead.
PyObject* wrapper_getattro(PyObject* self, PyObject* name)
{
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__doc__") == 0) {
        return forwarded(self, names::doc);
    }
    return PyObject_GenericGetAttr(self, name);
}

// Pickling by reference, as for functions: a str answer makes pickle store
// the module and this name, and check that they lead back to this object.
PyObject* wrapper_reduce(PyObject* self, PyObject*) { return forwarded(self, names::qualname); }

int wrapper_traverse(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(as_wrapper(self)->function.get());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int wrapper_clear(PyObject* self)
{
    as_wrapper(self)->function = Ref();
    return 0;
}

void wrapper_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    WrapperObject* wrapper = as_wrapper(self);
    Ref next = std::move(wrapper->function);
    std::destroy_at(&wrapper->function);
    std::destroy_at(&wrapper->metadata);
    free_instance(self);
    // A chain of wrappers, each holding the only reference to the next, is
    // let go link by link here: nested deallocations would run out of stack
    // on a long chain. Each inner wrapper is emptied before it is dropped.
    while (next && Py_TYPE(next.get()) == wrapper_type() && Py_REFCNT(next.get()) == 1) {
        next = std::move(as_wrapper(next.get())->function);
    }
}

PyGetSetDef g_getset[] = {
    {"__sorva_metadata__", get_metadata, nullptr, "", nullptr},
    {"__sorva_kind__", get_kind, nullptr, "", nullptr},
    {"__sorva_original__", get_original, nullptr, "", nullptr},
    {"__name__", get_name, nullptr, "", nullptr},
    {"__module__", get_module, nullptr, "", nullptr},
    {"__qualname__", get_qualname, nullptr, "", nullptr},
    {"__wrapped__", get_original, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef g_members[] = {
    vectorcall_offset_member(offsetof(WrapperHead, vectorcall)),
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef g_methods[] = {
    {"__reduce__", wrapper_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("The `@asset()` decorator wrapper. Stores the original function and metadata.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(wrapper_descr_get)},
    {Py_tp_getattro, reinterpret_cast<void*>(wrapper_getattro)},
    {Py_tp_getset, g_getset},
    {Py_tp_members, g_members},
    {Py_tp_methods, g_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    .name = "builtins.AssetWrapper",
    .basicsize = sizeof(WrapperObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_HAVE_GC,
    .slots = g_slots,
};

HeapType g_type{g_spec};

}  // namespace

PyTypeObject* wrapper_type() { return g_type.get(); }

Ref new_wrapper(PyObject* function, const AssetMetadata& metadata)
{
    auto copy = std::make_unique<const AssetMetadata>(metadata);
    PyTypeObject* type = wrapper_type();
    Ref object = check(type->tp_alloc(type, 0));
    WrapperObject* wrapper = as_wrapper(object.get());
    wrapper->vectorcall = wrapper_vectorcall;
    new (&wrapper->function) Ref(Ref::borrow(function));
    new (&wrapper->metadata) std::unique_ptr<const AssetMetadata>(std::move(copy));
    return object;
}

}  // namespace sorva::declare
