// The JSON value model: constructors that keep its invariants, accessors and equality.
#include "json.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace sorva::json {

Value Value::boolean(bool b) {
    Value v;
    v.v_.emplace<bool>(b);
    return v;
}

Value Value::uint(std::uint64_t n) {
    Value v;
    v.v_.emplace<std::uint64_t>(n);
    return v;
}

Value Value::negint(std::int64_t n) {
    if (n >= 0) return uint(static_cast<std::uint64_t>(n));
    Value v;
    v.v_.emplace<NegInt>(NegInt{n});
    return v;
}

Value Value::from_double(double x) {
    Value v;
    if (std::isfinite(x)) v.v_.emplace<double>(x);
    return v;
}

Value Value::string(std::string s) {
    Value v;
    v.v_.emplace<std::string>(std::move(s));
    return v;
}

Value Value::array(Array items) {
    Value v;
    v.v_.emplace<Array>(std::move(items));
    return v;
}

Value Value::object(Object members) {
    const auto key_less = [](const Member& a, const Member& b) { return a.first < b.first; };
    // Texts we wrote ourselves arrive sorted and unique, so check before sorting.
    const auto unsorted = std::adjacent_find(members.begin(), members.end(),
        [](const Member& a, const Member& b) { return !(a.first < b.first); });
    if (unsorted != members.end()) {
        std::stable_sort(members.begin(), members.end(), key_less);
        // Stability puts duplicates in input order, so the last of each run wins.
        auto out = members.begin();
        for (auto it = members.begin(); it != members.end(); ++it) {
            const auto next = std::next(it);
            if (next != members.end() && next->first == it->first) continue;
            if (out != it) *out = std::move(*it);
            ++out;
        }
        members.erase(out, members.end());
    }
    Value v;
    v.v_.emplace<Object>(std::move(members));
    return v;
}

bool Value::as_bool() const { return std::get<bool>(v_); }
std::uint64_t Value::as_uint() const { return std::get<std::uint64_t>(v_); }
std::int64_t Value::as_negint() const { return std::get<NegInt>(v_).n; }
double Value::as_double() const { return std::get<double>(v_); }
const std::string& Value::as_string() const { return std::get<std::string>(v_); }
const Array& Value::as_array() const { return std::get<Array>(v_); }
const Object& Value::as_object() const { return std::get<Object>(v_); }

bool operator==(const Value& a, const Value& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Kind::Null: return true;
        case Kind::Bool: return a.as_bool() == b.as_bool();
        case Kind::UInt: return a.as_uint() == b.as_uint();
        case Kind::NegInt: return a.as_negint() == b.as_negint();
        case Kind::Float:
            return std::bit_cast<std::uint64_t>(a.as_double()) ==
                   std::bit_cast<std::uint64_t>(b.as_double());
        case Kind::String: return a.as_string() == b.as_string();
        case Kind::Array: return a.as_array() == b.as_array();
        case Kind::Object: break;
    }
    return a.as_object() == b.as_object();
}

}  // namespace sorva::json
