// What the other subsystems use of asset declaration: the two classes, the
// bodies of `asset` and `partitions`, and the asset protocol by which any
// object is read as an asset.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "module/module.hpp"

namespace sorva::declare {

// Created on first use and kept for the life of the process.
PyTypeObject* wrapper_type();
PyTypeObject* partitions_type();

// `values` is a list (checked by the caller).
Ref partitions(PyObject* values);

// `inputs` and `partitions` are nullptr when omitted or None.
Ref asset(std::optional<std::string> name, std::optional<std::string> serializer, PyObject* inputs,
          PyObject* partitions);

// The object declares itself an asset: its `__sorva_kind__` is the str
// "asset", compared as text (a str subclass cannot answer "asset" by
// overriding __eq__). An object that cannot answer is simply not one.
bool is_asset(PyObject* obj);

// The function an asset stands for: its `__sorva_original__`, or the object
// itself when that cannot be read.
Ref original_function(PyObject* asset);

}  // namespace sorva::declare
