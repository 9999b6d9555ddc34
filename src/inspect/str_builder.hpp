// A JSON text output that is written straight into the storage of a str.
#pragma once

#include <Python.h>

#include <cstddef>

#include "module/module.hpp"
#include "json/json.hpp"

namespace sorva::inspect {

// The text is written into a new one-byte (ASCII) str, grown in place, so
// that a large output exists once and becomes the returned str without a
// copy. A text that turns out to hold non-ASCII bytes is decoded into a new
// str at the end: the rarer case pays for the copy.
class StrOutput final : public json::Output {
public:
    StrOutput() = default;
    StrOutput(const StrOutput&) = delete;
    StrOutput& operator=(const StrOutput&) = delete;
    ~StrOutput() = default;

    char* reserve(std::size_t used, std::size_t size) override;

    // The str holding the first `size` bytes written, as UTF-8 text.
    Ref finish(std::size_t size);

private:
    // Until finish, an unfinished str nobody else sees: its length is the
    // room reserved and its bytes need not be ASCII.
    Ref text_;
};

}  // namespace sorva::inspect
