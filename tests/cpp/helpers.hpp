// Small helpers shared by the JSON layer's unit tests.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/json.hpp"

namespace sorva::json::test_support {

// The error text of a failed parse, or "ok: " and the written value.
inline std::string outcome(std::string_view text) {
    ParseResult r = parse(text);
    return r.ok() ? "ok: " + write(r.value()) : r.error().text();
}

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

}  // namespace sorva::json::test_support
