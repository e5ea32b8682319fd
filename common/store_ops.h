// The service's store operations. Each opens its key anew by path from
// HKEY_LOCAL_MACHINE (with create semantics, so reading a key that does not
// exist creates it empty), does one query/set/enumeration and closes the key
// before returning. Each reports success or failure; a caller that must tell
// why can pass `status`, which receives the store's status code: ERROR_SUCCESS,
// ERROR_FILE_NOT_FOUND for a value that is not there, ERROR_MORE_DATA for data
// longer than the buffer, ERROR_SHARING_VIOLATION for a store another process
// kept locked beyond the store's busy timeout, another code for a store that
// cannot be used.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/core/winerror.h"

namespace varolan {

// Size of the service's string buffers (bytes, terminator included).
inline constexpr std::size_t REG_STRING_SIZE = 256;

// 32-bit read with a 4-byte buffer: fails when the stored data is longer than
// 4 bytes; shorter data fills the low bytes and the rest is zero. The stored
// type is not checked.
bool reg_read_dword(const char* key_path, const char* value_name, std::uint32_t* value,
                    LONG* status = nullptr);

// String read into `buffer` (at least REG_STRING_SIZE bytes). A missing value
// fails and leaves an empty string; a zero-length value is read as empty. The
// result is always NUL-terminated within REG_STRING_SIZE bytes: 256 stored bytes
// without a terminator are cut to 255. Data longer than 256 bytes fails (empty).
bool reg_read_string(const char* key_path, const char* value_name, char* buffer,
                     LONG* status = nullptr);

// Raw read of at most REG_STRING_SIZE bytes (a multi-string: NUL-terminated
// strings ended by an empty one). `length` receives the number of bytes read
// (0 on failure). Longer data fails.
bool reg_read_multi_string(const char* key_path, const char* value_name, char* buffer,
                           std::uint32_t* length, LONG* status = nullptr);

// Writes a REG_DWORD of 4 bytes, opening the key with full access.
bool reg_write_dword(const char* key_path, const char* value_name, std::uint32_t value,
                     LONG* status = nullptr);

// Name of the subkey at `index` (case-insensitive name order) into `name`
// (at least REG_STRING_SIZE bytes); false when there is none (empty name).
bool reg_enum_subkey(const char* key_path, std::uint32_t index, char* name, LONG* status = nullptr);

// Number of subkeys of the key; false when they cannot be listed.
bool reg_count_subkeys(const char* key_path, std::uint32_t* count);

}  // namespace varolan
