// Making AssetWrapper instances.
#pragma once

#include <Python.h>

#include "declare/metadata.hpp"
#include "module/module.hpp"

namespace sorva::declare {

// A new wrapper holding `function` and its own copy of `metadata`.
Ref new_wrapper(PyObject* function, const AssetMetadata& metadata);

}  // namespace sorva::declare
