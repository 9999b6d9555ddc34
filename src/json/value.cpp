// The JSON value model: the tagged union's special members, constructors that keep its invariants, and equality.
#include "json/json.hpp"

#include <algorithm>
#include <stdexcept>

namespace sorva::json {

Value::Value(const Value& other) : kind_(other.kind_)
{
    switch (kind_) {
        case Kind::String: new (&string_) std::string(other.string_); break;
        case Kind::Array: new (&array_) Array(other.array_); break;
        case Kind::Object: new (&object_) Object(other.object_); break;
        default: bits_ = other.bits_;
    }
}

Value& Value::operator=(const Value& other)
{
    if (this != &other) *this = Value(other);
    return *this;
}

void Value::wrong_kind() { throw std::logic_error("JSON value read as the wrong kind"); }

Value Value::object(Object members)
{
    const auto key_less = [](const Member& a, const Member& b) { return a.first < b.first; };
    // Texts we wrote ourselves arrive sorted and unique, so check before sorting.
    const auto unsorted = std::adjacent_find(
        members.begin(), members.end(), [](const Member& a, const Member& b) { return !(a.first < b.first); });
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
    v.kind_ = Kind::Object;
    new (&v.object_) Object(std::move(members));
    return v;
}

const Array& Value::as_array() const
{
    expect(Kind::Array);
    return array_;
}

const Object& Value::as_object() const
{
    expect(Kind::Object);
    return object_;
}

bool operator==(const Value& a, const Value& b)
{
    if (a.kind_ != b.kind_) return false;
    switch (a.kind_) {
        case Kind::String: return a.string_ == b.string_;
        case Kind::Array: return a.array_ == b.array_;
        case Kind::Object: return a.object_ == b.object_;
        default: return a.bits_ == b.bits_;
    }
}

}  // namespace sorva::json
