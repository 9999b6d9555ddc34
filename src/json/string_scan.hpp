// Word-at-a-time search for the bytes that end a plain run inside a JSON string, shared by parser and writer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace sorva::json::detail {

// '"', '\\' and every byte below 0x20: the parser must stop at them, the writer must escape them.
inline bool is_string_special(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// Eight bytes from p as one word with the first byte lowest, whatever the machine's byte order.
inline std::uint64_t load_word(const char* p)
{
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

// Bit 7 of a byte of the result is set where that byte of w is special, and
// possibly in higher bytes above one that is. A byte equal to '"' or '\\'
// becomes zero after the xor, and subtracting one from it sets its top bit, as
// does subtracting 0x20 from a control byte. A borrow only starts at such a
// byte, and bytes with their own top bit set are masked out (the xors keep
// that bit), so the lowest marked byte is the first special one.
inline std::uint64_t special_marks(std::uint64_t w)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    const std::uint64_t lowered = ((w ^ (kOnes * '"')) - kOnes) | ((w ^ (kOnes * '\\')) - kOnes) | (w - kOnes * 0x20);
    return lowered & ~w & (kOnes * 0x80);
}

// Byte index of the lowest mark of a non-zero special_marks() result.
inline int first_marked(std::uint64_t marks) { return std::countr_zero(marks) / 8; }

// First special byte in [p, end), or end.
inline const char* find_string_special(const char* p, const char* end)
{
    for (; end - p >= 8; p += 8) {
        if (const std::uint64_t marks = special_marks(load_word(p))) return p + first_marked(marks);
    }
    while (p != end && !is_string_special(static_cast<unsigned char>(*p))) ++p;
    return p;
}

}  // namespace sorva::json::detail
