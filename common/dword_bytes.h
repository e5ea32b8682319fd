// A 32-bit registry value as its four stored bytes, least significant first
// (REG_DWORD), as both programs and the store tool read and write it.
#pragma once

#include <array>
#include <cstdint>

namespace varolan {

constexpr std::array<std::uint8_t, 4> dword_to_bytes(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// Reads the four bytes at `bytes`.
constexpr std::uint32_t dword_from_bytes(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The value of one hexadecimal digit (either case), -1 for any other
// character: binary values travel as hex text in exports and in the
// utility's stored capability and status bytes.
constexpr int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

static_assert(hex_digit_value('7') == 7 && hex_digit_value('b') == 11 &&
              hex_digit_value('F') == 15 && hex_digit_value('g') == -1);
static_assert(dword_to_bytes(0x0A0B0C0D) == std::array<std::uint8_t, 4>{0x0D, 0x0C, 0x0B, 0x0A});

}  // namespace varolan
