// The JSON layer's public face: value model, compact writer and strict parser.
// Plain C++: nothing here knows about the interpreter.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
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

namespace detail {
class Parser;
}

class Value {
public:
    Value() noexcept : kind_(Kind::Null), bits_(0) {}
    Value(const Value& other);
    Value(Value&& other) noexcept : kind_(other.kind_) { move_from(other); }
    Value& operator=(const Value& other);
    Value& operator=(Value&& other) noexcept
    {
        if (this != &other) {
            destroy();
            kind_ = other.kind_;
            move_from(other);
        }
        return *this;
    }
    ~Value() { destroy(); }

    static Value boolean(bool b) { return Value(Kind::Bool, b ? 1 : 0); }
    static Value uint(std::uint64_t n) { return Value(Kind::UInt, n); }
    // n should be negative; a non-negative n still gives the unsigned kind, so
    // the invariant "non-negative integers are unsigned" holds whatever is passed.
    static Value negint(std::int64_t n)
    {
        return Value(n < 0 ? Kind::NegInt : Kind::UInt, static_cast<std::uint64_t>(n));
    }
    // NaN and the infinities become null.
    static Value from_double(double x)
    {
        return std::isfinite(x) ? Value(Kind::Float, std::bit_cast<std::uint64_t>(x)) : Value();
    }
    static Value string(std::string s)
    {
        Value v;
        v.kind_ = Kind::String;
        new (&v.string_) std::string(std::move(s));
        return v;
    }
    static Value array(Array items)
    {
        Value v;
        v.kind_ = Kind::Array;
        new (&v.array_) Array(std::move(items));
        return v;
    }
    // Sorts by key bytes (stable) and keeps the last of duplicate keys.
    static Value object(Object members);

    Kind kind() const { return kind_; }
    // Each accessor needs the matching kind and throws std::logic_error otherwise.
    bool as_bool() const { return scalar(Kind::Bool) != 0; }
    std::uint64_t as_uint() const { return scalar(Kind::UInt); }
    std::int64_t as_negint() const { return static_cast<std::int64_t>(scalar(Kind::NegInt)); }
    double as_double() const { return std::bit_cast<double>(scalar(Kind::Float)); }
    const std::string& as_string() const
    {
        expect(Kind::String);
        return string_;
    }
    const Array& as_array() const;
    const Object& as_object() const;

    // Structural equality; floats compare bit for bit.
    friend bool operator==(const Value& a, const Value& b);

private:
    // The parser builds strings in place, in the stack slot that keeps them.
    friend class detail::Parser;

    Value(Kind kind, std::uint64_t bits) noexcept : kind_(kind), bits_(bits) {}

    bool owns_memory() const { return kind_ == Kind::String || kind_ == Kind::Array || kind_ == Kind::Object; }
    void expect(Kind kind) const
    {
        if (kind_ != kind) wrong_kind();
    }
    [[noreturn]] static void wrong_kind();
    std::uint64_t scalar(Kind kind) const
    {
        expect(kind);
        return bits_;
    }
    // Constructs this value's payload from other's, whose kind kind_ already holds.
    void move_from(Value& other) noexcept
    {
        if (owns_memory()) {
            move_payload(other);
        } else {
            bits_ = other.bits_;
        }
    }
    void move_payload(Value& other) noexcept
    {
        switch (kind_) {
            case Kind::String: new (&string_) std::string(std::move(other.string_)); break;
            case Kind::Array: new (&array_) Array(std::move(other.array_)); break;
            default: new (&object_) Object(std::move(other.object_));
        }
    }
    void destroy() noexcept
    {
        if (owns_memory()) destroy_payload();
    }
    void destroy_payload() noexcept
    {
        switch (kind_) {
            case Kind::String: string_.~basic_string(); break;
            case Kind::Array: array_.~Array(); break;
            default: object_.~Object();
        }
    }

    Kind kind_;
    // Every scalar lives in bits_: a bool as 0 or 1, a negative integer as its
    // two's complement, a double as its bit pattern.
    union {
        std::uint64_t bits_;
        std::string string_;
        Array array_;
        Object object_;
    };
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
