// The Partitions class and the `partitions` function.
#include <memory>
#include <utility>

#include "declare/declare.hpp"
#include "declare/partitions_object.hpp"
#include "json/bridge.hpp"
#include "module/module.hpp"
#include "module/type_slots.hpp"

namespace sorva::declare {
namespace {

PyObject* partitions_repr(PyObject* self)
{
    return guard([&] {
        auto* object = reinterpret_cast<PartitionsObject*>(self);
        return new_text("Partitions(" + std::to_string(object->values->size()) + " values)");
    });
}

void partitions_dealloc(PyObject* self)
{
    delete std::exchange(reinterpret_cast<PartitionsObject*>(self)->values, nullptr);
    free_instance(self);
}

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("Marker type returned by `partitions([...])`. Stores the static values.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(partitions_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(partitions_repr)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    .name = "builtins.Partitions",
    .basicsize = sizeof(PartitionsObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = g_slots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* partitions_type()
{
    if (g_type == nullptr) {
        g_type = create_type(&g_spec);
    }
    return g_type;
}

Ref partitions(PyObject* values)
{
    Ref json_module = import_module("json");
    auto parsed = std::make_unique<std::vector<json::Value>>();
    // The list may change size under us while json.dumps runs user code.
    Py_ssize_t end = PyList_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < end && i < PyList_GET_SIZE(values); ++i) {
        Ref element = Ref::borrow(PyList_GET_ITEM(values, i));
        json::ParseResult result = json::parse_dumps(json_module.get(), element.get());
        if (!result.ok()) {
            fail(PyExc_ValueError, "invalid partition value: " + result.error().text());
        }
        parsed->push_back(std::move(result.value()));
    }
    PyTypeObject* type = partitions_type();
    Ref object = check(type->tp_alloc(type, 0));
    reinterpret_cast<PartitionsObject*>(object.get())->values = parsed.release();
    return object;
}

}  // namespace sorva::declare
