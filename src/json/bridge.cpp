// The bridge from Python objects to JSON values.
#include "json/bridge.hpp"

namespace sorva::json {

ParseResult parse_dumps(PyObject* json_module, PyObject* obj)
{
    Ref text = call_method(json_module, names::dumps, obj);
    return parse(utf8_view(text.get()));
}

Document python_dict_to_json(PyObject* obj)
{
    Ref json_module = import_module(names::json);
    ParseResult result = parse_dumps(json_module.get(), obj);
    if (!result.ok()) {
        fail(PyExc_RuntimeError, "JSON parse error: " + result.error().text());
    }
    return std::move(result.document());
}

}  // namespace sorva::json
