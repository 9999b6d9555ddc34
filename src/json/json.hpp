// The JSON layer's public face: value model, compact writer and strict parser.
// Plain C++: nothing here knows about the interpreter.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace sorva::json {

enum class Kind : std::uint8_t { Null, Bool, UInt, NegInt, Float, String, Array, Object };

struct Member;

namespace detail {
class Parser;
class Writer;
}  // namespace detail

// One JSON value in 16 bytes. Scalars stand alone; a string, array or
// object is a view of bytes, items or members kept by the Document that
// made it, and lives as long as that document. Copying a Value copies the
// view, never what it shows.
class Value {
public:
    constexpr Value() noexcept : tag_(tag(Kind::Null, 0)), bits_(0) {}

    static Value boolean(bool b) { return {Kind::Bool, 0, b ? 1U : 0U}; }
    static Value uint(std::uint64_t n) { return {Kind::UInt, 0, n}; }
    // n should be negative; a non-negative n still gives the unsigned kind, so
    // the invariant "non-negative integers are unsigned" holds whatever is passed.
    static Value negint(std::int64_t n)
    {
        return {n < 0 ? Kind::NegInt : Kind::UInt, 0, static_cast<std::uint64_t>(n)};
    }
    // NaN and the infinities become null.
    static Value from_double(double x)
    {
        return std::isfinite(x) ? Value(Kind::Float, 0, std::bit_cast<std::uint64_t>(x)) : Value();
    }

    Kind kind() const { return static_cast<Kind>(tag_ & 0xFF); }
    // Each accessor needs the matching kind and throws std::logic_error otherwise.
    bool as_bool() const { return scalar(Kind::Bool) != 0; }
    std::uint64_t as_uint() const { return scalar(Kind::UInt); }
    std::int64_t as_negint() const { return static_cast<std::int64_t>(scalar(Kind::NegInt)); }
    double as_double() const { return std::bit_cast<double>(scalar(Kind::Float)); }
    std::string_view as_string() const
    {
        expect(Kind::String);
        return {chars_, size()};
    }
    std::span<const Value> as_array() const
    {
        expect(Kind::Array);
        return {items_, size()};
    }
    // Always sorted by the keys' bytes, keys unique.
    std::span<const Member> as_object() const;

    // Structural equality; floats compare bit for bit.
    friend bool operator==(const Value& a, const Value& b);

private:
    friend class Document;

    static constexpr std::uint64_t tag(Kind kind, std::size_t size)
    {
        return static_cast<std::uint64_t>(size) << 8 | static_cast<std::uint64_t>(kind);
    }
    constexpr Value(Kind kind, std::size_t size, std::uint64_t bits) noexcept : tag_(tag(kind, size)), bits_(bits) {}

    std::size_t size() const { return static_cast<std::size_t>(tag_ >> 8); }
    void expect(Kind kind) const
    {
        if (this->kind() != kind) wrong_kind();
    }
    [[noreturn]] static void wrong_kind();
    std::uint64_t scalar(Kind kind) const
    {
        expect(kind);
        return bits_;
    }

    // The kind in the low byte, the length or count above it.
    std::uint64_t tag_;
    // A bool as 0 or 1, a negative integer as its two's complement, a double
    // as its bit pattern; or where the document keeps the bytes, items or members.
    union {
        std::uint64_t bits_;
        const char* chars_;
        const Value* items_;
        const Member* members_;
    };
};

struct Member {
    std::string_view key;
    Value value;
    friend bool operator==(const Member& a, const Member& b) = default;
};

inline std::span<const Member> Value::as_object() const
{
    expect(Kind::Object);
    return {members_, size()};
}

// Bump allocation from large blocks, all freed together: a document's
// strings, arrays and objects cost one allocation per block, not one each.
class Arena {
public:
    Arena() = default;
    Arena(Arena&& other) noexcept
        : blocks_(std::move(other.blocks_)), next_(std::exchange(other.next_, nullptr)),
          left_(std::exchange(other.left_, 0)), block_size_(other.block_size_)
    {}
    Arena& operator=(Arena&& other) noexcept
    {
        blocks_ = std::move(other.blocks_);
        next_ = std::exchange(other.next_, nullptr);
        left_ = std::exchange(other.left_, 0);
        block_size_ = other.block_size_;
        return *this;
    }
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() = default;

    // Room for `size` bytes aligned for any value the documents keep.
    void* allocate(std::size_t size);

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    std::size_t left_ = 0;
    std::size_t block_size_ = 4096;
};

// A JSON value with the storage of everything in it. Values for it are made
// through it; a value made by another document is copied in with `copy`.
class Document {
public:
    Document() = default;
    Document(Document&&) noexcept = default;
    Document& operator=(Document&&) noexcept = default;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;
    ~Document() = default;

    const Value& root() const { return root_; }
    void set_root(Value v) { root_ = v; }

    Value string(std::string_view text);
    Value array(std::span<const Value> items);
    Value array(std::initializer_list<Value> items)
    {
        return array(std::span<const Value>(items.begin(), items.size()));
    }
    // Sorts by key bytes (stable) and keeps the last of duplicate keys.
    Value object(std::vector<Member> members);
    // A deep copy of v, kept by this document.
    Value copy(const Value& v);

private:
    friend class detail::Parser;

    // Sorts and deduplicates members in place, whose keys this document
    // keeps already, and copies them in.
    Value object_of_kept_keys(std::span<Member> members);
    // A copy of `bytes` kept by this document, for strings to view.
    const char* keep(std::string_view bytes);
    // A string of bytes this document keeps already.
    static Value kept_string(std::string_view kept);
    template <class T>
    T* copy_items(std::span<const T> items);

    Arena arena_;
    Value root_;
};

// Appends the compact text of v to out; fails only when memory runs out.
void write(const Value& v, std::string& out);
std::string write(const Value& v);

// Where a TextWriter puts its text: bytes filled from the front, grown on
// demand, which may move them.
class Output {
public:
    // Room for `size` bytes in all, the first `used` kept as they are;
    // returns where the bytes now start. May throw.
    virtual char* reserve(std::size_t used, std::size_t size) = 0;

protected:
    Output() = default;
    Output(const Output&) = default;
    Output& operator=(const Output&) = default;
    ~Output() = default;
};

// Writes compact JSON text piece by piece into an Output, from its start:
// for text too large to be built as one value first.
class TextWriter {
public:
    explicit TextWriter(Output& out);
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // Text that is JSON already (punctuation, keys without escapes), as it stands.
    void raw(std::string_view text);
    void string(std::string_view text);
    void value(const Value& v);
    // The bytes written so far.
    std::size_t size() const { return static_cast<std::size_t>(p_ - base_); }
    std::string_view text() const { return {base_, size()}; }
    // Starts again from the front of the same room, for text written piece
    // by piece and taken away after each.
    void clear() { p_ = base_; }

private:
    friend class detail::Writer;
    Output& out_;
    char* base_;
    char* p_;
    char* end_;
};

struct ParseError {
    std::string_view message;  // one of the fixed parser messages
    std::size_t line = 0;
    std::size_t column = 0;
    // "{message} at line {line} column {column}"
    std::string text() const;
};

class ParseResult {
public:
    explicit ParseResult(Document d) : r_(std::move(d)) {}
    explicit ParseResult(ParseError e) : r_(e) {}
    bool ok() const { return r_.index() == 0; }
    const Value& value() const { return std::get<0>(r_).root(); }
    Document& document() { return std::get<0>(r_); }
    const ParseError& error() const { return std::get<1>(r_); }

private:
    std::variant<Document, ParseError> r_;
};

// Parses exactly one JSON value surrounded by optional whitespace. The bytes of
// strings are taken as they are: callers pass UTF-8 text.
ParseResult parse(std::string_view text);

}  // namespace sorva::json
