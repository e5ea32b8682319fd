// The port key as a port session reads and writes it.
//
// A store that another process keeps locked beyond the store's own busy
// timeout is not a wrong value: every call here is made again, after a pause
// that doubles from STORE_RETRY_FIRST_MS up to STORE_RETRY_MAX_MS, for as long
// as the lock lasts, with one log line when the wait begins and one when it
// ends. Only a value that is really missing, too long or refused ends in the
// caller's failure path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/store_ops.h"

namespace varolan::service {

inline constexpr std::uint32_t STORE_RETRY_FIRST_MS = 1000;
inline constexpr std::uint32_t STORE_RETRY_MAX_MS = 8000;

// A multi-string as read from the store: NUL-terminated strings ended by an
// empty one, within `length` bytes (a last string without terminator ends at
// the end of the data).
struct MultiString {
    char data[REG_STRING_SIZE] = {};
    std::uint32_t length = 0;

    bool empty() const { return length == 0 || data[0] == '\0'; }

    // Calls `fn(text, text_length)` for each string in order; stops early when
    // fn returns false. Returns false when it was stopped.
    template <typename Fn>
    bool for_each(Fn fn) const {
        std::uint32_t pos = 0;
        while (pos < length && data[pos] != '\0') {
            std::uint32_t end = pos;
            while (end < length && data[end] != '\0') {
                ++end;
            }
            if (!fn(data + pos, end - pos)) {
                return false;
            }
            pos = end + 1;
        }
        return true;
    }
};

class PortKey {
  public:
    static constexpr std::size_t PATH_SIZE = 2 * REG_STRING_SIZE;

    // Takes the name of the port key at `index` under the product key; false
    // when there is none.
    bool find(std::uint32_t index);

    const char* path() const { return path_; }
    const char* name() const { return name_; }

    bool read_dword(const char* value, std::uint32_t* out);
    bool read_string(const char* value, char* buffer);  // REG_STRING_SIZE bytes
    // Missing or unreadable: empty.
    void read_multi_string(const char* value, MultiString* out);
    // A delay in milliseconds: `fallback` when missing or 0.
    std::uint32_t read_delay(const char* value, std::uint32_t fallback);
    bool write_flags(std::uint32_t flags);

  private:
    char path_[PATH_SIZE] = {};
    char name_[REG_STRING_SIZE] = {};
};

}  // namespace varolan::service
