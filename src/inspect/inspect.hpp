// The body of `inspect_modules`.
#pragma once

#include <string>
#include <vector>

#include "module/module.hpp"

namespace sorva::inspect {

// Imports each named module and returns the inspection output as a str.
Ref inspect_modules(const std::vector<std::string>& modules);

}  // namespace sorva::inspect
