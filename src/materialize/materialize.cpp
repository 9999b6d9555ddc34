// The materialisation driver: runs one asset and leaves its value and outcome
// record in the output folder.
#include "materialize/materialize.hpp"

#include "declare/declare.hpp"
#include "materialize/artefacts.hpp"
#include "materialize/paths.hpp"

namespace sorva::materialize {
namespace {

struct Job {
    std::string_view module_name;
    std::string_view function_name;
    const std::optional<std::string>& input_kwargs_json;
};

// The function to call: the asset's original function when what the module
// holds answers __sorva_original__, else that object itself.
Ref find_target(PyObject* importlib, const Job& job)
{
    Ref module_name = new_str(job.module_name);
    Ref module = call_method(importlib, names::import_module, module_name.get());
    Ref function_name = new_str(job.function_name);
    Ref found = check(PyObject_GetAttr(module.get(), function_name.get()));
    return declare::original_function(found.get());
}

Ref call_target(PyObject* json, PyObject* target, const std::optional<std::string>& input_kwargs_json)
{
    if (!input_kwargs_json) {
        return check(PyObject_CallNoArgs(target));
    }
    Ref text = new_str(*input_kwargs_json);
    Ref kwargs = call_method(json, names::loads, text.get());
    return call_with_keywords(target, expect_dict(kwargs.get()));
}

// Everything from the user's import to the success record; whatever it
// raises is the asset's failure.
void run_asset(const Stdlib& stdlib, PyObject* output, PyObject* record_path, const Job& job)
{
    Ref target = find_target(stdlib.importlib.get(), job);
    Ref value = call_target(stdlib.json.get(), target.get(), job.input_kwargs_json);

    Ref value_path = join(output, "value.json");
    Ref encoded = call_method(stdlib.json.get(), names::dumps, value.get());
    write_text(value_path.get(), encoded.get());

    std::string value_path_text = str_utf8(value_path.get());
    Ref signature = call_method(stdlib.inspect.get(), names::signature, target.get());
    std::string signature_text = str_utf8(signature.get());
    Ref type_name = getattr(reinterpret_cast<PyObject*>(Py_TYPE(value.get())), names::dunder_name);
    std::string result_type = utf8_copy(type_name.get());

    Ref record = new_str(success_record({
        .module_path = job.module_name,
        .function_name = job.function_name,
        .value_path = value_path_text,
        .result_type = result_type,
        .signature = signature_text,
    }));
    write_text(record_path, record.get());
}

// Called from a catch block: the failure in flight as an exception object,
// taken out of the interpreter so that nothing later chains to it.
Ref failure_in_flight()
{
    raise_current();
    return take_exception();
}

// Records the asset's failure and leaves through sys.exit(1). What fails on
// the way reaches the caller instead, and the asset's exception is dropped.
Ref record_failure(PyObject* record_path, PyObject* failure)
{
    std::string error = exception_text(failure);
    Ref type_name = getattr(reinterpret_cast<PyObject*>(Py_TYPE(failure)), names::dunder_name);
    std::string error_type = utf8_copy(type_name.get());
    Ref record = new_str(failure_record(error, error_type));
    write_text(record_path, record.get());

    Ref sys = import_module(names::sys);
    Ref code = check(PyLong_FromLong(1));
    call_method(sys.get(), names::exit, code.get());
    // Only a replaced sys.exit gets here.
    return Ref::borrow(Py_None);
}

}  // namespace

Ref materialize_asset(std::string_view module_name, std::string_view function_name, std::string_view output_dir,
                      const std::optional<std::string>& input_kwargs_json)
{
    const Stdlib stdlib = Stdlib::import({&Stdlib::importlib, &Stdlib::inspect, &Stdlib::json, &Stdlib::pathlib});
    Ref output = output_path(stdlib.pathlib.get(), output_dir);
    make_directory(output.get());
    Ref record_path = join(output.get(), "result.json");

    Ref failure;
    try {
        run_asset(stdlib, output.get(), record_path.get(), Job{module_name, function_name, input_kwargs_json});
        return Ref::borrow(Py_None);
    } catch (const Fault&) {
        // Internal faults are never an asset's failure.
        throw;
    } catch (...) {
        failure = failure_in_flight();
    }
    return record_failure(record_path.get(), failure.get());
}

}  // namespace sorva::materialize
