// The success and failure records of result.json.
#include "materialize/artefacts.hpp"

#include <vector>

#include "json/json.hpp"

namespace sorva::materialize {
namespace {

json::Member text_member(json::Document& doc, std::string_view key, std::string_view text)
{
    return {key, doc.string(text)};
}

}  // namespace

// The value model keeps members in byte order of their keys, so the text
// comes out sorted whatever order they are listed in here.
std::string success_record(const Success& success)
{
    json::Document doc;
    return json::write(doc.object({
        text_member(doc, "artifact_format", "json"),
        text_member(doc, "function_name", success.function_name),
        text_member(doc, "module_path", success.module_path),
        {"ok", json::Value::boolean(true)},
        text_member(doc, "result_type", success.result_type),
        text_member(doc, "signature", success.signature),
        text_member(doc, "value_path", success.value_path),
    }));
}

std::string failure_record(std::string_view error, std::string_view error_type)
{
    json::Document doc;
    return json::write(doc.object({
        text_member(doc, "error", error),
        text_member(doc, "error_type", error_type),
        {"ok", json::Value::boolean(false)},
    }));
}

}  // namespace sorva::materialize
