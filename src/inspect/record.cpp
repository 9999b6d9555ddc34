// One inspection record: the nine values read from an asset.
#include "inspect/record.hpp"

#include <optional>
#include <string>
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
std::optional<std::string> return_type(const Stdlib& stdlib, PyObject* original)
{
    Ref signature = call_method(stdlib.inspect.get(), names::signature, original);
    Ref annotation = getattr(signature.get(), names::return_annotation);
    Ref signature_class = getattr(stdlib.inspect.get(), names::signature_class);
    Ref empty = getattr(signature_class.get(), names::empty);
    if (annotation.get() == empty.get()) {
        return std::nullopt;
    }
    Ref builtins = import_module(names::builtins);
    PyObject* type_class = reinterpret_cast<PyObject*>(&PyType_Type);
    Ref is_class = call_method(builtins.get(), names::isinstance, annotation.get(), type_class);
    if (to_bool(is_class.get())) {
        Ref name = getattr(annotation.get(), names::dunder_name);
        return utf8_copy(name.get());
    }
    return str_utf8(annotation.get());
}

}  // namespace

void write_asset_record(const Stdlib& stdlib, const ModuleFacts& facts, PyObject* member, json::TextWriter& out)
{
    Ref metadata_dict = getattr(member, names::sorva_metadata);
    const json::Document metadata = json::python_dict_to_json(metadata_dict.get());
    Ref original = declare::original_function(member);
    const std::string function_source = normalised_source(stdlib, original.get());
    Ref function_name = getattr(original.get(), names::dunder_name);
    const std::string_view function_name_text = utf8_view(function_name.get());
    const std::string file_path = source_file(stdlib, original.get());
    const std::optional<std::string> returns = return_type(stdlib, original.get());
    // Read last, after everything user code could have done to the module.
    Ref module_path = getattr(facts.module, names::dunder_name);
    const std::string_view module_path_text = utf8_view(module_path.get());

    // Everything is read before anything is written, and the members are
    // written in the byte order of their keys, as the compact writer would.
    out.raw("{\"decorator_metadata\":");
    out.value(metadata.root());
    out.raw(",\"file_path\":");
    out.string(file_path);
    out.raw(",\"function_name\":");
    out.string(function_name_text);
    out.raw(",\"function_source\":");
    out.string(function_source);
    out.raw(",\"kind\":\"asset\",\"module_path\":");
    out.string(module_path_text);
    out.raw(",\"module_source\":");
    out.raw(facts.module_source_json);
    out.raw(",\"python_version\":");
    out.string(facts.python_version);
    out.raw(",\"return_type\":");
    if (returns) {
        out.string(*returns);
    } else {
        out.raw("null");
    }
    out.raw("}");
}

}  // namespace sorva::inspect
