// Small text helpers every layer shares: ASCII case folding, blanks trimmed
// from the ends, and hexadecimal digits. Folding touches the letters A-Z and
// a-z only, whatever the locale, so names and commands compare the same way
// on every system and bytes from 128 up are never changed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varolan {

constexpr char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char ascii_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string to_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = ascii_lower(c);
    }
    return out;
}

inline std::string to_upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = ascii_upper(c);
    }
    return out;
}

// The same for a NUL-terminated buffer, in place.
inline void lower_in_place(char* s) {
    for (; *s != '\0'; ++s) {
        *s = ascii_lower(*s);
    }
}

inline void upper_in_place(char* s) {
    for (; *s != '\0'; ++s) {
        *s = ascii_upper(*s);
    }
}

constexpr bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) {
            return false;
        }
    }
    return true;
}

constexpr bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equal_nocase(text.substr(0, prefix.size()), prefix);
}

// Byte order of the texts with letters folded to lower case (so '_' sorts
// before the letters): below 0, 0 or above 0 as for strcmp.
constexpr int compare_nocase(std::string_view a, std::string_view b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(ascii_lower(a[i]));
        const auto cb = static_cast<unsigned char>(ascii_lower(b[i]));
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

// The blanks of configuration files and typed lines.
inline constexpr std::string_view BLANKS = " \t\r\n";

constexpr std::string_view trim_left(std::string_view s, std::string_view blanks = BLANKS) {
    const std::size_t first = s.find_first_not_of(blanks);
    return first == std::string_view::npos ? std::string_view() : s.substr(first);
}

constexpr std::string_view trim_right(std::string_view s, std::string_view blanks = BLANKS) {
    const std::size_t last = s.find_last_not_of(blanks);
    return last == std::string_view::npos ? std::string_view() : s.substr(0, last + 1);
}

constexpr std::string_view trim(std::string_view s, std::string_view blanks = BLANKS) {
    return trim_right(trim_left(s, blanks), blanks);
}

// The lower-case hexadecimal digit of the low four bits of `v`.
constexpr char hex_digit(unsigned v) {
    return "0123456789abcdef"[v & 15];
}

// The value of one hexadecimal digit (either case), -1 for any other character.
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
static_assert(hex_digit(0xAB) == 'b' && hex_digit(0) == '0');
static_assert(compare_nocase("a_", "aB") < 0 && compare_nocase("ABC", "abc") == 0);
static_assert(trim(" \tx y\r\n") == "x y" && trim(" \t ").empty());
static_assert(trim_left(" x ", " ") == "x " && trim_right(" x\r", " ") == " x\r");
static_assert(equal_nocase("Reg_Sz", "REG_SZ") && !equal_nocase("\xC0", "\xE0") &&
              starts_with_nocase("SSH://h", "ssh://") && !starts_with_nocase("ss", "ssh"));

}  // namespace varolan
