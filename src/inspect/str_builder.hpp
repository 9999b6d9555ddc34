// A str built from UTF-8 pieces, and the JSON output that gathers each piece.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>
#include <vector>

#include "module/module.hpp"
#include "json/json.hpp"

namespace sorva::inspect {

// Decodes each piece straight into the storage of the str it returns, which
// grows as needed and widens when a piece holds wider characters than any
// before: a large output is formed once, in its final form, and the pieces
// pass through the cache only.
class StrBuilder {
public:
    StrBuilder() = default;
    StrBuilder(const StrBuilder&) = delete;
    StrBuilder& operator=(const StrBuilder&) = delete;
    ~StrBuilder() = default;

    // `utf8` is text read from str objects, so well formed.
    void append(std::string_view utf8);
    Ref finish();

private:
    // Room for `length` code points up to `max_char`.
    void make_room(std::size_t length, Py_UCS4 max_char);

    Ref str_;
    std::size_t length_ = 0;
    std::size_t capacity_ = 0;
    Py_UCS4 max_char_ = 0x7F;
};

// The room a TextWriter writes one piece into, reused for the next.
class PieceOutput final : public json::Output {
public:
    PieceOutput() = default;
    PieceOutput(const PieceOutput&) = delete;
    PieceOutput& operator=(const PieceOutput&) = delete;
    ~PieceOutput() = default;

    char* reserve(std::size_t, std::size_t size) override
    {
        room_.resize(size);
        return room_.data();
    }

private:
    std::vector<char> room_;
};

}  // namespace sorva::inspect
