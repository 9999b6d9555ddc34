// Tests of the compact writer: literals, integers, the float layout, string escapes and containers.
#include <gtest/gtest.h>

#include <limits>

#include "helpers.hpp"

namespace sorva::json {
namespace {

std::string w(double x) { return write(Value::from_double(x)); }
std::string w(std::string_view s) { return write(Value::string(std::string(s))); }

TEST(WriteScalars, LiteralsAndIntegers) {
    struct Case { Value v; const char* text; };
    const Case cases[] = {
        {Value(), "null"},
        {Value::boolean(true), "true"},
        {Value::boolean(false), "false"},
        {Value::uint(0), "0"},
        {Value::uint(7), "7"},
        {Value::uint(10), "10"},
        {Value::uint(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
        {Value::negint(-1), "-1"},
        {Value::negint(-10), "-10"},
        {Value::negint(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
        {Value::from_double(std::numeric_limits<double>::quiet_NaN()), "null"},
        {Value::from_double(-std::numeric_limits<double>::infinity()), "null"},
    };
    for (const Case& c : cases) EXPECT_EQ(write(c.v), c.text);
}

// Digits are written in pairs and eight-digit groups: check every length and
// the values on both sides of each power of ten.
TEST(WriteScalars, IntegersAroundEveryPowerOfTen) {
    std::vector<std::uint64_t> cases = {std::numeric_limits<std::uint64_t>::max()};
    for (std::uint64_t power = 1;; power *= 10) {
        cases.insert(cases.end(), {power - 1, power, power + 1});
        if (power > std::numeric_limits<std::uint64_t>::max() / 10) break;
    }
    for (const std::uint64_t n : cases) {
        EXPECT_EQ(write(Value::uint(n)), std::to_string(n));
        if (n > 0 && n <= std::uint64_t{1} << 63) {
            const auto negative = static_cast<std::int64_t>(0 - n);
            EXPECT_EQ(write(Value::negint(negative)), std::to_string(negative));
        }
    }
}

// E is the decimal exponent of the first digit, n the number of shortest digits.
TEST(WriteFloat, Zeros) {
    EXPECT_EQ(w(0.0), "0.0");
    EXPECT_EQ(w(-0.0), "-0.0");
}

TEST(WriteFloat, IntegralDigitsWithinFifteenGetPointZero) {  // n <= E + 1, 0 <= E <= 15
    EXPECT_EQ(w(1.0), "1.0");
    EXPECT_EQ(w(-1.0), "-1.0");
    EXPECT_EQ(w(9.0), "9.0");
    EXPECT_EQ(w(100.0), "100.0");
    EXPECT_EQ(w(120.0), "120.0");
    EXPECT_EQ(w(123.0), "123.0");
    EXPECT_EQ(w(1e15), "1000000000000000.0");
    EXPECT_EQ(w(-1e15), "-1000000000000000.0");
    EXPECT_EQ(w(1234567890123456.0), "1234567890123456.0");
    EXPECT_EQ(w(9007199254740991.0), "9007199254740991.0");
    EXPECT_EQ(w(9999999999999998.0), "9999999999999998.0");
}

TEST(WriteFloat, FractionDigitsWithinFifteenGetAPoint) {  // n > E + 1, 0 <= E <= 15
    EXPECT_EQ(w(1.5), "1.5");
    EXPECT_EQ(w(-1.5), "-1.5");
    EXPECT_EQ(w(12.34), "12.34");
    EXPECT_EQ(w(123.456), "123.456");
    EXPECT_EQ(w(1.7976931348623157), "1.7976931348623157");
    EXPECT_EQ(w(123456789012345.6), "123456789012345.6");
    EXPECT_EQ(w(1000000000000000.2), "1000000000000000.2");
    EXPECT_EQ(w(1234567890123456.8), "1234567890123456.8");
}

TEST(WriteFloat, SmallMagnitudesDownToMinusFiveAreDecimal) {  // -5 <= E <= -1
    EXPECT_EQ(w(0.1), "0.1");
    EXPECT_EQ(w(-0.1), "-0.1");
    EXPECT_EQ(w(0.5), "0.5");
    EXPECT_EQ(w(0.30000000000000004), "0.30000000000000004");
    EXPECT_EQ(w(0.001234), "0.001234");
    EXPECT_EQ(w(0.00001), "0.00001");
    EXPECT_EQ(w(-0.00001), "-0.00001");
    EXPECT_EQ(w(0.000015), "0.000015");
    EXPECT_EQ(w(0.000099999), "0.000099999");
    EXPECT_EQ(w(0.000012345678901234568), "0.000012345678901234568");
}

TEST(WriteFloat, OtherMagnitudesUseAnExponent) {  // E < -5 or E > 15
    EXPECT_EQ(w(0.000001), "1e-6");
    EXPECT_EQ(w(-0.000001), "-1e-6");
    EXPECT_EQ(w(0.0000015), "1.5e-6");
    EXPECT_EQ(w(1.5e-7), "1.5e-7");
    EXPECT_EQ(w(9.999999e-6), "9.999999e-6");
    EXPECT_EQ(w(1e16), "1e+16");
    EXPECT_EQ(w(-1e16), "-1e+16");
    EXPECT_EQ(w(1.5e16), "1.5e+16");
    EXPECT_EQ(w(12345678901234567.0), "1.2345678901234568e+16");
    EXPECT_EQ(w(1e21), "1e+21");
    EXPECT_EQ(w(1e100), "1e+100");
    EXPECT_EQ(w(1e-100), "1e-100");
    EXPECT_EQ(w(18446744073709551616.0), "1.8446744073709552e+19");
    EXPECT_EQ(w(5e-324), "5e-324");
    EXPECT_EQ(w(-5e-324), "-5e-324");
    EXPECT_EQ(w(2.2250738585072014e-308), "2.2250738585072014e-308");
    EXPECT_EQ(w(std::numeric_limits<double>::max()), "1.7976931348623157e+308");
    EXPECT_EQ(w(std::numeric_limits<double>::lowest()), "-1.7976931348623157e+308");
}

TEST(WriteString, EscapesOnlyQuoteBackslashAndControls) {
    struct Case { std::string_view in; const char* text; };
    const Case cases[] = {
        {"", R"("")"},
        {"plain", R"("plain")"},
        {"\"", R"("\"")"},
        {"\\", R"("\\")"},
        {"\b", R"("\b")"},
        {"\t", R"("\t")"},
        {"\n", R"("\n")"},
        {"\f", R"("\f")"},
        {"\r", R"("\r")"},
        {std::string_view("\0", 1), R"("\u0000")"},
        {"\x01", R"("\u0001")"},
        {"\x0B", R"("\u000b")"},
        {"\x1B", R"("\u001b")"},
        {"\x1F", R"("\u001f")"},
        {"/", R"("/")"},
        {" ", R"(" ")"},
        {"\x7F", "\"\x7F\""},
        {"\xC3\xA9", "\"\xC3\xA9\""},
        {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
        {"a\nb\tc\x01/\x7F\xC3\xA9", "\"a\\nb\\tc\\u0001/\x7F\xC3\xA9\""},
        {"\"\"\\\\", R"("\"\"\\\\")"},
    };
    for (const Case& c : cases) EXPECT_EQ(w(c.in), c.text) << c.in;
}

// The plain-run search looks at eight bytes at a time: put each special byte at
// every offset of a longer text, among neighbours that differ from the special
// bytes by one bit or only in the top bit.
TEST(WriteString, FindsSpecialBytesAtEveryOffset) {
    struct Special { char c; const char* escaped; };
    const Special specials[] = {{'"', "\\\""}, {'\\', "\\\\"}, {'\x00', "\\u0000"}, {'\x1F', "\\u001f"}, {'\n', "\\n"}};
    for (const std::string fill : {"a", "!", "#", "[", "]", " ", "\x7F", "\xA2", "\xDC", "\x9F", "\xC3\xA9"}) {
        for (const Special& s : specials) {
            for (std::size_t at = 0; at < 20; ++at) {
                std::string before, after;
                for (std::size_t i = 0; i < at; ++i) before += fill;
                for (std::size_t i = 0; i < 20 - at; ++i) after += fill;
                EXPECT_EQ(w(before + s.c + after), "\"" + before + s.escaped + after + "\"") << at;
            }
        }
    }
}

TEST(WriteContainers, CompactWithKeysInByteOrder) {
    Object members;
    members.emplace_back("b", Value::uint(1));
    members.emplace_back("a", Value::array({Value::uint(1), Value::from_double(2.5), Value(), Value::boolean(true)}));
    members.emplace_back("B", Value::object({}));
    members.emplace_back("\xC3\xA4", Value::array({}));
    members.emplace_back("q\"", Value::string("x"));
    EXPECT_EQ(write(Value::object(std::move(members))),
              "{\"B\":{},\"a\":[1,2.5,null,true],\"b\":1,\"q\\\"\":\"x\",\"\xC3\xA4\":[]}");
    EXPECT_EQ(write(Value::array({Value::array({Value::array({})}), Value::object({})})), "[[[]],{}]");
}

TEST(WriteOutput, AppendsToWhatTheStringHolds) {
    std::string out = "prefix:";
    write(Value::array({Value::uint(1)}), out);
    EXPECT_EQ(out, "prefix:[1]");
    std::string big(10000, 'x');
    std::string text;
    write(Value::array({Value::string(big), Value::string(big)}), text);
    EXPECT_EQ(text, "[\"" + big + "\",\"" + big + "\"]");
}

}  // namespace
}  // namespace sorva::json
