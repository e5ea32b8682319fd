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

static_assert(dword_to_bytes(0x0A0B0C0D) == std::array<std::uint8_t, 4>{0x0D, 0x0C, 0x0B, 0x0A});

}  // namespace varolan
