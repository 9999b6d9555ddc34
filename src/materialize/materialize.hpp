// The body of `materialize_asset`.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "module/module.hpp"

namespace sorva::materialize {

// Runs one asset into output_dir; returns None, or raises SystemExit(1)
// after recording the asset's failure.
Ref materialize_asset(std::string_view module_name, std::string_view function_name, std::string_view output_dir,
                      const std::optional<std::string>& input_kwargs_json);

}  // namespace sorva::materialize
