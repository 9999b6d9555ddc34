// `asset(...)`: the checks that build the asset metadata record, and the
// "asset_decorator" callable that owns it.
#include <memory>
#include <string_view>

#include "declare/declare.hpp"
#include "declare/metadata.hpp"
#include "declare/partitions.hpp"
#include "declare/wrapper.hpp"

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
        // The entry holds references of its own: user code run by visit
        // may drop the dict's.
        compat::DictEntry entry = compat::dict_next(dict, &position);
        if (!entry.key) {
            return;
        }
        --remaining;
        visit(entry.key.get(), entry.value.get());
    }
}

// "<resolved source file>:<__name__>" of a decorated upstream. Unlike
// inspection, a source file that cannot be named fails the declaration.
std::string asset_ref(PyObject* upstream)
{
    Ref function = original_function(upstream);
    Ref inspect = import_module(names::inspect);
    Ref pathlib = import_module(names::pathlib);
    Ref file = call_method(inspect.get(), names::getsourcefile, function.get());
    std::string ref = resolved_path(pathlib.get(), file.get());
    Ref name = getattr(function.get(), names::dunder_name);
    ref += ':';
    ref += utf8_view(name.get());
    return ref;
}

std::vector<std::pair<std::string, std::string>> read_inputs(PyObject* inputs)
{
    expect_dict(inputs);
    std::vector<std::pair<std::string, std::string>> map;
    walk_dict(inputs, [&](PyObject* key, PyObject* value) {
        std::string parameter = utf8_copy(key);
        if (is_asset(value)) {
            map.emplace_back(std::move(parameter), asset_ref(value));
        } else if (PyUnicode_Check(value)) {
            map.emplace_back(std::move(parameter), utf8_copy(value));
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
        std::string dimension = utf8_copy(key);
        if (!PyObject_TypeCheck(value, partitions_type())) {
            fail(PyExc_TypeError, kBadPartition);
        }
        map.emplace_back(std::move(dimension), PartitionSpec{partition_values(value)});
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
    static_cast<void>(metadata.release());  // owned by the capsule
    return check(PyCFunction_New(&g_decorator_def, capsule.get()));
}

}  // namespace sorva::declare
