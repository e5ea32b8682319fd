// Reading and writing single values the way the utility does it: strings into a
// 512-byte buffer and written as REG_SZ with their terminating NUL, 32-bit
// values with a 4-byte buffer as REG_DWORD. The stored type is never asked for.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/registry/registry.h"

namespace varolan::util {

// The bytes up to the first NUL (or all that was read); false when the query fails.
bool read_string(const reg::Key& key, std::string_view name, std::string& out);
// The first four data bytes, little-endian (shorter data reads as zero-extended);
// false when the query fails, data longer than four bytes included.
bool read_dword(const reg::Key& key, std::string_view name, std::uint32_t& out);
bool write_string(const reg::Key& key, std::string_view name, std::string_view text);
bool write_dword(const reg::Key& key, std::string_view name, std::uint32_t value);
// A value of `type` with no data at all.
bool write_empty(const reg::Key& key, std::string_view name, DWORD type);

}  // namespace varolan::util
