// A JSON text output that is written straight into the storage of a str.
#include "inspect/str_output.hpp"

#include <cstdint>
#include <cstring>

namespace sorva::inspect {
namespace {

char* bytes_of(PyObject* str) { return static_cast<char*>(PyUnicode_DATA(str)); }

bool all_ascii(const char* p, std::size_t size)
{
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p + i, 8);
        high |= word;
    }
    for (; i < size; ++i) high |= static_cast<unsigned char>(p[i]);
    return (high & 0x8080808080808080u) == 0;
}

}  // namespace

char* StrOutput::reserve(std::size_t, std::size_t size)
{
    const auto length = static_cast<Py_ssize_t>(size);
    if (!text_) {
        text_ = check(PyUnicode_New(length, 127));
    } else {
        // A str only this code holds is resized in place (a realloc, which
        // for large sizes remaps pages instead of copying them); on failure
        // the old one stays as it was.
        PyObject* text = text_.release();
        const int status = PyUnicode_Resize(&text, length);
        text_ = Ref::steal(text);
        check_status(status);
    }
    return bytes_of(text_.get());
}

Ref StrOutput::finish(std::size_t size)
{
    reserve(size, size);
    const char* bytes = bytes_of(text_.get());
    if (!all_ascii(bytes, size)) {
        return check(PyUnicode_DecodeUTF8(bytes, static_cast<Py_ssize_t>(size), "strict"));
    }
    return std::move(text_);
}

}  // namespace sorva::inspect
