// What the decorator factory reads of a Partitions instance.
#pragma once

#include <Python.h>

#include <vector>

#include "json/json.hpp"

namespace sorva::declare {

// The keys of a Partitions instance (checked by the caller).
const std::vector<json::Value>& partition_values(PyObject* partitions);

}  // namespace sorva::declare
