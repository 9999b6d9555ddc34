// Tests of the strict parser: accepted texts, numbers, strings, depth, and every error with its position.
#include <gtest/gtest.h>

#include "json/json.hpp"

namespace sorva::json {
namespace {

// The error text of a failed parse, or "ok: " and the written value.
std::string outcome(std::string_view text)
{
    ParseResult r = parse(text);
    return r.ok() ? "ok: " + write(r.value()) : r.error().text();
}

void expect_outcomes(const std::vector<std::pair<std::string, std::string>>& cases)
{
    for (const auto& [text, expected] : cases) EXPECT_EQ(outcome(text), expected) << text;
}

std::string repeat(std::string_view s, std::size_t n)
{
    std::string out;
    while (n-- > 0) out += s;
    return out;
}

TEST(ParseAccepts, ValuesKeysEscapesNumbersAndDepth)
{
    // 127 containers nest, and leaving a container gives its level back.
    const std::string nested = repeat("{\"a\":", 127) + "1" + repeat("}", 127);
    const std::string deep = repeat("[", 126) + repeat("]", 126);
    expect_outcomes({
        {" \t\r\n null \t\r\n", "ok: null"},
        {"[ 1 , [ ] , { } , \"a\" , true , false ]", R"(ok: [1,[],{},"a",true,false])"},
        {R"({"\u0061":1,"a":2})", R"(ok: {"a":2})"},
        {R"({"x":{"z":1,"y":2},"x":{"w":3}})", R"(ok: {"x":{"w":3}})"},
        {R"("\"\\\/\b\f\n\r\t\u0000")", R"(ok: "\"\\/\b\f\n\r\t\u0000")"},
        {R"("\u0041\u007f\u0080\u07FF\u0800\uffff")", "ok: \"A\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\""},
        {R"("\uD800\uDC00\udbff\udfff")", "ok: \"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\""},
        {"\"\xC3\xA9/\x7F\xF0\x9F\x98\x80\"", "ok: \"\xC3\xA9/\x7F\xF0\x9F\x98\x80\""},
        // Integers that fit 64 bits keep their kind; other numbers become floats, and
        // magnitudes too small for a double a signed zero, whatever the exponent's size.
        {"18446744073709551615", "ok: 18446744073709551615"},
        {"18446744073709551616", "ok: 1.8446744073709552e+19"},
        {"-9223372036854775808", "ok: -9223372036854775808"},
        {"-9223372036854775809", "ok: -9.223372036854776e+18"},
        {"-18446744073709551616", "ok: -1.8446744073709552e+19"},
        {"-0", "ok: -0.0"},
        {"-1.5E+2", "ok: -150.0"},
        {"2.4703282292062327e-324", "ok: 0.0"},
        {"-1e-400", "ok: -0.0"},
        {"0.000000000000000000000000000000000000000000001e-300", "ok: 0.0"},
        {"-1e-99999999999999999999", "ok: -0.0"},
        {"-0.000e99999999999", "ok: -0.0"},
        {"[1e-2147483648,2]", "ok: [0.0,2]"},
        {nested, "ok: " + nested},
        {"[" + deep + "," + deep + "]", "ok: [" + deep + "," + deep + "]"},
    });
}

// Strings and keys view the document's own copy of the input: the result
// outlives the text it was parsed from, and one parse never shares with another.
TEST(ParseAccepts, ResultsOutliveTheirInput)
{
    std::string text = R"({"key":["plain","esc\naped",""]})";
    ParseResult first = parse(text);
    const std::string expected = write(first.value());
    text.replace(text.find("plain"), 5, "other");
    ParseResult second = parse(text);
    text.assign(text.size(), '#');
    EXPECT_EQ(write(first.value()), expected);
    EXPECT_EQ(write(second.value()), R"({"key":["other","esc\naped",""]})");
}

// Writer and parser both look for special bytes eight at a time: put each at
// every offset of a longer text, among neighbours that differ from the special
// bytes by one bit or only in the top bit.
TEST(StringScan, FindsSpecialBytesAtEveryOffset)
{
    const std::pair<char, std::string> specials[] = {
        {'"', "\\\""}, {'\\', "\\\\"}, {'\0', "\\u0000"}, {'\x1F', "\\u001f"}};
    for (const std::string fill : {"a", "!", "#", "[", "]", " ", "\x7F", "\xA2", "\xDC", "\x9F", "\xC3\xA9"}) {
        for (std::size_t at = 0; at < 20; ++at) {
            std::string before, after;
            for (std::size_t i = 0; i < 20; ++i) (i < at ? before : after) += fill;
            EXPECT_EQ(outcome("\"" + before + "\""), "ok: \"" + before + "\"");
            EXPECT_EQ(outcome("\"" + before + "\x01" + after + "\""),
                      "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                          std::to_string(before.size() + 2));
            for (const auto& [c, escaped] : specials) {
                Document doc;
                const std::string written = write(doc.string(before + c + after));
                EXPECT_EQ(written, "\"" + before + escaped + after + "\"");
                EXPECT_EQ(outcome(written), "ok: " + written);
            }
        }
    }
}

// Columns count bytes from 1 on each line.
TEST(ParseErrors, EveryErrorWithItsPosition)
{
    expect_outcomes({
        {repeat("[", 128), "recursion limit exceeded at line 1 column 128"},
        {repeat("{\"a\":", 128) + "1" + repeat("}", 128), "recursion limit exceeded at line 1 column 636"},
        {"\n " + repeat("[ ", 128), "recursion limit exceeded at line 2 column 256"},
        {"", "EOF while parsing a value at line 1 column 0"},
        {"\n\n ", "EOF while parsing a value at line 3 column 1"},
        {"-", "EOF while parsing a value at line 1 column 1"},
        {"1.", "EOF while parsing a value at line 1 column 2"},
        {"1E+", "EOF while parsing a value at line 1 column 3"},
        {"tru", "EOF while parsing a value at line 1 column 3"},
        {"[1,\n", "EOF while parsing a value at line 1 column 4"},
        {"{\"a\":1, ", "EOF while parsing a value at line 1 column 8"},
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"[1 ", "EOF while parsing a list at line 1 column 3"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        {"\"\xC3\xA9", "EOF while parsing a string at line 1 column 3"},
        {"[\"a\\", "EOF while parsing a string at line 1 column 4"},
        {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        {"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
        {"\"\\ud800\\udc0", "EOF while parsing a string at line 1 column 12"},
        {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        {"{\"a\":}", "expected value at line 1 column 6"},
        {"[\"\xC3\xA9\", x]", "expected value at line 1 column 8"},
        {"[\n  \"\xE6\x97\xA5\xE6\x9C\xAC\",\n  'a']", "expected value at line 3 column 3"},
        {"nUll", "expected ident at line 1 column 2"},
        {"[nul]", "expected ident at line 1 column 5"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"[1\n\n 2]", "expected `,` or `]` at line 3 column 2"},
        {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        {"{\"a\" 1}", "expected `:` at line 1 column 6"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{\"a\":1,]", "key must be a string at line 1 column 8"},
        {"[1,\n2,]", "trailing comma at line 2 column 3"},
        {"{\"a\":1 , }", "trailing comma at line 1 column 10"},
        {"{}\n\xC3\xA9", "trailing characters at line 2 column 1"},
        {"01", "invalid number at line 1 column 2"},
        {"-01", "invalid number at line 1 column 3"},
        {"-Infinity", "invalid number at line 1 column 2"},
        {"1e+a", "invalid number at line 1 column 4"},
        {"-1e400", "number out of range at line 1 column 6"},
        {"1.7976931348623159e308", "number out of range at line 1 column 22"},
        {"0.1e2147483647", "number out of range at line 1 column 14"},
        {repeat("1", 1) + repeat("0", 309), "number out of range at line 1 column 310"},
        {repeat("0.", 1) + repeat("0", 300) + "1e700", "number out of range at line 1 column 307"},
        // An explicit exponent beyond 32 bits fails at the digit that overflows it.
        {"1e21474836480", "number out of range at line 1 column 12"},
        {"-0.5E+99999999999", "number out of range at line 1 column 16"},
        {"\"\\x\"", "invalid escape at line 1 column 3"},
        {"\"\\uZZZZ\"", "invalid escape at line 1 column 7"},
        {"\"\\ud800\\uZZZZ\"", "invalid escape at line 1 column 13"},
        {"\"\t\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
        {"\"\\n\x7F\x1B\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 5"},
        {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\\udbff\\ue000\"", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
        {"{\"s\": \"\\ud800\\n\"}", "unexpected end of hex escape at line 1 column 15"},
    });
    // The input is the view alone: nothing past its end is read.
    EXPECT_EQ(outcome(std::string_view("[12345]").substr(1, 3)), "ok: 123");
    EXPECT_EQ(outcome(std::string_view("true").substr(0, 2)), "EOF while parsing a value at line 1 column 2");
}

}  // namespace
}  // namespace sorva::json
