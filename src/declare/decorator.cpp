// `asset(...)`: the checks that build the asset metadata record, and the
// "asset_decorator" callable that owns it.
#include <memory>
#include <string_view>

#include "declare/declare.hpp"
#include "declare/metadata.hpp"
#include "declare/partitions_object.hpp"
#include "declare/wrapper.hpp"
#include "module/module.hpp"

namespace sorva::declare {
namespace {

constexpr const char* kBadInput = "inputs values must be @asset-decorated functions or asset ref strings";
constexpr const char* kBadPartition = "partition values must be partitions([...]) instances";
constexpr const char* kDecoratorArity = "asset() decorator expects exactly one argument (the function)";
constexpr const char* kCapsuleName = "sorva.asset_metadata";

// Walks a dict's own entries (a subclass's iteration is not used) and
// treats any change of the dict during the walk as an internal fault.
template <class Visit>
void walk_dict(PyObject* dict, Visit&& visit)
{
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t remaining = size;
    Py_ssize_t position = 0;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != size) {
            fault("dictionary changed size during iteration");
        }
        if (remaining == -1) {
            fault("dictionary keys changed during iteration");
        }
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (!PyDict_Next(dict, &position, &key, &value)) {
            return;
        }
        --remaining;
        // User code run by visit may drop the dict's own references.
        Ref held_key = Ref::borrow(key);
        Ref held_value = Ref::borrow(value);
        visit(held_key.get(), held_value.get());
    }
}

bool declares_asset(PyObject* value)
{
    Ref kind = Ref::steal(PyObject_GetAttrString(value, "__sorva_kind__"));
    if (!kind) {
        discard_exception();
        return false;
    }
    return PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "asset") == 0;
}

// "<resolved source file>:<__name__>" of a decorated upstream.
std::string asset_ref(PyObject* upstream)
{
    Ref function = Ref::steal(PyObject_GetAttrString(upstream, "__sorva_original__"));
    if (!function) {
        discard_exception();
        function = Ref::borrow(upstream);
    }
    Ref inspect = import_module("inspect");
    Ref pathlib = import_module("pathlib");
    Ref file = call_method(inspect.get(), "getsourcefile", function.get());
    Ref path = call_method(pathlib.get(), "Path", file.get());
    Ref resolved = call_method(path.get(), "resolve");
    std::string ref = to_text(str_of(resolved.get()).get());
    Ref name = getattr(function.get(), "__name__");
    ref += ':';
    ref += text_of(name.get());
    return ref;
}

std::vector<std::pair<std::string, std::string>> read_inputs(PyObject* inputs)
{
    expect_dict(inputs);
    std::vector<std::pair<std::string, std::string>> map;
    walk_dict(inputs, [&](PyObject* key, PyObject* value) {
        std::string parameter = to_text(key);
        if (declares_asset(value)) {
            map.emplace_back(std::move(parameter), asset_ref(value));
        } else if (PyUnicode_Check(value)) {
            map.emplace_back(std::move(parameter), to_text(value));
        } else {
            fail(PyExc_TypeError, kBadInput);
        }
    });
    return map;
}

std::vector<std::pair<std::string, PartitionSpec>> read_partitions(PyObject* partitions)
{
    expect_dict(partitions);
    std::vector<std::pair<std::string, PartitionSpec>> map;
    walk_dict(partitions, [&](PyObject* key, PyObject* value) {
        std::string dimension = to_text(key);
        if (!PyObject_TypeCheck(value, partitions_type())) {
            fail(PyExc_TypeError, kBadPartition);
        }
        map.emplace_back(std::move(dimension),
                         PartitionSpec{*reinterpret_cast<PartitionsObject*>(value)->values});
    });
    return map;
}

const AssetMetadata& capsule_metadata(PyObject* capsule)
{
    return *static_cast<AssetMetadata*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

void release_metadata(PyObject* capsule)
{
    delete static_cast<AssetMetadata*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

PyObject* decorate(PyObject* capsule, PyObject* args, PyObject*)
{
    return guard([&] {
        if (PyTuple_GET_SIZE(args) != 1) {
            fail(PyExc_TypeError, kDecoratorArity);
        }
        return new_wrapper(PyTuple_GET_ITEM(args, 0), capsule_metadata(capsule));
    });
}

PyMethodDef g_decorator_def = {
    "asset_decorator",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decorate)),
    METH_VARARGS | METH_KEYWORDS,
    nullptr,
};

}  // namespace

Ref asset(std::optional<std::string> name, std::optional<std::string> serializer, PyObject* inputs,
          PyObject* partitions)
{
    auto metadata = std::make_unique<AssetMetadata>();
    metadata->name = std::move(name);
    metadata->serializer = std::move(serializer);
    if (inputs != nullptr) {
        metadata->inputs = read_inputs(inputs);
    }
    if (partitions != nullptr) {
        metadata->partitions = read_partitions(partitions);
    }
    Ref capsule = check(PyCapsule_New(metadata.get(), kCapsuleName, release_metadata));
    metadata.release();  // owned by the capsule
    return check(PyCFunction_New(&g_decorator_def, capsule.get()));
}

}  // namespace sorva::declare
