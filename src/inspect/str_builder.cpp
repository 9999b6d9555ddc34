// A str built from UTF-8 pieces, and the JSON output that gathers each piece.
#include "inspect/str_builder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace sorva::inspect {
namespace {

// From this size on a str's storage is laid out for large pages.
constexpr std::size_t kLarge = std::size_t{1} << 20;

// A large output is tens of megabytes written once from front to back. In
// 4 KiB pages that is a page fault per 4 KiB, which on a virtual machine
// costs more than writing the page; 2 MiB pages take 512 times fewer. Asked
// before the first byte is written, since pages touched already stay small.
// Only a hint: where the system has no large pages, nothing changes.
void prefer_large_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t size)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kPage = 4096;
    const auto first = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t start = (first + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t end = (first + size) & ~(kPage - 1);
    if (end > start) {
        madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
    }
#endif
}

// A new str of `length` code points below `max_char`, its storage laid out
// for large pages when it is large; null with MemoryError pending when the
// memory cannot be had.
Ref blank_str(std::size_t length, Py_UCS4 max_char)
{
    Ref str = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), max_char));
    if (!str) {
        return str;
    }
    const auto bytes = length * static_cast<std::size_t>(PyUnicode_KIND(str.get()));
    if (bytes >= kLarge) {
        prefer_large_pages(PyUnicode_DATA(str.get()), bytes);
    }
    return str;
}

// What the str of some UTF-8 text needs: its number of code points and the
// widest of them. The widest byte tells the width: only a lead byte from
// 0xC4 on starts a code point above 0xFF, and only one from 0xF0 on starts
// one above 0xFFFF.
struct Shape {
    std::size_t length = 0;
    Py_UCS4 max_char = 0x7F;
};

Shape shape_of(const unsigned char* p, std::size_t size)
{
    std::size_t continuations = 0;
    unsigned char widest = 0;
    for (std::size_t i = 0; i < size; ++i) {
        continuations += (p[i] & 0xC0) == 0x80 ? 1 : 0;
        widest = std::max(widest, p[i]);
    }
    Shape shape{size - continuations, 0x7F};
    if (widest >= 0xF0) {
        shape.max_char = 0x10FFFF;
    } else if (widest >= 0xC4) {
        shape.max_char = 0xFFFF;
    } else if (widest >= 0x80) {
        shape.max_char = 0xFF;
    }
    return shape;
}

// Decodes UTF-8 into exactly the `length` code points counted for it. The
// text was written from str text, so it is well formed; should it not be,
// false is returned before anything is written out of place.
template <class Unit>
bool decode_into(const unsigned char* p, std::size_t size, Unit* out, std::size_t length, Py_UCS4 max_char)
{
    const unsigned char* const end = p + size;
    Unit* const out_end = out + length;
    while (p != end) {
        // Runs of ASCII, most of any text here, go eight bytes at a time.
        while (end - p >= 8 && out_end - out >= 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080U) != 0) {
                break;
            }
            if constexpr (sizeof(Unit) == 1) {
                std::memcpy(out, p, 8);
            } else {
                for (int i = 0; i < 8; ++i) {
                    out[i] = static_cast<Unit>(p[i]);
                }
            }
            p += 8;
            out += 8;
        }
        if (p == end) {
            break;
        }
        const unsigned char lead = *p++;
        std::uint32_t code = lead;
        int more = 0;
        if (lead >= 0xF0) {
            code = lead & 0x07U;
            more = 3;
        } else if (lead >= 0xE0) {
            code = lead & 0x0FU;
            more = 2;
        } else if (lead >= 0xC0) {
            code = lead & 0x1FU;
            more = 1;
        } else if (lead >= 0x80) {
            return false;
        }
        for (; more > 0; --more) {
            if (p == end || (*p & 0xC0) != 0x80) {
                return false;
            }
            code = code << 6 | (*p++ & 0x3FU);
        }
        if (out == out_end || code > max_char) {
            return false;
        }
        *out++ = static_cast<Unit>(code);
    }
    return out == out_end;
}

template <class From, class To>
void widen(const From* from, To* to, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        to[i] = from[i];
    }
}

// Copies the first `length` code points of `from` into `to`, as wide or wider.
void copy_widened(PyObject* from, PyObject* to, std::size_t length)
{
    const int from_kind = PyUnicode_KIND(from);
    const int to_kind = PyUnicode_KIND(to);
    if (from_kind == to_kind) {
        std::memcpy(PyUnicode_DATA(to), PyUnicode_DATA(from), length * static_cast<std::size_t>(from_kind));
    } else if (from_kind == PyUnicode_1BYTE_KIND && to_kind == PyUnicode_2BYTE_KIND) {
        widen(PyUnicode_1BYTE_DATA(from), PyUnicode_2BYTE_DATA(to), length);
    } else if (from_kind == PyUnicode_1BYTE_KIND) {
        widen(PyUnicode_1BYTE_DATA(from), PyUnicode_4BYTE_DATA(to), length);
    } else {
        widen(PyUnicode_2BYTE_DATA(from), PyUnicode_4BYTE_DATA(to), length);
    }
}

}  // namespace

void StrBuilder::make_room(std::size_t length, Py_UCS4 max_char)
{
    if (str_ && length <= capacity_ && max_char <= max_char_) {
        return;
    }
    // Room reserved and not yet written costs address space only, so a
    // large str grows eightfold: its copies while growing come to a seventh
    // of the final size, and less fresh memory has to be cleared. Where so
    // much address space cannot be had, it grows by just what it needs.
    // Growing in place instead could not keep its pages large.
    max_char = std::max(max_char, max_char_);
    std::size_t capacity = capacity_;
    if (length > capacity_) {
        capacity = std::max({length, capacity_ * (capacity_ >= kLarge ? 8 : 2), std::size_t{256}});
    }
    Ref str = blank_str(capacity, max_char);
    if (!str && capacity > length && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        capacity = std::max(length, capacity_);
        str = blank_str(capacity, max_char);
    }
    if (!str) {
        throw_pending();
    }
    if (str_) {
        copy_widened(str_.get(), str.get(), length_);
    }
    str_ = std::move(str);
    capacity_ = capacity;
    max_char_ = max_char;
}

void StrBuilder::append(std::string_view utf8)
{
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const Shape shape = shape_of(p, utf8.size());
    make_room(length_ + shape.length, shape.max_char);
    void* const data = PyUnicode_DATA(str_.get());
    bool decoded = false;
    switch (PyUnicode_KIND(str_.get())) {
        case PyUnicode_1BYTE_KIND:
            if (shape.max_char <= 0x7F) {
                std::memcpy(static_cast<Py_UCS1*>(data) + length_, p, utf8.size());
                decoded = true;
            } else {
                decoded = decode_into(p, utf8.size(), static_cast<Py_UCS1*>(data) + length_, shape.length, max_char_);
            }
            break;
        case PyUnicode_2BYTE_KIND:
            decoded = decode_into(p, utf8.size(), static_cast<Py_UCS2*>(data) + length_, shape.length, max_char_);
            break;
        default:
            decoded = decode_into(p, utf8.size(), static_cast<Py_UCS4*>(data) + length_, shape.length, max_char_);
            break;
    }
    if (!decoded) {
        // The interpreter's own decoder names the fault.
        check(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
        throw std::logic_error("UTF-8 text decoded differently from the interpreter's decoder");
    }
    length_ += shape.length;
}

Ref StrBuilder::finish()
{
    make_room(length_, max_char_);
    // Room reserved past the text and never written holds no memory.
    PyObject* str = str_.release();
    const int status = PyUnicode_Resize(&str, static_cast<Py_ssize_t>(length_));
    str_ = Ref::steal(str);
    check_status(status);
    return std::move(str_);
}

}  // namespace sorva::inspect
