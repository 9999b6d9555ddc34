// Conformance against public suites: JSONTestSuite's parsing cases and the decimal-to-double data.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "helpers.hpp"

namespace sorva::json {
namespace {

namespace fs = std::filesystem;
using test_support::bits;

// SORVA_TESTDATA overrides the directory the build points at.
fs::path testdata() {
    if (const char* dir = std::getenv("SORVA_TESTDATA")) return dir;
    return SORVA_TESTDATA_DIR;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The suite's cases whose names start with `prefix`, as (name, content) pairs.
std::vector<std::pair<std::string, std::string>> suite_cases(std::string_view prefix) {
    std::vector<std::pair<std::string, std::string>> cases;
    const fs::path dir = testdata() / "json-test-suite" / "test_parsing";
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix)) cases.emplace_back(name, read_file(entry.path()));
    }
    return cases;
}

TEST(JsonTestSuite, AcceptsEveryYCase) {
    const auto cases = suite_cases("y_");
    ASSERT_EQ(cases.size(), 95u);
    for (const auto& [name, text] : cases) {
        ParseResult r = parse(text);
        EXPECT_TRUE(r.ok()) << name << ": " << (r.ok() ? "" : r.error().text());
    }
}

TEST(JsonTestSuite, RejectsEveryNCase) {
    const auto cases = suite_cases("n_");
    ASSERT_EQ(cases.size(), 188u);
    for (const auto& [name, text] : cases) EXPECT_FALSE(parse(text).ok()) << name;
}

// Either outcome is allowed; an accepted one must still round-trip.
TEST(JsonTestSuite, SurvivesEveryICase) {
    const auto cases = suite_cases("i_");
    ASSERT_EQ(cases.size(), 35u);
    for (const auto& [name, text] : cases) {
        ParseResult r = parse(text);
        if (!r.ok()) continue;
        const std::string written = write(r.value());
        ParseResult again = parse(written);
        ASSERT_TRUE(again.ok()) << name;
        EXPECT_EQ(again.value(), r.value()) << name;
    }
}

// JSON's number grammar, checked independently of the parser:
// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?
bool is_json_number(std::string_view s) {
    std::size_t i = 0;
    const auto digits = [&] {
        const std::size_t from = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        return i - from;
    };
    if (i < s.size() && s[i] == '-') ++i;
    if (i < s.size() && s[i] == '0') {
        ++i;
    } else if (i == s.size() || s[i] < '1' || s[i] > '9' || digits() == 0) {
        return false;
    }
    if (i < s.size() && s[i] == '.' && (++i, digits() == 0)) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (digits() == 0) return false;
    }
    return i == s.size();
}

TEST(FloatParsing, GrammarCheckAgreesWithHandPickedCases) {
    for (const char* yes : {"0", "-0", "10", "1.5", "0.0e0", "-1E+2", "1e-7"}) EXPECT_TRUE(is_json_number(yes)) << yes;
    for (const char* no : {"", "-", "01", "+1", ".5", "1.", "1e", "1e+", "inf", "nan", "1x", "1.5.5", "0x10"}) {
        EXPECT_FALSE(is_json_number(no)) << no;
    }
}

// Each line is "F16 F32 F64 F128 DECIMAL"; the decimals that are JSON numbers
// must give exactly the F64 bit pattern, and those that round to infinity fail.
TEST(FloatParsing, ValidNumbersGiveTheCorrectlyRoundedDouble) {
    std::size_t checked = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(testdata() / "float-parsing" / "data")) {
        std::ifstream in(entry.path());
        std::string f16, f32, f64, f128, decimal;
        while (in >> f16 >> f32 >> f64 >> f128 >> decimal) {
            if (!is_json_number(decimal)) continue;
            ++checked;
            const std::uint64_t expected = std::stoull(f64, nullptr, 16);
            ParseResult r = parse(decimal);
            if (std::isinf(std::bit_cast<double>(expected))) {
                ASSERT_FALSE(r.ok()) << decimal;
                EXPECT_EQ(r.error().message, "number out of range") << decimal;
                continue;
            }
            ASSERT_TRUE(r.ok()) << decimal << ": " << r.error().text();
            const Value& v = r.value();
            double x = 0;
            switch (v.kind()) {
                case Kind::Float: x = v.as_double(); break;
                case Kind::UInt: x = static_cast<double>(v.as_uint()); break;
                case Kind::NegInt: x = static_cast<double>(v.as_negint()); break;
                default: FAIL() << decimal << " is not a number";
            }
            EXPECT_EQ(bits(x), expected) << entry.path().filename() << ": " << decimal;
        }
    }
    EXPECT_GT(checked, 20000u);
}

}  // namespace
}  // namespace sorva::json
