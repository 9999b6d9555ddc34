// One inspection record: the asset test and the nine values read from an asset.
#include <utility>

#include "inspect/names.hpp"
#include "inspect/record.hpp"
#include "json/bridge.hpp"
#include "module/module.hpp"

namespace sorva::inspect {
namespace {

// The function the asset stands for; an object without `__sorva_original__`
// stands for itself.
Ref original_function(PyObject* member)
{
    Ref original = Ref::steal(PyObject_GetAttr(member, names::sorva_original.get()));
    if (!original) {
        discard_exception();
        return Ref::borrow(member);
    }
    return original;
}

// Absolute, with symbolic links resolved; empty when the interpreter cannot
// name a source file at all.
std::string source_file(const Toolkit& tools, PyObject* original)
{
    Ref file = Ref::steal(try_call_named(tools.inspect.get(), names::getsourcefile, original));
    if (!file) {
        discard_exception();
        return {};
    }
    Ref path = call_named(tools.pathlib.get(), names::path, file.get());
    Ref resolved = call_named(path.get(), names::resolve);
    Ref text = str_of(resolved.get());
    return to_text(text.get());
}

// Null without a return annotation; a class by its bare name; anything
// else as str() gives it.
json::Value return_type(const Toolkit& tools, PyObject* original)
{
    Ref signature = call_named(tools.inspect.get(), names::signature, original);
    Ref annotation = getattr_named(signature.get(), names::return_annotation);
    Ref signature_class = getattr_named(tools.inspect.get(), names::signature_class);
    Ref empty = getattr_named(signature_class.get(), names::empty);
    if (annotation.get() == empty.get()) {
        return json::Value();
    }
    Ref builtins = check(PyImport_Import(names::builtins.get()));
    PyObject* type_class = reinterpret_cast<PyObject*>(&PyType_Type);
    Ref is_class = call_named(builtins.get(), names::isinstance, annotation.get(), type_class);
    Ref text = to_bool(is_class.get()) ? getattr_named(annotation.get(), names::dunder_name)
                                       : str_of(annotation.get());
    return json::Value::string(to_text(text.get()));
}

}  // namespace

bool is_asset(PyObject* member)
{
    Ref kind = Ref::steal(PyObject_GetAttr(member, names::sorva_kind.get()));
    if (!kind) {
        discard_exception();
        return false;
    }
    // Compared as text: a str subclass cannot answer "asset" by overriding __eq__.
    return PyUnicode_Check(kind.get()) && PyUnicode_Compare(kind.get(), names::asset.get()) == 0;
}

json::Value asset_record(const Toolkit& tools, const ModuleFacts& facts, PyObject* member)
{
    Ref metadata_dict = getattr_named(member, names::sorva_metadata);
    json::Value metadata = json::python_dict_to_json(metadata_dict.get());
    Ref original = original_function(member);
    std::string function_source = normalised_source(tools, original.get());
    Ref function_name = getattr_named(original.get(), names::dunder_name);
    std::string function_name_text = to_text(function_name.get());
    std::string file_path = source_file(tools, original.get());
    json::Value returns = return_type(tools, original.get());
    // Read last, after everything user code could have done to the module.
    Ref module_path = getattr_named(facts.module, names::dunder_name);
    std::string module_path_text = to_text(module_path.get());

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
