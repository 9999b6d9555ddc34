// The compact writer: no whitespace, keys in stored (byte) order, minimal escapes, fixed float layout.
#include "json.hpp"
#include "string_scan.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace sorva::json {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void put(char*& p, std::string_view s) {
    std::memcpy(p, s.data(), s.size());
    p += s.size();
}

void put_zeros(char*& p, int count) {
    std::memset(p, '0', static_cast<std::size_t>(count));
    p += count;
}

// Room for any number: the longest float is "-0.0000" and 17 digits, or "-", 17
// digits, "." and "e-324"; the longest integer has 20 digits.
constexpr std::size_t kMaxNumberLength = 32;

// Stage two of float writing: to_chars supplies the shortest round-trip digits
// d1 d2 ... dn and the exponent E in the form "d1.d2...dne+EE"; this lays them
// out by the fixed rules.
char* write_double(char* p, double x) {
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

// Writes straight into the output string, which is grown ahead of need and cut
// back to the written length when the writer goes away.
class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {
        const std::size_t start = out_.size();
        out_.resize(start + 256);
        p_ = out_.data() + start;
        end_ = out_.data() + out_.size();
    }
    ~Writer() { out_.resize(static_cast<std::size_t>(p_ - out_.data())); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void value(const Value& v) {
        switch (v.kind()) {
            case Kind::Null: literal("null"); break;
            case Kind::Bool: literal(v.as_bool() ? "true" : "false"); break;
            case Kind::UInt:
                room(kMaxNumberLength);
                p_ = std::to_chars(p_, end_, v.as_uint()).ptr;
                break;
            case Kind::NegInt:
                room(kMaxNumberLength);
                p_ = std::to_chars(p_, end_, v.as_negint()).ptr;
                break;
            case Kind::Float:
                room(kMaxNumberLength);
                p_ = write_double(p_, v.as_double());
                break;
            case Kind::String: string(v.as_string()); break;
            case Kind::Array: array(v.as_array()); break;
            case Kind::Object: object(v.as_object()); break;
        }
    }

private:
    void room(std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n) grow(n);
    }

    void grow(std::size_t n) {
        const std::size_t used = static_cast<std::size_t>(p_ - out_.data());
        out_.resize(std::max(out_.size() * 2, used + n));
        p_ = out_.data() + used;
        end_ = out_.data() + out_.size();
    }

    void literal(std::string_view s) {
        room(s.size());
        put(p_, s);
    }

    void byte(char c) {
        room(1);
        *p_++ = c;
    }

    void string(std::string_view s) {
        const char* in = s.data();
        const char* const in_end = in + s.size();
        room(s.size() + 2);
        *p_++ = '"';
        for (;;) {
            const char* const special = detail::find_string_special(in, in_end);
            put(p_, std::string_view(in, static_cast<std::size_t>(special - in)));
            if (special == in_end) break;
            // The escape takes up to six bytes, then the rest of the text and the closing quote.
            room(6 + static_cast<std::size_t>(in_end - special));
            escape(static_cast<unsigned char>(*special));
            in = special + 1;
        }
        *p_++ = '"';
    }

    void escape(unsigned char c) {
        *p_++ = '\\';
        switch (c) {
            case '"': *p_++ = '"'; break;
            case '\\': *p_++ = '\\'; break;
            case '\b': *p_++ = 'b'; break;
            case '\t': *p_++ = 't'; break;
            case '\n': *p_++ = 'n'; break;
            case '\f': *p_++ = 'f'; break;
            case '\r': *p_++ = 'r'; break;
            default:
                put(p_, "u00");
                *p_++ = kHexDigits[c >> 4];
                *p_++ = kHexDigits[c & 0xF];
        }
    }

    void array(const Array& items) {
        byte('[');
        bool first = true;
        for (const Value& item : items) {
            if (!first) byte(',');
            first = false;
            value(item);
        }
        byte(']');
    }

    void object(const Object& members) {
        byte('{');
        bool first = true;
        for (const auto& [key, item] : members) {
            if (!first) byte(',');
            first = false;
            string(key);
            byte(':');
            value(item);
        }
        byte('}');
    }

    std::string& out_;
    char* p_;
    char* end_;
};

}  // namespace

void write(const Value& v, std::string& out) {
    Writer writer(out);
    writer.value(v);
}

std::string write(const Value& v) {
    std::string out;
    write(v, out);
    return out;
}

}  // namespace sorva::json
