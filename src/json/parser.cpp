// The strict parser: grammar, nesting limit, number conversion and the fixed error texts with positions.
#include "json.hpp"
#include "string_scan.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <system_error>

namespace sorva::json {
namespace {

enum class Fault {
    EofValue,
    EofList,
    EofObject,
    EofString,
    ExpectedValue,
    ExpectedIdent,
    ExpectedListCommaOrEnd,
    ExpectedObjectCommaOrEnd,
    ExpectedColon,
    KeyMustBeString,
    TrailingComma,
    InvalidNumber,
    NumberOutOfRange,
    InvalidEscape,
    ControlCharacter,
    LoneLeadingSurrogate,
    UnexpectedEndOfHexEscape,
    RecursionLimit,
    TrailingCharacters,
    Count,
};

// Indexed by Fault.
constexpr std::string_view kMessages[] = {
    "EOF while parsing a value",
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "expected value",
    "expected ident",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected `:`",
    "key must be a string",
    "trailing comma",
    "invalid number",
    "number out of range",
    "invalid escape",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "lone leading surrogate in hex escape",
    "unexpected end of hex escape",
    "recursion limit exceeded",
    "trailing characters",
};
static_assert(std::size(kMessages) == static_cast<std::size_t>(Fault::Count));

// Thrown by fail() and caught only in parse(). `through` counts the bytes up
// to and including the byte at fault: 0 only for an empty input.
struct Failure {
    Fault fault;
    std::size_t through;
};

// Counted down before each "[" or "{" is entered; reaching 0 fails, so 127
// containers can be nested.
constexpr int kDepthBudget = 128;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& s, std::uint32_t cp) {
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        const char bytes[] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
        s.append(bytes, 2);
    } else if (cp < 0x10000) {
        const char bytes[] = {static_cast<char>(0xE0 | (cp >> 12)),
                              static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                              static_cast<char>(0x80 | (cp & 0x3F))};
        s.append(bytes, 3);
    } else {
        const char bytes[] = {static_cast<char>(0xF0 | (cp >> 18)),
                              static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                              static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                              static_cast<char>(0x80 | (cp & 0x3F))};
        s.append(bytes, 4);
    }
}

class Parser {
public:
    explicit Parser(std::string_view text) : begin_(text.data()), p_(begin_), end_(begin_ + text.size()) {}

    Value document() {
        skip_space();
        Value v = value();
        skip_space();
        if (p_ != end_) fail(Fault::TrailingCharacters, p_);
        return v;
    }

    // Line and column are worked out only here, from the failure's byte count.
    ParseError error(const Failure& f) const {
        ParseError e{kMessages[static_cast<std::size_t>(f.fault)], 1, 0};
        if (f.through == 0) return e;
        const char* const at = begin_ + f.through - 1;
        e.line += static_cast<std::size_t>(std::count(begin_, at, '\n'));
        const auto line_start = std::find(std::make_reverse_iterator(at), std::make_reverse_iterator(begin_), '\n').base();
        e.column = static_cast<std::size_t>(at - line_start) + 1;
        return e;
    }

private:
    [[noreturn]] void fail(Fault fault, const char* at) const {
        throw Failure{fault, static_cast<std::size_t>(at - begin_) + 1};
    }

    // Input that ends too early is reported at its last byte.
    [[noreturn]] void fail_at_end(Fault fault) const {
        throw Failure{fault, static_cast<std::size_t>(end_ - begin_)};
    }

    void skip_space() {
        while (p_ != end_ && is_space(*p_)) ++p_;
    }

    Value value() {
        if (p_ == end_) fail_at_end(Fault::EofValue);
        switch (*p_) {
            case 'n': literal("null"); return Value();
            case 't': literal("true"); return Value::boolean(true);
            case 'f': literal("false"); return Value::boolean(false);
            case '"': return Value::string(string());
            case '[': return array();
            case '{': return object();
            case '-':
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                return number();
            default: fail(Fault::ExpectedValue, p_);
        }
    }

    // The first letter has already chosen the word.
    void literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) >= word.size() && std::equal(word.begin(), word.end(), p_)) {
            p_ += word.size();
            return;
        }
        ++p_;
        for (const char c : word.substr(1)) {
            if (p_ == end_) fail_at_end(Fault::EofValue);
            if (*p_ != c) fail(Fault::ExpectedIdent, p_);
            ++p_;
        }
    }

    void enter() {
        if (--depth_ == 0) fail(Fault::RecursionLimit, p_);
        ++p_;
        skip_space();
    }

    Value array() {
        enter();
        if (p_ == end_) fail_at_end(Fault::EofList);
        Array items;
        if (*p_ != ']') {
            for (;;) {
                items.push_back(value());
                skip_space();
                if (p_ == end_) fail_at_end(Fault::EofList);
                if (*p_ == ']') break;
                if (*p_ != ',') fail(Fault::ExpectedListCommaOrEnd, p_);
                ++p_;
                skip_space();
                if (p_ != end_ && *p_ == ']') fail(Fault::TrailingComma, p_);
            }
        }
        ++p_;
        ++depth_;
        return Value::array(std::move(items));
    }

    Value object() {
        enter();
        if (p_ == end_) fail_at_end(Fault::EofObject);
        Object members;
        if (*p_ != '}') {
            for (;;) {
                if (*p_ != '"') fail(Fault::KeyMustBeString, p_);
                std::string key = string();
                skip_space();
                if (p_ == end_) fail_at_end(Fault::EofObject);
                if (*p_ != ':') fail(Fault::ExpectedColon, p_);
                ++p_;
                skip_space();
                members.emplace_back(std::move(key), value());
                skip_space();
                if (p_ == end_) fail_at_end(Fault::EofObject);
                if (*p_ == '}') break;
                if (*p_ != ',') fail(Fault::ExpectedObjectCommaOrEnd, p_);
                ++p_;
                skip_space();
                if (p_ == end_) fail_at_end(Fault::EofValue);
                if (*p_ == '}') fail(Fault::TrailingComma, p_);
            }
        }
        ++p_;
        ++depth_;
        return Value::object(std::move(members));
    }

    // Validates the grammar by hand; integers that fit are read here, every
    // other number is converted from the validated text, correctly rounded.
    Value number() {
        const char* const start = p_;
        const bool negative = *p_ == '-';
        if (negative && ++p_ == end_) fail_at_end(Fault::EofValue);
        const char* const int_begin = p_;
        if (*p_ == '0') {
            ++p_;
            if (p_ != end_ && is_digit(*p_)) fail(Fault::InvalidNumber, p_);
        } else if (is_digit(*p_)) {
            while (p_ != end_ && is_digit(*p_)) ++p_;
        } else {
            fail(Fault::InvalidNumber, p_);
        }
        const char* const int_end = p_;
        bool is_float = false;
        if (p_ != end_ && *p_ == '.') {
            if (++p_ == end_) fail_at_end(Fault::EofValue);
            if (!is_digit(*p_)) fail(Fault::InvalidNumber, p_);
            while (p_ != end_ && is_digit(*p_)) ++p_;
            is_float = true;
        }
        const char* const mantissa_end = p_;
        std::int32_t exponent = 0;
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            bool exponent_negative = false;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) exponent_negative = *p_++ == '-';
            if (p_ == end_) fail_at_end(Fault::EofValue);
            if (!is_digit(*p_)) fail(Fault::InvalidNumber, p_);
            do {
                const int digit = *p_ - '0';
                if (exponent > (std::numeric_limits<std::int32_t>::max() - digit) / 10) {
                    return exponent_overflow(start, mantissa_end, negative, exponent_negative);
                }
                exponent = exponent * 10 + digit;
                ++p_;
            } while (p_ != end_ && is_digit(*p_));
            if (exponent_negative) exponent = -exponent;
            is_float = true;
        }
        if (!is_float) {
            std::uint64_t magnitude = 0;
            if (read_integer(int_begin, int_end, magnitude)) {
                if (!negative) return Value::uint(magnitude);
                if (magnitude == 0) return Value::from_double(-0.0);
                constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
                if (magnitude <= kMinMagnitude) return Value::negint(static_cast<std::int64_t>(0 - magnitude));
                return Value::from_double(-static_cast<double>(magnitude));
            }
        }
        double x = 0;
        if (std::from_chars(start, p_, x).ec == std::errc::result_out_of_range) {
            if (leading_exponent(int_begin, int_end, mantissa_end) + exponent > 0) {
                fail(Fault::NumberOutOfRange, p_ - 1);
            }
            x = negative ? -0.0 : 0.0;
        }
        return Value::from_double(x);
    }

    // Reads the digits as an unsigned 64-bit integer; false when they exceed it.
    static bool read_integer(const char* first, const char* last, std::uint64_t& out) {
        constexpr std::ptrdiff_t kAlwaysFits = std::numeric_limits<std::uint64_t>::digits10;
        if (last - first <= kAlwaysFits) {
            std::uint64_t n = 0;
            for (; first != last; ++first) n = n * 10 + static_cast<std::uint64_t>(*first - '0');
            out = n;
            return true;
        }
        return std::from_chars(first, last, out).ec == std::errc();
    }

    // The explicit exponent does not fit 32 bits: a non-zero significand with a
    // positive exponent is out of range, anything else is a zero.
    Value exponent_overflow(const char* start, const char* mantissa_end, bool negative, bool exponent_negative) {
        const bool zero_significand =
            std::none_of(start, mantissa_end, [](char c) { return c >= '1' && c <= '9'; });
        if (!zero_significand && !exponent_negative) fail(Fault::NumberOutOfRange, p_);
        while (p_ != end_ && is_digit(*p_)) ++p_;
        return Value::from_double(negative ? -0.0 : 0.0);
    }

    // Power of ten of the first significant digit of the mantissa, to tell an
    // overflow from an underflow; only called for a non-zero mantissa.
    static std::int64_t leading_exponent(const char* int_begin, const char* int_end, const char* mantissa_end) {
        if (*int_begin != '0') return int_end - int_begin - 1;
        const char* const fraction = int_end + 1;
        return -(std::find_if(fraction, mantissa_end, [](char c) { return c != '0'; }) - fraction) - 1;
    }

    std::string string() {
        ++p_;
        const char* run_end = detail::find_string_special(p_, end_);
        std::string s(p_, run_end);
        for (;;) {
            if (run_end == end_) fail_at_end(Fault::EofString);
            p_ = run_end + 1;
            if (*run_end == '"') return s;
            if (*run_end != '\\') fail(Fault::ControlCharacter, run_end);
            escape(s);
            run_end = detail::find_string_special(p_, end_);
            s.append(p_, run_end);
        }
    }

    void escape(std::string& s) {
        if (p_ == end_) fail_at_end(Fault::EofString);
        switch (*p_++) {
            case '"': s += '"'; break;
            case '\\': s += '\\'; break;
            case '/': s += '/'; break;
            case 'b': s += '\b'; break;
            case 'f': s += '\f'; break;
            case 'n': s += '\n'; break;
            case 'r': s += '\r'; break;
            case 't': s += '\t'; break;
            case 'u': append_utf8(s, unicode_escape()); break;
            default: fail(Fault::InvalidEscape, p_ - 1);
        }
    }

    // After "\u": one code point, from a single escape or a surrogate pair.
    std::uint32_t unicode_escape() {
        const std::uint32_t unit = hex4();
        if (unit >= 0xDC00 && unit <= 0xDFFF) fail(Fault::LoneLeadingSurrogate, p_ - 1);
        if (unit < 0xD800 || unit > 0xDBFF) return unit;
        for (const char c : {'\\', 'u'}) {
            if (p_ == end_) fail_at_end(Fault::EofString);
            if (*p_ != c) fail(Fault::UnexpectedEndOfHexEscape, p_);
            ++p_;
        }
        const std::uint32_t low = hex4();
        if (low < 0xDC00 || low > 0xDFFF) fail(Fault::LoneLeadingSurrogate, p_ - 1);
        return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }

    // The four characters are examined together, so a bad one is reported at the fourth.
    std::uint32_t hex4() {
        if (end_ - p_ < 4) fail_at_end(Fault::EofString);
        std::uint32_t unit = 0;
        bool valid = true;
        for (int i = 0; i < 4; ++i) {
            const int h = hex_value(p_[i]);
            valid = valid && h >= 0;
            unit = unit << 4 | static_cast<std::uint32_t>(h & 0xF);
        }
        if (!valid) fail(Fault::InvalidEscape, p_ + 3);
        p_ += 4;
        return unit;
    }

    const char* const begin_;
    const char* p_;
    const char* const end_;
    int depth_ = kDepthBudget;
};

}  // namespace

std::string ParseError::text() const {
    std::string s(message);
    s += " at line ";
    s += std::to_string(line);
    s += " column ";
    s += std::to_string(column);
    return s;
}

ParseResult parse(std::string_view text) {
    Parser parser(text);
    try {
        return ParseResult(parser.document());
    } catch (const Failure& f) {
        return ParseResult(parser.error(f));
    }
}

}  // namespace sorva::json
