// The bridge from Python objects to JSON values.
#include "json/bridge.hpp"

#include "module/module.hpp"

namespace sorva::json {

ParseResult parse_dumps(PyObject* json_module, PyObject* obj)
{
    Ref dumps = getattr(json_module, "dumps");
    Ref text = call(dumps.get(), obj);
    return parse(text_of(text.get()));
}

Value python_dict_to_json(PyObject* obj)
{
    Ref json_module = import_module("json");
    ParseResult result = parse_dumps(json_module.get(), obj);
    if (!result.ok()) {
        fail(PyExc_RuntimeError, "JSON parse error: " + result.error().text());
    }
    return std::move(result.value());
}

}  // namespace sorva::json
