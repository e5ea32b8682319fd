// What the commands and the REGEDIT4 reader and writer of varolan-reg share:
// listing a key, naming keys and store failures for a person, number parsing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/winerror.h"
#include "platform/registry/registry.h"

namespace varolan::regtool {

inline constexpr std::string_view ROOT_NAME = "HKEY_LOCAL_MACHINE";

struct StoredValue {
    std::string name;
    DWORD type = 0;
    std::vector<std::uint8_t> data;
};

// Every value of `key`, in creation order; the status of a failed read.
LONG list_values(const reg::Key& key, std::vector<StoredValue>& values);
// Every subkey name of `key`, in the store's order; the status of a failed read.
LONG list_subkeys(const reg::Key& key, std::vector<std::string>& names);
// One whole value, whatever its size.
LONG read_value(const reg::Key& key, std::string_view name, DWORD& type,
                std::vector<std::uint8_t>& data);
// Opens `path` below HKEY_LOCAL_MACHINE for changes, creating it when missing.
LONG open_for_write(const std::string& path, reg::Key& key);

// "HKEY_LOCAL_MACHINE\path" for messages.
std::string full_name(std::string_view path);
// `parent`\`child`, or `child` below the root.
std::string join(std::string_view parent, std::string_view child);
// A store status in words (the store's own message for file trouble).
std::string status_text(LONG status);
// Parses 1..8 hex digits (no prefix) or, with `decimal_ok`, a decimal number or
// "0x" hex number, into a 32-bit value.
bool parse_u32(std::string_view s, bool decimal_ok, std::uint32_t& out);
// "HKEY_LOCAL_MACHINE\..." (or HKLM) of a section line to a path below it.
bool section_path(std::string_view name, std::string& path);

}  // namespace varolan::regtool
