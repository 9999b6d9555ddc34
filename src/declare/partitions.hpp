// What the decorator factory reads of a Partitions instance.
#pragma once

#include <Python.h>

#include <memory>

#include "json/json.hpp"

namespace sorva::declare {

// The keys of a Partitions instance (checked by the caller): the array at
// the root of the document.
std::shared_ptr<const json::Document> partition_values(PyObject* partitions);

}  // namespace sorva::declare
