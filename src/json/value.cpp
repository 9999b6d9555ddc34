// The JSON value model: the arena, documents that keep their values' storage, and equality.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "json/json.hpp"

namespace sorva::json {
namespace {

// Every piece handed out is aligned for a Value (and so for a Member).
constexpr std::size_t kAlign = alignof(Value);
constexpr std::size_t kLargestBlock = std::size_t{1} << 20;

std::size_t aligned(std::size_t size) { return (size + kAlign - 1) & ~(kAlign - 1); }

}  // namespace

void* Arena::allocate(std::size_t size)
{
    size = aligned(size);
    if (size > left_) {
        // Blocks grow with the document, so that a large one needs few; a
        // piece larger than a block gets one of its own size.
        const std::size_t block = std::max(block_size_, size);
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(block));
        next_ = blocks_.back().get();
        left_ = block;
        block_size_ = std::min(block_size_ * 2, kLargestBlock);
    }
    void* piece = next_;
    next_ += size;
    left_ -= size;
    return piece;
}

void Value::wrong_kind() { throw std::logic_error("JSON value read as the wrong kind"); }

const char* Document::keep(std::string_view bytes)
{
    if (bytes.empty()) return nullptr;
    auto* chars = static_cast<char*>(arena_.allocate(bytes.size()));
    std::memcpy(chars, bytes.data(), bytes.size());
    return chars;
}

Value Document::kept_string(std::string_view kept)
{
    Value v(Kind::String, kept.size(), 0);
    v.chars_ = kept.data();
    return v;
}

Value Document::string(std::string_view text) { return kept_string({keep(text), text.size()}); }

template <class T>
T* Document::copy_items(std::span<const T> items)
{
    if (items.empty()) return nullptr;
    T* copy = static_cast<T*>(arena_.allocate(items.size_bytes()));
    std::memcpy(static_cast<void*>(copy), items.data(), items.size_bytes());
    return copy;
}

Value Document::array(std::span<const Value> items)
{
    Value v(Kind::Array, items.size(), 0);
    v.items_ = copy_items(items);
    return v;
}

Value Document::object(std::vector<Member> members)
{
    for (Member& member : members) member.key = string(member.key).as_string();
    return object_of_kept_keys(members);
}

Value Document::object_of_kept_keys(std::span<Member> members)
{
    const auto key_less = [](const Member& a, const Member& b) { return a.key < b.key; };
    // Texts we wrote ourselves arrive sorted and unique, so check before sorting.
    const auto unsorted = std::adjacent_find(
        members.begin(), members.end(), [](const Member& a, const Member& b) { return !(a.key < b.key); });
    std::size_t count = members.size();
    if (unsorted != members.end()) {
        std::stable_sort(members.begin(), members.end(), key_less);
        // Stability puts duplicates in input order, so the last of each run wins.
        auto out = members.begin();
        for (auto it = members.begin(); it != members.end(); ++it) {
            const auto next = std::next(it);
            if (next != members.end() && next->key == it->key) continue;
            *out++ = *it;
        }
        count = static_cast<std::size_t>(out - members.begin());
    }
    Value v(Kind::Object, count, 0);
    v.members_ = copy_items(std::span<const Member>(members.data(), count));
    return v;
}

Value Document::copy(const Value& v)
{
    switch (v.kind()) {
        case Kind::String: return string(v.as_string());
        case Kind::Array: {
            std::vector<Value> items;
            items.reserve(v.as_array().size());
            for (const Value& item : v.as_array()) items.push_back(copy(item));
            return array(items);
        }
        case Kind::Object: {
            std::vector<Member> members;
            members.reserve(v.as_object().size());
            for (const Member& member : v.as_object()) members.push_back({member.key, copy(member.value)});
            return object(std::move(members));
        }
        default: return v;
    }
}

bool operator==(const Value& a, const Value& b)
{
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Kind::String: return a.as_string() == b.as_string();
        case Kind::Array: return std::ranges::equal(a.as_array(), b.as_array());
        case Kind::Object: return std::ranges::equal(a.as_object(), b.as_object());
        default: return a.bits_ == b.bits_;
    }
}

}  // namespace sorva::json
