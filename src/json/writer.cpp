// The compact writer: no whitespace, keys in stored (byte) order, minimal escapes, fixed float layout.
#include "json/json.hpp"
#include "json/string_scan.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace sorva::json {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void put(char*& p, std::string_view s)
{
    std::memcpy(p, s.data(), s.size());
    p += s.size();
}

void put_zeros(char*& p, int count)
{
    std::memset(p, '0', static_cast<std::size_t>(count));
    p += count;
}

// "00" to "99": integers are written two digits at a time, and long ones in
// independent eight-digit groups, which shortens the chain of divisions.
constexpr auto kDigitPairs = [] {
    std::array<char, 200> pairs{};
    for (std::size_t i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

char* put_pair(char* p, std::uint32_t v)
{
    std::memcpy(p, &kDigitPairs[std::size_t{2} * v], 2);
    return p + 2;
}

// Exactly four digits of v < 10^4, or eight of v < 10^8.
char* put4(char* p, std::uint32_t v) { return put_pair(put_pair(p, v / 100), v % 100); }
char* put8(char* p, std::uint32_t v) { return put4(put4(p, v / 10000), v % 10000); }

// v < 10^8 without leading zeros.
char* put_short(char* p, std::uint32_t v)
{
    if (v >= 10000) return put4(put_short(p, v / 10000), v % 10000);
    if (v >= 1000) return put4(p, v);
    if (v >= 100) {
        *p++ = static_cast<char>('0' + v / 100);
        return put_pair(p, v % 100);
    }
    if (v >= 10) return put_pair(p, v);
    *p++ = static_cast<char>('0' + v);
    return p;
}

char* put_uint(char* p, std::uint64_t n)
{
    constexpr std::uint64_t k8 = 100000000;
    if (n < k8) return put_short(p, static_cast<std::uint32_t>(n));
    if (n < k8 * k8) return put8(put_short(p, static_cast<std::uint32_t>(n / k8)), static_cast<std::uint32_t>(n % k8));
    p = put_short(p, static_cast<std::uint32_t>(n / (k8 * k8)));
    p = put8(p, static_cast<std::uint32_t>(n / k8 % k8));
    return put8(p, static_cast<std::uint32_t>(n % k8));
}

// Room for any number: the longest float is "-0.0000" and 17 digits, or "-", 17
// digits, "." and "e-324"; the longest integer has 20 digits.
constexpr std::size_t kMaxNumberLength = 32;

// Stage two of float writing: to_chars supplies the shortest round-trip digits
// d1 d2 ... dn and the exponent E in the form "d1.d2...dne+EE"; this lays them
// out by the fixed rules.
char* write_double(char* p, double x)
{
    if (x == 0) {
        put(p, std::signbit(x) ? "-0.0" : "0.0");
        return p;
    }
    char sci[kMaxNumberLength];
    const char* const sci_end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
    const char* s = sci;
    if (*s == '-') *p++ = *s++;
    const char first = *s++;
    const char* const rest = *s == '.' ? s + 1 : s;
    const char* const rest_end = std::find(s, sci_end, 'e');
    const int n = 1 + static_cast<int>(rest_end - rest);
    int e = 0;
    std::from_chars(rest_end + 2, sci_end, e);
    if (rest_end[1] == '-') e = -e;

    const std::string_view rest_digits(rest, static_cast<std::size_t>(rest_end - rest));
    if (e >= -5 && e <= 15 && n <= e + 1) {
        *p++ = first;
        put(p, rest_digits);
        put_zeros(p, e + 1 - n);
        put(p, ".0");
    } else if (e >= 0 && e <= 15) {
        *p++ = first;
        put(p, rest_digits.substr(0, static_cast<std::size_t>(e)));
        *p++ = '.';
        put(p, rest_digits.substr(static_cast<std::size_t>(e)));
    } else if (e >= -5 && e <= -1) {
        put(p, "0.");
        put_zeros(p, -e - 1);
        *p++ = first;
        put(p, rest_digits);
    } else {
        *p++ = first;
        if (n > 1) {
            *p++ = '.';
            put(p, rest_digits);
        }
        *p++ = 'e';
        *p++ = e < 0 ? '-' : '+';
        p = std::to_chars(p, p + 3, e < 0 ? -e : e).ptr;
    }
    return p;
}

}  // namespace

namespace detail {

// Writes straight into the output's bytes, which are grown ahead of need. The
// write position travels as a local `p` through every call: kept in a member,
// each byte stored through it would force a reload (a char store may alias
// anything). The TextWriter keeps it between calls.
class Writer {
public:
    explicit Writer(TextWriter& text) : text_(text) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    char* start() { return text_.p_; }
    void finish(char* p) { text_.p_ = p; }

    char* value(char* p, const Value& v)
    {
        switch (v.kind()) {
            case Kind::Null: return literal(p, "null");
            case Kind::Bool: return literal(p, v.as_bool() ? "true" : "false");
            case Kind::UInt: p = room(p, kMaxNumberLength); return put_uint(p, v.as_uint());
            case Kind::NegInt:
                p = room(p, kMaxNumberLength);
                *p++ = '-';
                // Negated in unsigned arithmetic, which also holds the magnitude of the minimum.
                return put_uint(p, 0 - static_cast<std::uint64_t>(v.as_negint()));
            case Kind::Float: p = room(p, kMaxNumberLength); return write_double(p, v.as_double());
            case Kind::String: return string(p, v.as_string());
            case Kind::Array: return array(p, v.as_array());
            case Kind::Object: break;
        }
        return object(p, v.as_object());
    }

private:
    char* room(char* p, std::size_t n) { return static_cast<std::size_t>(text_.end_ - p) < n ? grow(p, n) : p; }

    char* grow(char* p, std::size_t n)
    {
        const std::size_t used = static_cast<std::size_t>(p - text_.base_);
        const std::size_t capacity = static_cast<std::size_t>(text_.end_ - text_.base_);
        const std::size_t size = std::max(capacity * 2, used + n);
        text_.base_ = text_.out_.reserve(used, size);
        text_.end_ = text_.base_ + size;
        return text_.base_ + used;
    }

public:
    char* literal(char* p, std::string_view s)
    {
        p = room(p, s.size());
        put(p, s);
        return p;
    }

private:
    char* byte(char* p, char c)
    {
        p = room(p, 1);
        *p++ = c;
        return p;
    }

public:
    char* string(char* p, std::string_view s)
    {
        const char* in = s.data();
        const char* const in_end = in + s.size();
        p = room(p, s.size() + 2);
        *p++ = '"';
        for (;;) {
            in = copy_plain(p, in, in_end);
            if (in == in_end) break;
            // The escape takes up to six bytes, then the rest of the text and the closing quote.
            p = room(p, 6 + static_cast<std::size_t>(in_end - in));
            p = escape(p, static_cast<unsigned char>(*in++));
        }
        *p++ = '"';
        return p;
    }

private:
    // Copies the plain run at the start of [in, in_end) to p and returns its
    // end. Words are stored before they are tested: room for the whole rest of
    // the text is reserved, and bytes past the run are overwritten later.
    static const char* copy_plain(char*& p, const char* in, const char* in_end)
    {
        for (; in_end - in >= 8; in += 8, p += 8) {
            std::memcpy(p, in, 8);
            if (const std::uint64_t marks = detail::special_marks(detail::load_word(in))) {
                const int n = detail::first_marked(marks);
                p += n;
                return in + n;
            }
        }
        while (in != in_end && !detail::is_string_special(static_cast<unsigned char>(*in))) *p++ = *in++;
        return in;
    }

    static char* escape(char* p, unsigned char c)
    {
        *p++ = '\\';
        switch (c) {
            case '"': *p++ = '"'; break;
            case '\\': *p++ = '\\'; break;
            case '\b': *p++ = 'b'; break;
            case '\t': *p++ = 't'; break;
            case '\n': *p++ = 'n'; break;
            case '\f': *p++ = 'f'; break;
            case '\r': *p++ = 'r'; break;
            default:
                put(p, "u00");
                *p++ = kHexDigits[c >> 4];
                *p++ = kHexDigits[c & 0xF];
        }
        return p;
    }

    char* array(char* p, std::span<const Value> items)
    {
        p = byte(p, '[');
        bool first = true;
        for (const Value& item : items) {
            if (!first) p = byte(p, ',');
            first = false;
            p = value(p, item);
        }
        return byte(p, ']');
    }

    char* object(char* p, std::span<const Member> members)
    {
        p = byte(p, '{');
        bool first = true;
        for (const auto& [key, item] : members) {
            if (!first) p = byte(p, ',');
            first = false;
            p = string(p, key);
            p = byte(p, ':');
            p = value(p, item);
        }
        return byte(p, '}');
    }

    TextWriter& text_;
};

}  // namespace detail

namespace {

// The text of `write`, behind what the string held before.
class StringOutput final : public Output {
public:
    explicit StringOutput(std::string& s) : s_(s), kept_(s.size()) {}
    StringOutput(const StringOutput&) = delete;
    StringOutput& operator=(const StringOutput&) = delete;

    char* reserve(std::size_t, std::size_t size) override
    {
        s_.resize(kept_ + size);
        return s_.data() + kept_;
    }

    // Cuts the string to the finished text, or back to what it held before
    // when writing was cut short.
    void finish(std::size_t size) { s_.resize(kept_ + size); }

private:
    std::string& s_;
    std::size_t kept_;
};

}  // namespace

TextWriter::TextWriter(Output& out) : out_(out), base_(out.reserve(0, 256)), p_(base_), end_(base_ + 256) {}

void TextWriter::raw(std::string_view text)
{
    detail::Writer writer(*this);
    writer.finish(writer.literal(writer.start(), text));
}

void TextWriter::string(std::string_view text)
{
    detail::Writer writer(*this);
    writer.finish(writer.string(writer.start(), text));
}

void TextWriter::value(const Value& v)
{
    detail::Writer writer(*this);
    writer.finish(writer.value(writer.start(), v));
}

void write(const Value& v, std::string& out)
{
    StringOutput output(out);
    try {
        TextWriter writer(output);
        writer.value(v);
        output.finish(writer.size());
    } catch (...) {
        output.finish(0);
        throw;
    }
}

std::string write(const Value& v)
{
    std::string out;
    write(v, out);
    return out;
}

}  // namespace sorva::json
