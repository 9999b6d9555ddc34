// One inspection record: the nine values read from an asset.
#include "inspect/record.hpp"

#include <utility>

#include "declare/declare.hpp"
#include "json/bridge.hpp"

namespace sorva::inspect {
namespace {

// Absolute, with symbolic links resolved; empty when the interpreter cannot
// name a source file at all.
std::string source_file(const Stdlib& stdlib, PyObject* original)
{
    Ref file = try_call_method(stdlib.inspect.get(), names::getsourcefile, original);
    if (!file) {
        discard_exception();
        return {};
    }
    return resolved_path(stdlib.pathlib.get(), file.get());
}

// Null without a return annotation; a class by its bare name; anything
// else as str() gives it.
json::Value return_type(const Stdlib& stdlib, PyObject* original)
{
    Ref signature = call_method(stdlib.inspect.get(), names::signature, original);
    Ref annotation = getattr(signature.get(), names::return_annotation);
    Ref signature_class = getattr(stdlib.inspect.get(), names::signature_class);
    Ref empty = getattr(signature_class.get(), names::empty);
    if (annotation.get() == empty.get()) {
        return {};
    }
    Ref builtins = import_module(names::builtins);
    PyObject* type_class = reinterpret_cast<PyObject*>(&PyType_Type);
    Ref is_class = call_method(builtins.get(), names::isinstance, annotation.get(), type_class);
    if (to_bool(is_class.get())) {
        Ref name = getattr(annotation.get(), names::dunder_name);
        return json::Value::string(utf8_copy(name.get()));
    }
    return json::Value::string(str_utf8(annotation.get()));
}

}  // namespace

json::Value asset_record(const Stdlib& stdlib, const ModuleFacts& facts, PyObject* member)
{
    Ref metadata_dict = getattr(member, names::sorva_metadata);
    json::Value metadata = json::python_dict_to_json(metadata_dict.get());
    Ref original = declare::original_function(member);
    std::string function_source = normalised_source(stdlib, original.get());
    Ref function_name = getattr(original.get(), names::dunder_name);
    std::string function_name_text = utf8_copy(function_name.get());
    std::string file_path = source_file(stdlib, original.get());
    json::Value returns = return_type(stdlib, original.get());
    // Read last, after everything user code could have done to the module.
    Ref module_path = getattr(facts.module, names::dunder_name);
    std::string module_path_text = utf8_copy(module_path.get());

    // Moved in member by member: an initializer list would copy every text,
    // the module source included, a second time.
    json::Object record;
    record.reserve(9);
    record.emplace_back("decorator_metadata", std::move(metadata));
    record.emplace_back("file_path", json::Value::string(std::move(file_path)));
    record.emplace_back("function_name", json::Value::string(std::move(function_name_text)));
    record.emplace_back("function_source", json::Value::string(std::move(function_source)));
    record.emplace_back("kind", json::Value::string("asset"));
    record.emplace_back("module_path", json::Value::string(std::move(module_path_text)));
    record.emplace_back("module_source", json::Value::string(facts.module_source));
    record.emplace_back("python_version", json::Value::string(facts.python_version));
    record.emplace_back("return_type", std::move(returns));
    return json::Value::object(std::move(record));
}

}  // namespace sorva::inspect
