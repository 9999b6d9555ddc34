// Tests of the value model's invariants: integer kinds, non-finite doubles, object order and equality.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>

#include "helpers.hpp"

namespace sorva::json {
namespace {

using test_support::bits;

TEST(ValueKinds, IntegersKeepTheirKindInvariant) {
    struct Case { Value v; Kind kind; };
    const Case cases[] = {
        {Value::negint(-1), Kind::NegInt},
        {Value::negint(std::numeric_limits<std::int64_t>::min()), Kind::NegInt},
        {Value::negint(0), Kind::UInt},
        {Value::negint(42), Kind::UInt},
        {Value::uint(0), Kind::UInt},
    };
    for (const Case& c : cases) EXPECT_EQ(c.v.kind(), c.kind) << write(c.v);
    EXPECT_EQ(Value::negint(42).as_uint(), 42u);
    EXPECT_EQ(Value::negint(-7).as_negint(), -7);
}

TEST(ValueKinds, NonFiniteDoublesBecomeNull) {
    const double cases[] = {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
                            std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
    for (const double x : cases) EXPECT_EQ(Value::from_double(x).kind(), Kind::Null) << x;
}

TEST(ValueKinds, FiniteDoublesStayFloats) {
    const double cases[] = {0.0, -0.0, 5e-324, -1.5, std::numeric_limits<double>::max()};
    for (const double x : cases) {
        const Value v = Value::from_double(x);
        ASSERT_EQ(v.kind(), Kind::Float) << x;
        EXPECT_EQ(bits(v.as_double()), bits(x)) << x;
    }
}

TEST(ValueKinds, WrongAccessorThrows) {
    EXPECT_THROW(Value::uint(1).as_negint(), std::logic_error);
    EXPECT_THROW(Value().as_string(), std::logic_error);
    EXPECT_THROW(Value::string("a").as_array(), std::logic_error);
    EXPECT_THROW(Value::from_double(1.0).as_uint(), std::logic_error);
}

std::string keys_of(const Value& v) {
    std::string s;
    for (const auto& [key, item] : v.as_object()) s += key + "=" + write(item) + ";";
    return s;
}

TEST(ValueObject, SortsByKeyBytesAndKeepsTheLastDuplicate) {
    struct Case { std::vector<std::pair<std::string, int>> in; const char* keys; };
    const Case cases[] = {
        {{}, ""},
        {{{"b", 1}, {"a", 2}, {"B", 3}, {"\xC3\xA4", 4}}, "B=3;a=2;b=1;\xC3\xA4=4;"},
        {{{"ab", 1}, {"a", 2}, {"", 3}}, "=3;a=2;ab=1;"},
        {{{"a", 1}, {"_", 2}, {"Z", 3}}, "Z=3;_=2;a=1;"},
        {{{"\xC3\xA9", 1}, {"\x7F", 2}}, "\x7F=2;\xC3\xA9=1;"},
        {{{"a", 1}, {"a", 2}}, "a=2;"},
        {{{"b", 1}, {"a", 2}, {"b", 3}, {"a", 4}, {"b", 5}}, "a=4;b=5;"},
        {{{"x", 1}, {"y", 2}, {"y", 3}}, "x=1;y=3;"},
        {{{"a", 1}, {"b", 2}, {"c", 3}}, "a=1;b=2;c=3;"},
    };
    for (const Case& c : cases) {
        Object members;
        for (const auto& [key, n] : c.in) members.emplace_back(key, Value::uint(static_cast<std::uint64_t>(n)));
        EXPECT_EQ(keys_of(Value::object(std::move(members))), c.keys);
    }
}

Value sample() {
    Object members;
    members.emplace_back("list", Value::array({Value::uint(1), Value::string(std::string(40, 'x')), Value()}));
    members.emplace_back("text", Value::string("a string long enough to live on the heap"));
    members.emplace_back("n", Value::negint(-5));
    return Value::object(std::move(members));
}

TEST(ValueLifetime, CopiesAreEqualAndIndependent) {
    const Value original = sample();
    Value copy = original;
    EXPECT_EQ(copy, original);
    copy = Value::uint(3);
    EXPECT_EQ(write(original), write(sample()));
    Value assigned = Value::string("old");
    assigned = original;
    EXPECT_EQ(assigned, original);
    const Value& alias = assigned;
    assigned = alias;
    EXPECT_EQ(assigned, original);
}

TEST(ValueLifetime, MovesCarryEveryKind) {
    const Value kinds[] = {Value(), Value::boolean(true), Value::uint(7), Value::negint(-7), Value::from_double(-0.0),
                           Value::string(std::string(100, 'y')), Value::array({Value::uint(1)}), sample()};
    for (const Value& v : kinds) {
        Value source = v;
        Value moved = std::move(source);
        EXPECT_EQ(moved, v) << write(v);
        Value target = Value::string("replaced");
        target = std::move(moved);
        EXPECT_EQ(target, v) << write(v);
        // A moved-from value can still be assigned and written.
        source = Value::boolean(false);
        EXPECT_EQ(write(source), "false");
    }
}

// Large enough that sorting cannot fall back to a small-range method that
// happens to be stable: the last of each key must still win.
TEST(ValueObject, LastDuplicateWinsInLargeObjects) {
    std::mt19937 rng(7);
    Object members;
    std::map<std::string, std::uint64_t> last;
    for (std::uint64_t i = 0; i < 500; ++i) {
        const std::string key = std::to_string(rng() % 40);
        members.emplace_back(key, Value::uint(i));
        last[key] = i;
    }
    const Value v = Value::object(std::move(members));
    ASSERT_EQ(v.as_object().size(), last.size());
    auto expected = last.begin();
    for (const auto& [key, item] : v.as_object()) {
        EXPECT_EQ(key, expected->first);
        EXPECT_EQ(item.as_uint(), expected->second) << key;
        ++expected;
    }
}

TEST(ValueEquality, ComparesKindsAndFloatBits) {
    EXPECT_EQ(Value::from_double(0.0), Value::from_double(0.0));
    EXPECT_NE(Value::from_double(0.0), Value::from_double(-0.0));
    EXPECT_NE(Value::uint(1), Value::from_double(1.0));
    EXPECT_NE(Value::uint(0), Value());
    EXPECT_NE(Value::boolean(false), Value());
    EXPECT_EQ(Value::string("a"), Value::string("a"));
    EXPECT_NE(Value::string("a"), Value::string("b"));
    EXPECT_NE(Value::array({Value::uint(1)}), Value::array({Value::uint(1), Value()}));
    EXPECT_NE(Value::array({Value::uint(1)}), Value::array({Value::negint(-1)}));
    Object a;
    a.emplace_back("k", Value::uint(1));
    Object b;
    b.emplace_back("k", Value::uint(2));
    Object c;
    c.emplace_back("j", Value::uint(1));
    EXPECT_EQ(Value::object(a), Value::object(a));
    EXPECT_NE(Value::object(a), Value::object(b));
    EXPECT_NE(Value::object(a), Value::object(c));
}

}  // namespace
}  // namespace sorva::json
