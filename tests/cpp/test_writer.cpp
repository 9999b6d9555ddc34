// Tests of the value model's invariants, the compact writer, and the write-then-parse round trip.
#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <random>

#include "json/json.hpp"

namespace sorva::json {
namespace {

std::string object_of(const std::vector<std::pair<std::string, int>>& in)
{
    Document doc;
    std::vector<Member> members;
    for (const auto& [key, n] : in) members.push_back({key, Value::uint(static_cast<std::uint64_t>(n))});
    return write(doc.object(std::move(members)));
}

// Non-negative integers are always unsigned and floats compare bit for bit. Keys
// sort by their bytes and the last duplicate wins, also in an object large
// enough that an unstable sort would reorder the duplicates.
TEST(ValueModel, IntegerKindsEqualityAndKeyOrder)
{
    EXPECT_EQ(Value::negint(0), Value::uint(0));
    EXPECT_EQ(Value::negint(42), Value::uint(42));
    EXPECT_NE(Value::from_double(0.0), Value::from_double(-0.0));
    EXPECT_NE(Value::uint(1), Value::from_double(1.0));
    EXPECT_NE(Value::uint(0), Value());
    Document doc;
    EXPECT_NE(doc.array({Value::uint(1)}), doc.array({Value::uint(1), Value()}));
    EXPECT_EQ(object_of({{"b", 1}, {"a", 2}, {"B", 3}, {"\xC3\xA4", 4}, {"\x7F", 5}, {"ab", 6}, {"", 7}}),
              "{\"\":7,\"B\":3,\"a\":2,\"ab\":6,\"b\":1,\"\x7F\":5,\"\xC3\xA4\":4}");
    EXPECT_EQ(object_of({{"b", 1}, {"a", 2}, {"b", 3}, {"a", 4}, {"b", 5}}), R"({"a":4,"b":5})");
    EXPECT_EQ(object_of({{"x", 1}, {"y", 2}, {"y", 3}}), R"({"x":1,"y":3})");  // sorted but for the duplicate
    std::mt19937 rng(7);
    std::vector<std::pair<std::string, int>> many;
    std::map<std::string, int> last;
    for (int i = 0; i < 500; ++i) last[many.emplace_back(std::to_string(rng() % 40), i).first] = i;
    std::string expected;
    for (const auto& [key, n] : last) expected += (expected.empty() ? "{\"" : ",\"") + key + "\":" + std::to_string(n);
    EXPECT_EQ(object_of(many), expected + "}");
}

TEST(WriteScalars, LiteralsAndIntegersAroundEveryPowerOfTen)
{
    EXPECT_EQ(write(Value::from_double(std::numeric_limits<double>::quiet_NaN())), "null");
    EXPECT_EQ(write(Value::from_double(-std::numeric_limits<double>::infinity())), "null");
    EXPECT_EQ(write(Value::negint(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
    EXPECT_EQ(write(Value::uint(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
    // Digits go out in pairs and eight-digit groups: every length, both sides of each power.
    std::uint64_t power = 1;
    for (int length = 1; length <= 20; ++length, power *= 10) {
        for (const std::uint64_t n : {power - 1, power, power + 1}) {
            EXPECT_EQ(write(Value::uint(n)), std::to_string(n));
            const auto negative = static_cast<std::int64_t>(0 - n);
            EXPECT_TRUE(n >> 63 || write(Value::negint(negative)) == std::to_string(negative)) << negative;
        }
    }
}

// E is the decimal exponent of the first digit, n the number of shortest
// digits. Each text also parses back to the same bits.
TEST(WriteFloat, FixedLayoutAndItsBoundaries)
{
    const std::pair<double, const char*> cases[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},  // n <= E + 1, 0 <= E <= 15: every digit, zeros, ".0"
        {-120.0, "-120.0"},
        {1e15, "1000000000000000.0"},
        {9999999999999998.0, "9999999999999998.0"},
        {-1.5, "-1.5"},  // n > E + 1, 0 <= E <= 15: the point after digit E + 1
        {1234567890123456.8, "1234567890123456.8"},
        {0.30000000000000004, "0.30000000000000004"},  // -5 <= E <= -1: "0." and -E - 1 zeros
        {-0.00001, "-0.00001"},
        {0.000012345678901234568, "0.000012345678901234568"},
        {0.000001, "1e-6"},  // otherwise an exponent with its sign, and a point only when n > 1
        {-9.999999e-6, "-9.999999e-6"},
        {1e16, "1e+16"},
        {12345678901234567.0, "1.2345678901234568e+16"},
        {5e-324, "5e-324"},
        {-std::numeric_limits<double>::max(), "-1.7976931348623157e+308"},
    };
    for (const auto& [x, text] : cases) {
        EXPECT_EQ(write(Value::from_double(x)), text);
        ParseResult r = parse(text);
        ASSERT_TRUE(r.ok()) << text;
        EXPECT_EQ(r.value(), Value::from_double(x)) << text;
    }
}

// Strings escape only the quote, the backslash and controls; containers are compact and appended to the output.
TEST(WriteStringsAndContainers, EscapedCompactAndAppended)
{
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {std::string_view("\0\x01\x0B\x1F", 4), R"("\u0000\u0001\u000b\u001f")"},
        {"/ \x7F\xC3\xA9\xF0\x9F\x98\x80", "\"/ \x7F\xC3\xA9\xF0\x9F\x98\x80\""},
    };
    Document doc;
    for (const auto& [in, text] : cases) EXPECT_EQ(write(doc.string(in)), text) << in;
    const Value object = doc.object({
        {"b",
         doc.array({Value::uint(1), Value::from_double(2.5), Value(), Value::boolean(true), Value::boolean(false)})},
        {"q\"", doc.array({doc.array({})})},
        {"a", doc.object({})},
    });
    std::string out = "prefix:";
    write(object, out);
    EXPECT_EQ(out, R"(prefix:{"a":{},"b":[1,2.5,null,true,false],"q\"":[[]]})");
    const std::string big(10000, 'x');
    EXPECT_EQ(write(doc.array({doc.string(big), doc.string(big)})), "[\"" + big + "\",\"" + big + "\"]");
    EXPECT_EQ(write(doc.string(std::string(3000, '\x1F'))).size(), 3000u * 6 + 2);
}

// Parsed back, a written value is equal and writes the same text again: doubles from bit
// patterns, so that every exponent and subnormals are as likely as the common magnitudes;
// doubles of few digits near the layout's boundaries; and large containers. The fuzzer
// checks the same round trip for any text the parser accepts.
TEST(RoundTrip, RandomDoublesAndLargeContainers)
{
    std::mt19937_64 rng(1);
    Document doc;
    std::vector<std::string> keys;
    for (int i = 0; i < 5000; ++i) keys.push_back(std::to_string(i));
    std::vector<Member> members;
    for (int i = 0; i < 5000; ++i) members.push_back({keys[static_cast<std::size_t>(i)], Value::negint(-i)});
    const std::vector<Value> nulls(5000);
    std::vector<Value> values = {doc.array({doc.array(nulls), doc.object(std::move(members))})};
    while (values.size() < 200000) {
        if (const double x = std::bit_cast<double>(rng()); std::isfinite(x)) values.push_back(Value::from_double(x));
    }
    for (int i = 0; i < 20000; ++i) {  // exponents from -8 to 18
        const double x = static_cast<double>(rng() % 100000) / static_cast<double>(1 + rng() % 1000);
        values.push_back(Value::from_double((i % 2 ? -x : x) * std::pow(10.0, static_cast<double>(rng() % 27) - 8.0)));
    }
    for (const Value& v : values) {
        const std::string text = write(v);
        ParseResult r = parse(text);
        ASSERT_TRUE(r.ok()) << text << ": " << r.error().text();
        ASSERT_EQ(r.value(), v) << text;
        ASSERT_EQ(write(r.value()), text);
    }
}

}  // namespace
}  // namespace sorva::json
