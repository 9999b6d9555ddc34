// Conformance against public suites: JSONTestSuite's parsing cases and the decimal-to-double data.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string_view>

#include "json/json.hpp"

namespace sorva::json {
namespace {

namespace fs = std::filesystem;

fs::path testdata() { return fs::path(SORVA_TESTDATA_DIR); }

// y_ cases parse, n_ cases fail, and i_ cases may go either way but round-trip when accepted.
// The JSON number grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][-+]?[0-9]+)?
bool json_number(std::string_view s)
{
    std::size_t i = 0;
    auto digits = [&] {
        std::size_t start = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        return i > start;
    };
    auto skip = [&](std::string_view one_of) {
        if (i == s.size() || one_of.find(s[i]) == std::string_view::npos) return false;
        return ++i > 0;
    };
    skip("-");
    if (!skip("0") && !digits()) return false;
    if (skip(".") && !digits()) return false;
    if (skip("eE") && (skip("+-"), !digits())) return false;
    return i == s.size();
}

TEST(JsonTestSuite, EveryCase)
{
    std::map<char, std::size_t> counts;
    for (const fs::directory_entry& entry : fs::directory_iterator(testdata() / "json-test-suite" / "test_parsing")) {
        const std::string name = entry.path().filename().string();
        std::ifstream in(entry.path(), std::ios::binary);
        ParseResult r = parse(std::string(std::istreambuf_iterator<char>(in), {}));
        ++counts[name[0]];
        if (name[0] == 'i' && r.ok()) {
            ParseResult again = parse(write(r.value()));
            EXPECT_TRUE(again.ok() && again.value() == r.value()) << name;
        } else {
            EXPECT_EQ(r.ok(), name[0] == 'y') << name;
        }
    }
    EXPECT_EQ(counts, (std::map<char, std::size_t>{{'i', 35}, {'n', 188}, {'y', 95}}));
}

// Each line is "F16 F32 F64 F128 DECIMAL". A decimal outside JSON's number
// grammar fails; one inside gives exactly the F64 bits, or "number out of
// range" when those are infinite.
TEST(FloatParsing, ValidNumbersGiveTheCorrectlyRoundedDouble)
{
    std::size_t checked = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(testdata() / "float-parsing" / "data")) {
        std::ifstream in(entry.path());
        std::string f16, f32, f64, f128, decimal;
        while (in >> f16 >> f32 >> f64 >> f128 >> decimal) {
            ParseResult r = parse(decimal);
            if (!json_number(decimal)) {
                EXPECT_FALSE(r.ok()) << decimal;
                continue;
            }
            ++checked;
            const double expected = std::bit_cast<double>(std::stoull(f64, nullptr, 16));
            EXPECT_EQ(r.ok() ? "ok" : r.error().message, std::isinf(expected) ? "number out of range" : "ok")
                << decimal;
            if (!r.ok()) continue;
            const Value& v = r.value();
            const double x = v.kind() == Kind::Float  ? v.as_double()
                             : v.kind() == Kind::UInt ? static_cast<double>(v.as_uint())
                                                      : static_cast<double>(v.as_negint());
            EXPECT_EQ(std::bit_cast<std::uint64_t>(x), std::bit_cast<std::uint64_t>(expected)) << decimal;
        }
    }
    EXPECT_GT(checked, 20000u);
}

}  // namespace
}  // namespace sorva::json
