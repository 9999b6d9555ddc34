// Fast search for the bytes that end a plain run inside a JSON string, shared by parser and writer.
#pragma once

#include <cstdint>
#include <cstring>

namespace sorva::json::detail {

// '"', '\\' and every byte below 0x20: the parser must stop at them, the writer must escape them.
inline bool is_string_special(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// First special byte in [p, end), or end. Eight bytes are tested at a time: a
// byte-wise "has zero" / "has less than" test on a 64-bit word never misses a
// byte, and the word is then walked byte by byte to find the first one.
inline const char* find_string_special(const char* p, const char* end) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHigh = 0x8080808080808080u;
    while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        const std::uint64_t quote = w ^ (kOnes * '"');
        const std::uint64_t backslash = w ^ (kOnes * '\\');
        const std::uint64_t hits = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                                   ((w - kOnes * 0x20) & ~w);
        if (hits & kHigh) break;
        p += 8;
    }
    while (p != end && !is_string_special(static_cast<unsigned char>(*p))) ++p;
    return p;
}

}  // namespace sorva::json::detail
