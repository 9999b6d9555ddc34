// From Python objects to JSON values, through the interpreter's json.dumps.
#pragma once

#include <Python.h>

#include "module/module.hpp"
#include "json/json.hpp"

namespace sorva::json {

// json.dumps(obj) with its defaults, read as text and parsed. What dumps
// raises passes unchanged; a non-str result fails the text conversion.
ParseResult parse_dumps(PyObject* json_module, PyObject* obj);

// parse_dumps on a freshly imported json module; a parse failure is
// RuntimeError "JSON parse error: {error}".
Document python_dict_to_json(PyObject* obj);

}  // namespace sorva::json
