// varolan-reg: the administrator's view of the configuration store. The logic
// lives in this library (vl_regtool) so tests and fuzzers call it directly;
// main.cpp only hands over the arguments and prints the results.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/winerror.h"

namespace varolan::regtool {

// A key as typed on the command line: `\` or `/` separators, an optional
// "HKLM\" or "HKEY_LOCAL_MACHINE\" prefix; returns the path below
// HKEY_LOCAL_MACHINE with single backslashes and no leading/trailing ones.
std::string normalize_key(std::string_view arg);

// Name of a value type ("REG_SZ", ...; others as "0x%x").
std::string type_name(DWORD type);
// One value as `query` prints it: type name and data ("REG_DWORD 10 (0x0000000a)").
std::string format_value(DWORD type, const std::vector<std::uint8_t>& data);
// The TYPE and DATA arguments of `set` as stored bytes.
bool parse_set_data(std::string_view type, const std::vector<std::string>& args, DWORD& out_type,
                    std::vector<std::uint8_t>& out_data, std::string& error);

// --- REGEDIT4 text -----------------------------------------------------------------

// One line of a value in REGEDIT4 form ("name"=..., @=... for the default value),
// hex data wrapped with backslash continuations. False (with `error`) for a name
// that the format cannot carry (line breaks or NUL).
bool format_regedit4_value(std::string_view name, DWORD type, const std::vector<std::uint8_t>& data,
                           std::string& line, std::string& error);
// The text of `key_path` (below HKEY_LOCAL_MACHINE) with its values and all its
// subkeys. The empty path exports every key except the volatile HARDWARE tree.
LONG export_key(std::string_view key_path, std::string& text, std::string& error);

struct ImportOp {
    enum class Kind { create_key, delete_tree, set_value, delete_value };
    Kind kind = Kind::create_key;
    std::string key;  // below HKEY_LOCAL_MACHINE
    std::string name;
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    int line = 0;
};
// Parses a whole REGEDIT4 text; false with "line N: ..." in `error`.
bool parse_regedit4(std::string_view text, std::vector<ImportOp>& ops, std::string& error);
// Applies parsed operations in order, each committed on its own; stops at the
// first failure, whose message says how many operations were applied before it.
bool apply_import(const std::vector<ImportOp>& ops, std::string& error);

// Deletes a key and everything below it (a missing key is not an error when
// `missing_ok`).
LONG delete_tree(std::string_view key_path, bool missing_ok);

// The whole command: `args` without the program name. Output for stdout goes to
// `out`; to `err` go a warning line when another account could change the
// store, and the one-line failure message (or usage). Returns the exit status.
int run(const std::vector<std::string>& args, std::string& out, std::string& err);

}  // namespace varolan::regtool
