// Tests of the strict parser: accepted texts, number kinds and values, strings, depth, and every error with its position.
#include <gtest/gtest.h>

#include <limits>

#include "helpers.hpp"

namespace sorva::json {
namespace {

using test_support::bits;
using test_support::outcome;

Value parsed(std::string_view text) {
    ParseResult r = parse(text);
    EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error().text());
    return r.ok() ? std::move(r.value()) : Value();
}

TEST(ParseAccepts, ValuesWithWhitespace) {
    struct Case { std::string_view text; const char* written; };
    const Case cases[] = {
        {"null", "null"},
        {"true", "true"},
        {"false", "false"},
        {" \t\r\n null \t\r\n", "null"},
        {"[]", "[]"},
        {"{}", "{}"},
        {"[ ]", "[]"},
        {"{ }", "{}"},
        {"[ 1 , [ ] , { } , \"a\" ]", "[1,[],{},\"a\"]"},
        {"{ \"b\" : 1 , \"a\" : [ true , false , null ] }", "{\"a\":[true,false,null],\"b\":1}"},
        {"\n[\n1,\r\n2\n]\n", "[1,2]"},
        {"{\"a\":{\"b\":{\"c\":[{}]}}}", "{\"a\":{\"b\":{\"c\":[{}]}}}"},
    };
    for (const Case& c : cases) EXPECT_EQ(outcome(c.text), std::string("ok: ") + c.written) << c.text;
}

TEST(ParseAccepts, ObjectKeysAreSortedAndTheLastDuplicateWins) {
    struct Case { std::string_view text; const char* written; };
    const Case cases[] = {
        {R"({"a":1,"a":2})", R"({"a":2})"},
        {R"({"b":1,"a":2,"b":3})", R"({"a":2,"b":3})"},
        {"{\"b\":0,\"a\":0,\"B\":0,\"\xC3\xA4\":0}", "{\"B\":0,\"a\":0,\"b\":0,\"\xC3\xA4\":0}"},
        {R"({"ab":1,"a":2,"":3})", R"({"":3,"a":2,"ab":1})"},
        {R"({"\u0061":1,"a":2})", R"({"a":2})"},
        {R"({"x":{"z":1,"y":2},"x":{"w":3}})", R"({"x":{"w":3}})"},
    };
    for (const Case& c : cases) EXPECT_EQ(outcome(c.text), std::string("ok: ") + c.written) << c.text;
    EXPECT_EQ(parsed(R"({"a":1,"a":2})").as_object().size(), 1u);
}

TEST(ParseNumbers, IntegersKeepTheirKind) {
    EXPECT_EQ(parsed("0"), Value::uint(0));
    EXPECT_EQ(parsed("7"), Value::uint(7));
    EXPECT_EQ(parsed("9999999999999999999"), Value::uint(9999999999999999999u));
    EXPECT_EQ(parsed("18446744073709551615"), Value::uint(std::numeric_limits<std::uint64_t>::max()));
    EXPECT_EQ(parsed("-1"), Value::negint(-1));
    EXPECT_EQ(parsed("-9223372036854775807"), Value::negint(-9223372036854775807));
    EXPECT_EQ(parsed("-9223372036854775808"), Value::negint(std::numeric_limits<std::int64_t>::min()));
}

TEST(ParseNumbers, FloatsWhereIntegersCannotHold) {
    struct Case { std::string_view text; double x; };
    const Case cases[] = {
        {"-0", -0.0},
        {"18446744073709551616", 18446744073709551616.0},
        {"100000000000000000000000", 1e23},
        {"-9223372036854775809", -9223372036854775808.0},
        {"-18446744073709551615", -18446744073709551615.0},
        {"-18446744073709551616", -18446744073709551616.0},
    };
    for (const Case& c : cases) {
        const Value v = parsed(c.text);
        ASSERT_EQ(v.kind(), Kind::Float) << c.text;
        EXPECT_EQ(bits(v.as_double()), bits(c.x)) << c.text;
    }
    EXPECT_EQ(write(parsed("-0")), "-0.0");
    EXPECT_EQ(write(parsed("18446744073709551616")), "1.8446744073709552e+19");
}

TEST(ParseNumbers, FractionsAndExponentsAreCorrectlyRounded) {
    struct Case { std::string_view text; double x; };
    const Case cases[] = {
        {"0.0", 0.0},
        {"-0.0", -0.0},
        {"0e5", 0.0},
        {"1.5", 1.5},
        {"-1.5", -1.5},
        {"1e2", 100.0},
        {"1E2", 100.0},
        {"1e+2", 100.0},
        {"1e-2", 0.01},
        {"1.0", 1.0},
        {"0.1", 0.1},
        {"123.456e-7", 123.456e-7},
        {"9007199254740993.0", 9007199254740992.0},
        {"9007199254740995.0", 9007199254740996.0},
        {"2.2250738585072011e-308", 2.2250738585072011e-308},
        {"2.2250738585072012e-308", 2.2250738585072014e-308},
        {"1.7976931348623157e308", std::numeric_limits<double>::max()},
        {"1.7976931348623158e308", std::numeric_limits<double>::max()},
        {"4.9406564584124654e-324", 5e-324},
        {"2.4703282292062328e-324", 5e-324},
        {"617.1425757935437", 617.1425757935437},
        {"0.8078186934089567", 0.8078186934089567},
        {"837.2040424102082", 837.2040424102082},
        {"1448997445238699.0", 1448997445238699.0},
        {"0.49999999999999994", 0.49999999999999994},
        {"1.00000000000000011102230246251565404236316680908203125", 1.0},
        {"1.00000000000000011102230246251565404236316680908203126", 1.0000000000000002},
    };
    for (const Case& c : cases) {
        const Value v = parsed(c.text);
        ASSERT_EQ(v.kind(), Kind::Float) << c.text;
        EXPECT_EQ(bits(v.as_double()), bits(c.x)) << c.text;
    }
}

TEST(ParseNumbers, TooSmallBecomesSignedZero) {
    struct Case { std::string_view text; double x; };
    const Case cases[] = {
        {"1e-400", 0.0},
        {"-1e-400", -0.0},
        {"2.4703282292062327e-324", 0.0},
        {"-2e-324", -0.0},
        {"0.000000000000000000000000000000000000000000001e-300", 0.0},
        {"1e-2147483647", 0.0},
        // The explicit exponent overflows 32 bits: negative, or with a zero significand.
        {"1e-2147483648", 0.0},
        {"-1e-99999999999999999999", -0.0},
        {"0e2147483648", 0.0},
        {"-0.000e99999999999", -0.0},
        {"0.0E+2147483648", 0.0},
    };
    for (const Case& c : cases) {
        const Value v = parsed(c.text);
        ASSERT_EQ(v.kind(), Kind::Float) << c.text;
        EXPECT_EQ(bits(v.as_double()), bits(c.x)) << c.text;
    }
    EXPECT_EQ(outcome("[1e-2147483648,2]"), "ok: [0.0,2]");
}

TEST(ParseStrings, EscapesAndRawBytes) {
    struct Case { std::string_view text; std::string_view value; };
    const Case cases[] = {
        {R"("")", ""},
        {R"("abc")", "abc"},
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {R"("\u0000")", std::string_view("\0", 1)},
        {R"("\u0041\u0062")", "Ab"},
        {R"("\u007f")", "\x7F"},
        {R"("\u0080")", "\xC2\x80"},
        {R"("\u00e9\u00E9")", "\xC3\xA9\xC3\xA9"},
        {R"("\u07FF")", "\xDF\xBF"},
        {R"("\u0800")", "\xE0\xA0\x80"},
        {R"("\uFFFF")", "\xEF\xBF\xBF"},
        {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
        {R"("\uD800\uDC00")", "\xF0\x90\x80\x80"},
        {R"("\udbff\udfff")", "\xF4\x8F\xBF\xBF"},
        {"\"\xC3\xA9/\x7F\xF0\x9F\x98\x80\"", "\xC3\xA9/\x7F\xF0\x9F\x98\x80"},
        {R"("a long plain run before an escape\n and after it")", "a long plain run before an escape\n and after it"},
    };
    for (const Case& c : cases) {
        const Value v = parsed(c.text);
        ASSERT_EQ(v.kind(), Kind::String) << c.text;
        EXPECT_EQ(v.as_string(), c.value) << c.text;
    }
}

// The plain-run search tests eight bytes at a time: put an escape, a control
// byte and the closing quote at every offset, among neighbours that differ
// from the special bytes by one bit or only in the top bit.
TEST(ParseStrings, FindsTheEndOfPlainRunsAtEveryOffset) {
    for (const std::string fill : {"a", "!", "#", "[", "]", " ", "\x7F", "\xA2", "\xDC", "\x9F", "\xC3\xA9"}) {
        for (std::size_t at = 0; at < 20; ++at) {
            std::string before;
            for (std::size_t i = 0; i < at; ++i) before += fill;
            const std::string after = fill + fill + fill + fill + fill + fill + fill + fill + fill;
            EXPECT_EQ(parsed("\"" + before + "\"").as_string(), before);
            EXPECT_EQ(parsed("\"" + before + "\\n" + after + "\"").as_string(), before + "\n" + after);
            EXPECT_EQ(outcome("\"" + before + "\x01" + after + "\""),
                      "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                          std::to_string(before.size() + 2));
        }
    }
}

std::string nested(std::size_t depth, std::string_view open, std::string_view inner, std::string_view close) {
    std::string s;
    for (std::size_t i = 0; i < depth; ++i) s += open;
    s += inner;
    for (std::size_t i = 0; i < depth; ++i) s += close;
    return s;
}

TEST(ParseDepth, HundredTwentySevenContainersNest) {
    EXPECT_TRUE(parse(nested(127, "[", "", "]")).ok());
    EXPECT_TRUE(parse(nested(127, "{\"a\":", "1", "}")).ok());
    EXPECT_TRUE(parse(nested(63, "[{\"k\":", "[]", "}]")).ok());
    // Leaving a container gives its level back.
    const std::string deep = nested(126, "[", "", "]");
    EXPECT_TRUE(parse("[" + deep + "," + deep + "," + deep + "]").ok());
}

TEST(ParseDepth, TheHundredTwentyEighthFails) {
    EXPECT_EQ(outcome(nested(128, "[", "", "]")), "recursion limit exceeded at line 1 column 128");
    EXPECT_EQ(outcome(nested(128, "[", "", "")), "recursion limit exceeded at line 1 column 128");
    EXPECT_EQ(outcome(nested(128, "{\"a\":", "1", "}")), "recursion limit exceeded at line 1 column 636");
    EXPECT_EQ(outcome("\n " + nested(128, "[ ", "", "]")), "recursion limit exceeded at line 2 column 256");
    EXPECT_EQ(outcome(nested(1000, "[", "", "]")), "recursion limit exceeded at line 1 column 128");
}

struct ErrorCase { std::string_view text; const char* error; };

void expect_errors(const std::vector<ErrorCase>& cases) {
    for (const ErrorCase& c : cases) EXPECT_EQ(outcome(c.text), c.error) << c.text;
}

TEST(ParseErrors, EndOfInput) {
    expect_errors({
        {"", "EOF while parsing a value at line 1 column 0"},
        {"   ", "EOF while parsing a value at line 1 column 3"},
        {"\n", "EOF while parsing a value at line 1 column 1"},
        {"\n\n ", "EOF while parsing a value at line 3 column 1"},
        {"-", "EOF while parsing a value at line 1 column 1"},
        {"1.", "EOF while parsing a value at line 1 column 2"},
        {"1e", "EOF while parsing a value at line 1 column 2"},
        {"1E+", "EOF while parsing a value at line 1 column 3"},
        {"-1.5e-", "EOF while parsing a value at line 1 column 6"},
        {"n", "EOF while parsing a value at line 1 column 1"},
        {"nul", "EOF while parsing a value at line 1 column 3"},
        {"tru", "EOF while parsing a value at line 1 column 3"},
        {"fals", "EOF while parsing a value at line 1 column 4"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {"[1,\n", "EOF while parsing a value at line 1 column 4"},
        {"[1,\n ", "EOF while parsing a value at line 2 column 1"},
        {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
        {"{\"a\":1, ", "EOF while parsing a value at line 1 column 8"},
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"[ ", "EOF while parsing a list at line 1 column 2"},
        {"[1", "EOF while parsing a list at line 1 column 2"},
        {"[1 ", "EOF while parsing a list at line 1 column 3"},
        {"[[]", "EOF while parsing a list at line 1 column 3"},
        {"[\"a\"", "EOF while parsing a list at line 1 column 4"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {"{\n", "EOF while parsing an object at line 1 column 2"},
        {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        {"{\"a\" ", "EOF while parsing an object at line 1 column 5"},
        {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
        {"{\"a\":{}", "EOF while parsing an object at line 1 column 7"},
        {"\"", "EOF while parsing a string at line 1 column 1"},
        {"\"abc", "EOF while parsing a string at line 1 column 4"},
        {"\"\xC3\xA9", "EOF while parsing a string at line 1 column 3"},
        {"{\"ab", "EOF while parsing a string at line 1 column 4"},
        {"[\"a\\", "EOF while parsing a string at line 1 column 4"},
        {"\"\\u", "EOF while parsing a string at line 1 column 3"},
        {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        {"\"\\uZZ", "EOF while parsing a string at line 1 column 5"},
        {"\"\\u123", "EOF while parsing a string at line 1 column 6"},
        {"\"\\u1234", "EOF while parsing a string at line 1 column 7"},
        {"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
        {"\"\\ud800\\", "EOF while parsing a string at line 1 column 8"},
        {"\"\\ud800\\u", "EOF while parsing a string at line 1 column 9"},
        {"\"\\ud800\\udc0", "EOF while parsing a string at line 1 column 12"},
    });
}

TEST(ParseErrors, Values) {
    expect_errors({
        {"x", "expected value at line 1 column 1"},
        {"NaN", "expected value at line 1 column 1"},
        {"Infinity", "expected value at line 1 column 1"},
        {"+1", "expected value at line 1 column 1"},
        {".5", "expected value at line 1 column 1"},
        {"]", "expected value at line 1 column 1"},
        {"\x01", "expected value at line 1 column 1"},
        {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        {"[,]", "expected value at line 1 column 2"},
        {"[1,,2]", "expected value at line 1 column 4"},
        {"{\"a\":}", "expected value at line 1 column 6"},
        {"[\"\xC3\xA9\", x]", "expected value at line 1 column 8"},
        {"[\n  \"\xE6\x97\xA5\xE6\x9C\xAC\",\n  'a']", "expected value at line 3 column 3"},
        {"nulx", "expected ident at line 1 column 4"},
        {"nUll", "expected ident at line 1 column 2"},
        {"trUe", "expected ident at line 1 column 3"},
        {"fals3", "expected ident at line 1 column 5"},
        {"[nul]", "expected ident at line 1 column 5"},
    });
}

TEST(ParseErrors, Structure) {
    expect_errors({
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"[1:", "expected `,` or `]` at line 1 column 3"},
        {"[1}", "expected `,` or `]` at line 1 column 3"},
        {"[truex]", "expected `,` or `]` at line 1 column 6"},
        {"[1\n\n 2]", "expected `,` or `]` at line 3 column 2"},
        {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        {"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
        {"{\"a\" 1}", "expected `:` at line 1 column 6"},
        {"{\"a\",}", "expected `:` at line 1 column 5"},
        {"{\"\xC3\xA9\"=1}", "expected `:` at line 1 column 6"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{,}", "key must be a string at line 1 column 2"},
        {"{]", "key must be a string at line 1 column 2"},
        {"{'a':1}", "key must be a string at line 1 column 2"},
        {"{\"a\":1,2:3}", "key must be a string at line 1 column 8"},
        {"{\"a\":1,]", "key must be a string at line 1 column 8"},
        {"[1,]", "trailing comma at line 1 column 4"},
        {"[1, ]", "trailing comma at line 1 column 5"},
        {"[1,\n2,]", "trailing comma at line 2 column 3"},
        {"{\"a\":1,}", "trailing comma at line 1 column 8"},
        {"{\"a\":1 , }", "trailing comma at line 1 column 10"},
        {"{\"a\":1} x", "trailing characters at line 1 column 9"},
        {"1 2", "trailing characters at line 1 column 3"},
        {"1x", "trailing characters at line 1 column 2"},
        {"[]]", "trailing characters at line 1 column 3"},
        {"truex", "trailing characters at line 1 column 5"},
        {"nullnull", "trailing characters at line 1 column 5"},
        {"\"a\"\"b\"", "trailing characters at line 1 column 4"},
        {"1\n\n  x", "trailing characters at line 3 column 3"},
        {"{}\n\xC3\xA9", "trailing characters at line 2 column 1"},
    });
}

TEST(ParseErrors, Numbers) {
    expect_errors({
        {"01", "invalid number at line 1 column 2"},
        {"00", "invalid number at line 1 column 2"},
        {"-01", "invalid number at line 1 column 3"},
        {"-a", "invalid number at line 1 column 2"},
        {"- 1", "invalid number at line 1 column 2"},
        {"-Infinity", "invalid number at line 1 column 2"},
        {"1.a", "invalid number at line 1 column 3"},
        {"1.e5", "invalid number at line 1 column 3"},
        {"[1.]", "invalid number at line 1 column 4"},
        {"1ea", "invalid number at line 1 column 3"},
        {"1e+a", "invalid number at line 1 column 4"},
        {"1e-+1", "invalid number at line 1 column 4"},
        {"1e400", "number out of range at line 1 column 5"},
        {"-1e400", "number out of range at line 1 column 6"},
        {"[1e309]", "number out of range at line 1 column 6"},
        {"1.7976931348623159e308", "number out of range at line 1 column 22"},
        {"18446744073709551616e300", "number out of range at line 1 column 24"},
        {"0.1e2147483647", "number out of range at line 1 column 14"},
        // An explicit exponent beyond 32 bits fails at the digit that overflows it.
        {"1e2147483648", "number out of range at line 1 column 12"},
        {"1e21474836480", "number out of range at line 1 column 12"},
        {"-0.5E+99999999999", "number out of range at line 1 column 16"},
        {"0.001e2147483650", "number out of range at line 1 column 16"},
    });
    EXPECT_EQ(outcome("1" + std::string(309, '0')), "number out of range at line 1 column 310");
    EXPECT_EQ(outcome("0." + std::string(300, '0') + "1e700"), "number out of range at line 1 column 307");
}

TEST(ParseErrors, Strings) {
    expect_errors({
        {"\"\\x\"", "invalid escape at line 1 column 3"},
        {"\"\\U0041\"", "invalid escape at line 1 column 3"},
        {"\"\\ \"", "invalid escape at line 1 column 3"},
        {"\"\\\x01\"", "invalid escape at line 1 column 3"},
        {"\"\\uZZZZ\"", "invalid escape at line 1 column 7"},
        {"\"\\u12x4\"", "invalid escape at line 1 column 7"},
        {"\"\\u123\"]", "invalid escape at line 1 column 7"},
        {"\"\\ud800\\uZZZZ\"", "invalid escape at line 1 column 13"},
        {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {"\"\t\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
        {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {"\"\xC3\xA9\x1F\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
        {"[\"abcdefghijklmnopqrstuvwxyz\x1F\"]",
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 29"},
        {"\"\\n\x7F\x1B\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 5"},
        {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        {"\"\\uDFFF\"", "lone leading surrogate in hex escape at line 1 column 7"},
        {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\\ud800\\ud800\"", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\\udbff\\ue000\"", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
        {"\"\\ud800x\"", "unexpected end of hex escape at line 1 column 8"},
        {"\"\\ud800\\n\"", "unexpected end of hex escape at line 1 column 9"},
        {"{\"s\": \"\\ud800\"}", "unexpected end of hex escape at line 1 column 14"},
        {"{\"s\": \"\\udc00\"}", "lone leading surrogate in hex escape at line 1 column 13"},
        {"{\"x\": NaN}", "expected value at line 1 column 7"},
    });
}

TEST(ParseErrorText, JoinsMessageLineAndColumn) {
    const ParseResult r = parse("[1,\n2,]");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "trailing comma");
    EXPECT_EQ(r.error().line, 2u);
    EXPECT_EQ(r.error().column, 3u);
    EXPECT_EQ(r.error().text(), "trailing comma at line 2 column 3");
}

TEST(ParseInput, NeedsNoTerminatingNul) {
    const std::string text = "[12345]";
    EXPECT_EQ(write(parsed(std::string_view(text).substr(0, 6).substr(1, 3))), "123");
    EXPECT_EQ(outcome(std::string_view(text).substr(0, 3)), "EOF while parsing a list at line 1 column 3");
    EXPECT_EQ(outcome(std::string_view("tr")), "EOF while parsing a value at line 1 column 2");
}

}  // namespace
}  // namespace sorva::json
