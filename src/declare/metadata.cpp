// The dictionary form of the asset metadata record.
#include "declare/metadata.hpp"

namespace sorva::declare {
namespace {

Ref text_or_none(const std::optional<std::string>& text) { return text ? new_str(*text) : Ref::borrow(Py_None); }

void set_item(PyObject* dict, const char* key, Ref value)
{
    check_status(PyDict_SetItemString(dict, key, value.get()));
}

void set_item(PyObject* dict, const std::string& key, Ref value)
{
    Ref key_object = new_str(key);
    check_status(PyDict_SetItem(dict, key_object.get(), value.get()));
}

Ref inputs_dict(const std::vector<std::pair<std::string, std::string>>& inputs)
{
    Ref dict = check(PyDict_New());
    for (const auto& [parameter, ref] : inputs) {
        set_item(dict.get(), parameter, new_str(ref));
    }
    return dict;
}

Ref partitions_dict(const std::vector<std::pair<std::string, PartitionSpec>>& partitions)
{
    Ref dict = check(PyDict_New());
    for (const auto& [dimension, spec] : partitions) {
        Ref entry = check(PyDict_New());
        set_item(entry.get(), "kind", new_str("inline"));
        set_item(entry.get(), "values_json", new_str(values_json(spec)));
        set_item(dict.get(), dimension, std::move(entry));
    }
    return dict;
}

}  // namespace

std::string values_json(const PartitionSpec& spec) { return json::write(spec.values->root()); }

Ref metadata_dict(const AssetMetadata& metadata)
{
    Ref dict = check(PyDict_New());
    set_item(dict.get(), "kind", new_str("asset"));
    set_item(dict.get(), "name", text_or_none(metadata.name));
    set_item(dict.get(), "serializer", text_or_none(metadata.serializer));
    set_item(dict.get(), "inputs", metadata.inputs ? inputs_dict(*metadata.inputs) : Ref::borrow(Py_None));
    set_item(
        dict.get(), "partitions", metadata.partitions ? partitions_dict(*metadata.partitions) : Ref::borrow(Py_None));
    return dict;
}

}  // namespace sorva::declare
