// The outcome records of result.json, formed as compact JSON text.
#pragma once

#include <string>
#include <string_view>

namespace sorva::materialize {

// What a successful run reports beside value.json.
struct Success {
    std::string_view module_path;
    std::string_view function_name;
    std::string_view value_path;
    std::string_view result_type;
    std::string_view signature;
};

std::string success_record(const Success& success);

// error is the exception text form, error_type the bare name of its type.
std::string failure_record(std::string_view error, std::string_view error_type);

}  // namespace sorva::materialize
