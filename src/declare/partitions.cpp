// The Partitions class and the `partitions` function.
#include "declare/partitions.hpp"

#include <memory>
#include <utility>
#include <vector>

#include "declare/declare.hpp"
#include "json/bridge.hpp"

namespace sorva::declare {
namespace {

struct PartitionsObject {
    PyObject_HEAD
    std::shared_ptr<const json::Document> values;  // set at creation
};

PartitionsObject* as_partitions(PyObject* self) { return reinterpret_cast<PartitionsObject*>(self); }

PyObject* partitions_repr(PyObject* self)
{
    return guard([&] {
        return new_str("Partitions(" + std::to_string(partition_values(self)->root().as_array().size()) + " values)");
    });
}

void partitions_dealloc(PyObject* self)
{
    std::destroy_at(&as_partitions(self)->values);
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

HeapType g_type{g_spec};

}  // namespace

PyTypeObject* partitions_type() { return g_type.get(); }

std::shared_ptr<const json::Document> partition_values(PyObject* partitions)
{
    return as_partitions(partitions)->values;
}

Ref partitions(PyObject* values)
{
    Ref json_module = import_module(names::json);
    auto keys = std::make_shared<json::Document>();
    std::vector<json::Value> parsed;
    // The list may change size under us while json.dumps runs user code, or
    // another thread changes it.
    Py_ssize_t end = PyList_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < end; ++i) {
        Ref element = compat::list_item(values, i);
        if (!element) {
            break;
        }
        json::ParseResult result = json::parse_dumps(json_module.get(), element.get());
        if (!result.ok()) {
            fail(PyExc_ValueError, "invalid partition value: " + result.error().text());
        }
        parsed.push_back(keys->copy(result.value()));
    }
    keys->set_root(keys->array(parsed));
    PyTypeObject* type = partitions_type();
    Ref object = check(type->tp_alloc(type, 0));
    new (&as_partitions(object.get())->values) std::shared_ptr<const json::Document>(std::move(keys));
    return object;
}

}  // namespace sorva::declare
