// The module functions' method records, in registration order.
#pragma once

#include <Python.h>

#include <span>

namespace sorva {

std::span<PyMethodDef> module_functions();

}  // namespace sorva
