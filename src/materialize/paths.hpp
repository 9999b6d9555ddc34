// The pathlib calls through which the artefacts reach the disk.
#pragma once

#include <Python.h>

#include <string_view>

#include "module/module.hpp"

namespace sorva::materialize {

// pathlib.Path(output_dir)
Ref output_path(PyObject* pathlib, std::string_view output_dir);

// path.mkdir(parents=True, exist_ok=True)
void make_directory(PyObject* path);

// path.__truediv__(name)
Ref join(PyObject* path, std::string_view name);

// path.write_text(text, "utf-8")
void write_text(PyObject* path, PyObject* text);

}  // namespace sorva::materialize
