// Property tests: random values written then parsed come back identical, and writing them again gives the same text.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "helpers.hpp"

namespace sorva::json {
namespace {

using test_support::bits;

class RandomValues {
public:
    explicit RandomValues(std::uint64_t seed) : rng_(seed) {}

    // Any finite double, drawn from its bit pattern so that every exponent and
    // subnormals are as likely as the common magnitudes.
    double finite_double() {
        for (;;) {
            const double x = std::bit_cast<double>(rng_());
            if (std::isfinite(x)) return x;
        }
    }

    Value value(int depth) {
        switch (below(depth > 0 ? 10 : 7)) {
            case 0: return Value();
            case 1: return Value::boolean(below(2) == 1);
            case 2: return Value::uint(below(2) ? rng_() : below(1000));
            case 3: return Value::negint(-static_cast<std::int64_t>(rng_() >> 1) - 1);
            case 4: return Value::from_double(finite_double());
            case 5: return Value::from_double(small_double());
            case 6: return Value::string(text());
            case 7: case 8: {
                Array items;
                for (std::size_t n = below(6); n > 0; --n) items.push_back(value(depth - 1));
                return Value::array(std::move(items));
            }
            default: {
                Object members;
                for (std::size_t n = below(6); n > 0; --n) members.emplace_back(text(), value(depth - 1));
                return Value::object(std::move(members));
            }
        }
    }

private:
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }

    // Values near the layout boundaries: few digits, exponents from -8 to 18.
    double small_double() {
        const double mantissa = static_cast<double>(below(100000)) / static_cast<double>(1 + below(1000));
        const double x = mantissa * std::pow(10.0, static_cast<double>(below(27)) - 8.0);
        return below(2) ? -x : x;
    }

    // Short texts mixing plain ASCII, every byte that must be escaped, and
    // non-ASCII bytes (not always valid UTF-8: the layer carries bytes as they are).
    std::string text() {
        static constexpr std::string_view kPieces[] = {
            "a", "key", "Z", "_", "/", " ", "\"", "\\", "\n", "\t", "\b", "\f", "\r", "\x01", "\x1b", "\x1f",
            "\x7f", "\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x98\x80", "\xFF", "0123456789abcdef"};
        std::string s;
        for (std::size_t n = below(8); n > 0; --n) {
            if (below(8) == 0) {
                s += static_cast<char>(below(256));
            } else {
                s += kPieces[below(std::size(kPieces))];
            }
        }
        return s;
    }

    std::mt19937_64 rng_;
};

void expect_round_trip(const Value& v) {
    const std::string text = write(v);
    ParseResult r = parse(text);
    ASSERT_TRUE(r.ok()) << text << ": " << r.error().text();
    EXPECT_EQ(r.value(), v) << text;
    EXPECT_EQ(write(r.value()), text);
}

TEST(RoundTrip, RandomDoublesKeepEveryBit) {
    RandomValues gen(1);
    for (int i = 0; i < 200000; ++i) {
        const double x = gen.finite_double();
        const std::string text = write(Value::from_double(x));
        ParseResult r = parse(text);
        ASSERT_TRUE(r.ok()) << text;
        ASSERT_EQ(r.value().kind(), Kind::Float) << text;
        ASSERT_EQ(bits(r.value().as_double()), bits(x)) << text;
    }
}

TEST(RoundTrip, SpecialDoubles) {
    const double cases[] = {0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,
                            1.7976931348623157e308, 1e15, 1e16, 0.00001, 0.000001, 9007199254740993.0};
    for (const double x : cases) expect_round_trip(Value::from_double(x));
}

TEST(RoundTrip, RandomValues) {
    RandomValues gen(2);
    for (int i = 0; i < 20000; ++i) {
        expect_round_trip(gen.value(4));
        if (HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace sorva::json
