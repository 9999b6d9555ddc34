// What the other subsystems use of asset declaration: the two classes and
// the bodies of `asset` and `partitions`.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "module/ref.hpp"

namespace sorva::declare {

// Created on first use and kept for the life of the process.
PyTypeObject* wrapper_type();
PyTypeObject* partitions_type();

// `values` is a list (checked by the caller).
Ref partitions(PyObject* values);

// `inputs` and `partitions` are nullptr when omitted or None.
Ref asset(std::optional<std::string> name, std::optional<std::string> serializer, PyObject* inputs,
          PyObject* partitions);

}  // namespace sorva::declare
