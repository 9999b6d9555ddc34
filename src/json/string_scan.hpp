// Fast search for the bytes that end a plain run inside a JSON string, shared by parser and writer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace sorva::json::detail {

// '"', '\\' and every byte below 0x20: the parser must stop at them, the writer must escape them.
inline bool is_string_special(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// First special byte in [p, end), or end. Eight bytes are tested at a time with
// exact per-byte tests (no carries between bytes), so the first flagged byte in
// memory order is the answer on either byte order.
inline const char* find_string_special(const char* p, const char* end) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kLow7 = kOnes * 0x7F;
    // Bit 7 of each byte is set where that byte of y is non-zero.
    const auto nonzero = [](std::uint64_t y) { return ((y & kLow7) + kLow7) | y; };
    while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        const std::uint64_t plain = nonzero(w ^ (kOnes * '"')) & nonzero(w ^ (kOnes * '\\')) &
                                    nonzero(w & (kOnes * 0xE0));
        const std::uint64_t hits = ~plain & (kOnes * 0x80);
        if (hits != 0) {
            const int bit = std::endian::native == std::endian::little ? std::countr_zero(hits)
                                                                       : std::countl_zero(hits);
            return p + bit / 8;
        }
        p += 8;
    }
    while (p != end && !is_string_special(static_cast<unsigned char>(*p))) ++p;
    return p;
}

}  // namespace sorva::json::detail
