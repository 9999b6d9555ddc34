// The instance layout of Partitions, shared with the decorator factory.
#pragma once

#include <Python.h>

#include <vector>

#include "json/json.hpp"

namespace sorva::declare {

struct PartitionsObject {
    PyObject_HEAD
    std::vector<json::Value>* values;  // owned, set at creation
};

}  // namespace sorva::declare
