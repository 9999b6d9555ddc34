// The success and failure records of result.json.
#include "materialize/artefacts.hpp"

#include "json/json.hpp"

namespace sorva::materialize {
namespace {

json::Member text_member(const char* key, std::string_view text)
{
    return {key, json::Value::string(std::string(text))};
}

}  // namespace

// The value model keeps members in byte order of their keys, so the text
// comes out sorted whatever order they are listed in here.
std::string success_record(const Success& success)
{
    return json::write(json::Value::object({
        text_member("artifact_format", "json"),
        text_member("function_name", success.function_name),
        text_member("module_path", success.module_path),
        {"ok", json::Value::boolean(true)},
        text_member("result_type", success.result_type),
        text_member("signature", success.signature),
        text_member("value_path", success.value_path),
    }));
}

std::string failure_record(std::string_view error, std::string_view error_type)
{
    return json::write(json::Value::object({
        text_member("error", error),
        text_member("error_type", error_type),
        {"ok", json::Value::boolean(false)},
    }));
}

}  // namespace sorva::materialize
