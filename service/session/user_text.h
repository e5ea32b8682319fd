// Texts written to the user: each message is one write of its length.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "service/session/user_side.h"

namespace varolan::service {

// Longest message, its end of line included: room for a host name of 255
// characters (the longest the store holds, "AutoOpen Computer Name") with the
// text around it, so that no message loses its end of line.
inline constexpr std::size_t MESSAGE_SIZE = 512;

// Writes one message, as one write of its length, when there is a user side.
inline void write_text(UserSide* handle, const char* text, std::size_t length) {
    if (handle != nullptr && length > 0) {
        handle->write(text, static_cast<std::uint32_t>(length));
    }
}

inline void write_text(UserSide* handle, const char* text) {
    write_text(handle, text, std::strlen(text));
}

// Formats a message into a bounded buffer and writes it.
template <typename... Args>
void write_formatted(UserSide* handle, const char* format, Args... args) {
    char text[MESSAGE_SIZE];
    int n = std::snprintf(text, sizeof text, format, args...);
    if (n < 0) {
        return;
    }
    std::size_t length =
        static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1;
    write_text(handle, text, length);
}

}  // namespace varolan::service
