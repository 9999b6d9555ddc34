// Word-at-a-time search for the bytes that end a plain run inside a JSON string, shared by parser and writer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace sorva::json::detail {

// '"', '\\' and every byte below 0x20: the parser must stop at them, the writer must escape them.
inline bool is_string_special(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

inline std::uint64_t load_word(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// Bit 7 of each byte of the result is set where that byte of w is special.
// The per-byte tests are exact (no carries cross bytes), so on either byte
// order the first marked byte in memory is the first special byte.
inline std::uint64_t special_bytes(std::uint64_t w) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kLow7 = kOnes * 0x7F;
    // Bit 7 of each byte is set where that byte of y is non-zero.
    const auto nonzero = [](std::uint64_t y) { return ((y & kLow7) + kLow7) | y; };
    const std::uint64_t plain =
        nonzero(w ^ (kOnes * '"')) & nonzero(w ^ (kOnes * '\\')) & nonzero(w & (kOnes * 0xE0));
    return ~plain & (kOnes * 0x80);
}

// Memory-order index of the first marked byte of a non-zero special_bytes() result.
inline int first_marked_byte(std::uint64_t marks) {
    const int bit = std::endian::native == std::endian::little ? std::countr_zero(marks) : std::countl_zero(marks);
    return bit / 8;
}

// First special byte in [p, end), or end.
inline const char* find_string_special(const char* p, const char* end) {
    for (; end - p >= 8; p += 8) {
        if (const std::uint64_t marks = special_bytes(load_word(p))) return p + first_marked_byte(marks);
    }
    while (p != end && !is_string_special(static_cast<unsigned char>(*p))) ++p;
    return p;
}

}  // namespace sorva::json::detail
