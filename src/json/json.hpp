// The JSON layer's public face: value model, compact writer and strict parser.
// Plain C++: nothing here knows about the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace sorva::json {

class Value;
using Array = std::vector<Value>;
using Member = std::pair<std::string, Value>;
// Always sorted by the keys' bytes, keys unique.
using Object = std::vector<Member>;

enum class Kind { Null, Bool, UInt, NegInt, Float, String, Array, Object };

class Value {
public:
    Value() = default;  // null

    static Value boolean(bool b);
    static Value uint(std::uint64_t n);
    // n should be negative; a non-negative n still gives the unsigned kind, so
    // the invariant "non-negative integers are unsigned" holds whatever is passed.
    static Value negint(std::int64_t n);
    // NaN and the infinities become null.
    static Value from_double(double x);
    static Value string(std::string s);
    static Value array(Array items);
    // Sorts by key bytes (stable) and keeps the last of duplicate keys.
    static Value object(Object members);

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    // Each accessor needs the matching kind and throws std::bad_variant_access otherwise.
    bool as_bool() const;
    std::uint64_t as_uint() const;
    std::int64_t as_negint() const;
    double as_double() const;
    const std::string& as_string() const;
    const Array& as_array() const;
    const Object& as_object() const;

    // Structural equality; floats compare bit for bit.
    friend bool operator==(const Value& a, const Value& b);

private:
    struct NegInt { std::int64_t n; };
    // The alternatives are in the order of Kind, so kind() is the variant index.
    using Storage =
        std::variant<std::monostate, bool, std::uint64_t, NegInt, double, std::string, Array, Object>;

    Storage v_;
};

// Appends the compact text of v to out. Never fails.
void write(const Value& v, std::string& out);
std::string write(const Value& v);

struct ParseError {
    std::string_view message;  // one of the fixed parser messages
    std::size_t line = 0;
    std::size_t column = 0;
    // "{message} at line {line} column {column}"
    std::string text() const;
};

class ParseResult {
public:
    explicit ParseResult(Value v) : r_(std::move(v)) {}
    explicit ParseResult(ParseError e) : r_(e) {}
    bool ok() const { return r_.index() == 0; }
    Value& value() { return std::get<0>(r_); }
    const ParseError& error() const { return std::get<1>(r_); }

private:
    std::variant<Value, ParseError> r_;
};

// Parses exactly one JSON value surrounded by optional whitespace. The bytes of
// strings are taken as they are: callers pass UTF-8 text.
ParseResult parse(std::string_view text);

}  // namespace sorva::json
