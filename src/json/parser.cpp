// The strict parser: grammar, nesting limit, number conversion and the fixed error texts with positions.
#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>
#include <system_error>
#include <tuple>

#include "json/json.hpp"
#include "json/string_scan.hpp"

namespace sorva::json {
namespace {

enum class ErrorKind {
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

// Indexed by ErrorKind.
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
static_assert(std::size(kMessages) == static_cast<std::size_t>(ErrorKind::Count));

// Thrown by fail() and caught only in parse(). `through` counts the bytes up
// to and including the byte at fault: 0 only for an empty input.
struct Failure {
    ErrorKind kind;
    std::size_t through;
};

// Counted down before each "[" or "{" is entered; reaching 0 fails, so 127
// containers can be nested.
constexpr int kDepthBudget = 128;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& s, std::uint32_t cp)
{
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

}  // namespace

namespace detail {

class Parser {
public:
    explicit Parser(std::string_view text) : begin_(text.data()), p_(begin_), end_(begin_ + text.size()) {}

    Document document()
    {
        skip_space();
        Value v;
        if (at_container()) {
            v = container();
        } else {
            scalar(v);
        }
        skip_space();
        if (p_ != end_) fail(ErrorKind::TrailingCharacters, p_);
        doc_.set_root(v);
        return std::move(doc_);
    }

    // Line and column are worked out only here, from the failure's byte count.
    ParseError error(const Failure& f) const
    {
        ParseError e{kMessages[static_cast<std::size_t>(f.kind)], 1, 0};
        if (f.through == 0) return e;
        const char* const at = begin_ + f.through - 1;
        e.line += static_cast<std::size_t>(std::count(begin_, at, '\n'));
        const auto line_start =
            std::find(std::make_reverse_iterator(at), std::make_reverse_iterator(begin_), '\n').base();
        e.column = static_cast<std::size_t>(at - line_start) + 1;
        return e;
    }

private:
    [[noreturn]] void fail(ErrorKind kind, const char* at) const
    {
        throw Failure{kind, static_cast<std::size_t>(at - begin_) + 1};
    }

    // Input that ends too early is reported at its last byte.
    [[noreturn]] void fail_at_end(ErrorKind kind) const
    {
        throw Failure{kind, static_cast<std::size_t>(end_ - begin_)};
    }

    void skip_space()
    {
        while (p_ != end_ && is_space(*p_)) ++p_;
    }

    bool at_container() const { return p_ != end_ && (*p_ == '[' || *p_ == '{'); }

    Value container() { return *p_ == '[' ? array() : object(); }

    // Any value but an array or object, built in `out` (a null). Nothing in
    // here nests, so `out` may be a slot of a waiting stack.
    void scalar(Value& out)
    {
        if (p_ == end_) fail_at_end(ErrorKind::EofValue);
        switch (*p_) {
            case 'n': literal("null"); return;
            case 't':
                literal("true");
                out = Value::boolean(true);
                return;
            case 'f':
                literal("false");
                out = Value::boolean(false);
                return;
            case '"': out = string_value(); return;
            case '-':
            case '0':
            case '1':
            case '2':
            case '3':
            case '4':
            case '5':
            case '6':
            case '7':
            case '8':
            case '9': out = number(); return;
            default: fail(ErrorKind::ExpectedValue, p_);
        }
    }

    // The first letter has already chosen the word.
    void literal(std::string_view word)
    {
        if (static_cast<std::size_t>(end_ - p_) >= word.size() && std::equal(word.begin(), word.end(), p_)) {
            p_ += word.size();
            return;
        }
        ++p_;
        for (const char c : word.substr(1)) {
            if (p_ == end_) fail_at_end(ErrorKind::EofValue);
            if (*p_ != c) fail(ErrorKind::ExpectedIdent, p_);
            ++p_;
        }
    }

    void enter()
    {
        if (--depth_ == 0) fail(ErrorKind::RecursionLimit, p_);
        ++p_;
        skip_space();
    }

    Value array()
    {
        enter();
        if (p_ == end_) fail_at_end(ErrorKind::EofList);
        const std::size_t base = values_.size();
        if (*p_ != ']') {
            for (;;) {
                if (at_container()) {
                    values_.push_back(container());
                } else {
                    scalar(values_.emplace_back());
                }
                skip_space();
                if (p_ == end_) fail_at_end(ErrorKind::EofList);
                if (*p_ == ']') break;
                if (*p_ != ',') fail(ErrorKind::ExpectedListCommaOrEnd, p_);
                ++p_;
                skip_space();
                if (p_ != end_ && *p_ == ']') fail(ErrorKind::TrailingComma, p_);
            }
        }
        ++p_;
        ++depth_;
        // The children move once, from the waiting stack into the document.
        const Value v = doc_.array(std::span<const Value>(values_).subspan(base));
        values_.resize(base);
        return v;
    }

    Value object()
    {
        enter();
        if (p_ == end_) fail_at_end(ErrorKind::EofObject);
        const std::size_t base = members_.size();
        if (*p_ != '}') {
            for (;;) {
                if (*p_ != '"') fail(ErrorKind::KeyMustBeString, p_);
                members_.push_back({string_value().as_string(), Value()});
                skip_space();
                if (p_ == end_) fail_at_end(ErrorKind::EofObject);
                if (*p_ != ':') fail(ErrorKind::ExpectedColon, p_);
                ++p_;
                skip_space();
                if (at_container()) {
                    // Nested members may move the stack, so find the slot again afterwards.
                    const std::size_t slot = members_.size() - 1;
                    const Value v = container();
                    members_[slot].value = v;
                } else {
                    scalar(members_.back().value);
                }
                skip_space();
                if (p_ == end_) fail_at_end(ErrorKind::EofObject);
                if (*p_ == '}') break;
                if (*p_ != ',') fail(ErrorKind::ExpectedObjectCommaOrEnd, p_);
                ++p_;
                skip_space();
                if (p_ == end_) fail_at_end(ErrorKind::EofValue);
                if (*p_ == '}') fail(ErrorKind::TrailingComma, p_);
            }
        }
        ++p_;
        ++depth_;
        const Value v = doc_.object_of_kept_keys(std::span<Member>(members_).subspan(base));
        members_.resize(base);
        return v;
    }

    // Where one number's parts lie in the input.
    struct NumberText {
        const char* start;      // the sign, or the first digit
        const char* int_begin;  // the integer part's digits
        const char* int_end;
        const char* mantissa_end;    // after the fraction, when there is one
        const char* exponent_begin;  // the exponent's digits, or nullptr without one
        const char* end;
        bool negative;
        bool exponent_negative;
    };

    Value number() { return number_value(scan_number()); }

    // The grammar, checked by hand: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][-+]?[0-9]+)?
    NumberText scan_number()
    {
        NumberText n{};
        n.start = p_;
        n.negative = *p_ == '-';
        if (n.negative && ++p_ == end_) fail_at_end(ErrorKind::EofValue);
        n.int_begin = p_;
        if (*p_ == '0') {
            ++p_;
            if (p_ != end_ && is_digit(*p_)) fail(ErrorKind::InvalidNumber, p_);
        } else if (is_digit(*p_)) {
            skip_digits();
        } else {
            fail(ErrorKind::InvalidNumber, p_);
        }
        n.int_end = p_;
        if (p_ != end_ && *p_ == '.') {
            if (++p_ == end_) fail_at_end(ErrorKind::EofValue);
            if (!is_digit(*p_)) fail(ErrorKind::InvalidNumber, p_);
            skip_digits();
        }
        n.mantissa_end = p_;
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) n.exponent_negative = *p_++ == '-';
            if (p_ == end_) fail_at_end(ErrorKind::EofValue);
            if (!is_digit(*p_)) fail(ErrorKind::InvalidNumber, p_);
            n.exponent_begin = p_;
            skip_digits();
        }
        n.end = p_;
        return n;
    }

    void skip_digits()
    {
        while (p_ != end_ && is_digit(*p_)) ++p_;
    }

    // The value of a number the grammar accepted: integers that fit are read
    // here, every other number is converted from its text, correctly rounded.
    Value number_value(const NumberText& n) const
    {
        std::int32_t exponent = 0;
        if (n.exponent_begin != nullptr) {
            for (const char* d = n.exponent_begin; d != n.end; ++d) {
                const int digit = *d - '0';
                if (exponent > (std::numeric_limits<std::int32_t>::max() - digit) / 10) return exponent_overflow(n, d);
                exponent = exponent * 10 + digit;
            }
            if (n.exponent_negative) exponent = -exponent;
        }
        const bool is_float = n.mantissa_end != n.int_end || n.exponent_begin != nullptr;
        if (!is_float) {
            std::uint64_t magnitude = 0;
            if (read_integer(n.int_begin, n.int_end, magnitude)) {
                if (!n.negative) return Value::uint(magnitude);
                if (magnitude == 0) return Value::from_double(-0.0);
                constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
                if (magnitude <= kMinMagnitude) return Value::negint(static_cast<std::int64_t>(0 - magnitude));
                return Value::from_double(-static_cast<double>(magnitude));
            }
        }
        double x = 0;
        if (std::from_chars(n.start, n.end, x).ec == std::errc::result_out_of_range) {
            if (leading_exponent(n) + exponent > 0) fail(ErrorKind::NumberOutOfRange, n.end - 1);
            x = n.negative ? -0.0 : 0.0;
        }
        return Value::from_double(x);
    }

    // Reads the digits as an unsigned 64-bit integer; false when they exceed it.
    static bool read_integer(const char* first, const char* last, std::uint64_t& out)
    {
        constexpr std::ptrdiff_t kAlwaysFits = std::numeric_limits<std::uint64_t>::digits10;
        if (last - first <= kAlwaysFits) {
            std::uint64_t n = 0;
            for (; first != last; ++first) n = n * 10 + static_cast<std::uint64_t>(*first - '0');
            out = n;
            return true;
        }
        return std::from_chars(first, last, out).ec == std::errc();
    }

    // The explicit exponent does not fit 32 bits from digit `at` on: a
    // non-zero significand with a positive exponent is out of range, reported
    // at that digit; anything else is a zero.
    Value exponent_overflow(const NumberText& n, const char* at) const
    {
        const bool zero_significand =
            std::none_of(n.start, n.mantissa_end, [](char c) { return c >= '1' && c <= '9'; });
        if (!zero_significand && !n.exponent_negative) fail(ErrorKind::NumberOutOfRange, at);
        return Value::from_double(n.negative ? -0.0 : 0.0);
    }

    // Power of ten of the first significant digit of the mantissa, to tell an
    // overflow from an underflow; only called for a non-zero mantissa.
    static std::int64_t leading_exponent(const NumberText& n)
    {
        if (*n.int_begin != '0') return n.int_end - n.int_begin - 1;
        const char* const fraction = n.int_end + 1;
        return -(std::find_if(fraction, n.mantissa_end, [](char c) { return c != '0'; }) - fraction) - 1;
    }

    // The string at p_, kept by the document. One without escapes, the
    // common case, is a view of the document's copy of the input, which is
    // made once, at the first such string: no allocation per string or key.
    Value string_value()
    {
        ++p_;
        const char* run_end = detail::find_string_special(p_, end_);
        if (run_end != end_ && *run_end == '"') {
            if (kept_input_ == nullptr) {
                kept_input_ = doc_.keep(std::string_view(begin_, static_cast<std::size_t>(end_ - begin_)));
            }
            const std::string_view text(kept_input_ + (p_ - begin_), static_cast<std::size_t>(run_end - p_));
            p_ = run_end + 1;
            return doc_.kept_string(text);
        }
        return doc_.string(escaped(run_end));
    }

    // The decoding of a string with escapes, from the first special byte
    // at `run_end` on, in a buffer reused for the whole parse.
    std::string_view escaped(const char* run_end)
    {
        scratch_.assign(p_, run_end);
        for (;;) {
            if (run_end == end_) fail_at_end(ErrorKind::EofString);
            p_ = run_end + 1;
            if (*run_end == '"') return scratch_;
            if (*run_end != '\\') fail(ErrorKind::ControlCharacter, run_end);
            escape(scratch_);
            run_end = detail::find_string_special(p_, end_);
            scratch_.append(p_, run_end);
        }
    }

    void escape(std::string& s)
    {
        if (p_ == end_) fail_at_end(ErrorKind::EofString);
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
            default: fail(ErrorKind::InvalidEscape, p_ - 1);
        }
    }

    // After "\u": one code point, from a single escape or a surrogate pair.
    std::uint32_t unicode_escape()
    {
        const std::uint32_t unit = hex4();
        if (unit >= 0xDC00 && unit <= 0xDFFF) fail(ErrorKind::LoneLeadingSurrogate, p_ - 1);
        if (unit < 0xD800 || unit > 0xDBFF) return unit;
        for (const char c : {'\\', 'u'}) {
            if (p_ == end_) fail_at_end(ErrorKind::EofString);
            if (*p_ != c) fail(ErrorKind::UnexpectedEndOfHexEscape, p_);
            ++p_;
        }
        const std::uint32_t low = hex4();
        if (low < 0xDC00 || low > 0xDFFF) fail(ErrorKind::LoneLeadingSurrogate, p_ - 1);
        return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }

    // The four characters are examined together, so a bad one is reported at the fourth.
    std::uint32_t hex4()
    {
        if (end_ - p_ < 4) fail_at_end(ErrorKind::EofString);
        std::uint32_t unit = 0;
        bool valid = true;
        for (int i = 0; i < 4; ++i) {
            const int h = hex_value(p_[i]);
            valid = valid && h >= 0;
            unit = unit << 4 | static_cast<std::uint32_t>(h & 0xF);
        }
        if (!valid) fail(ErrorKind::InvalidEscape, p_ + 3);
        p_ += 4;
        return unit;
    }

    const char* const begin_;
    const char* p_;
    const char* const end_;
    int depth_ = kDepthBudget;
    // The values of one parse, and its storage.
    Document doc_;
    // The children of the open containers wait here until their container
    // closes, so that each array and object takes its room in the document
    // once, at its final size.
    std::vector<Value> values_;
    std::vector<Member> members_;
    std::string scratch_;
    // The document's copy of the input, once a string needed it.
    const char* kept_input_ = nullptr;
};

}  // namespace detail

std::string ParseError::text() const
{
    std::string s(message);
    s += " at line ";
    s += std::to_string(line);
    s += " column ";
    s += std::to_string(column);
    return s;
}

ParseResult parse(std::string_view text)
{
    detail::Parser parser(text);
    try {
        return ParseResult(parser.document());
    } catch (const Failure& f) {
        return ParseResult(parser.error(f));
    }
}

}  // namespace sorva::json
