// The store's database: the tables of keys and values in the SQLite file, one
// transaction per call. Used by the key calls of registry.cpp, which keep the
// handles, access rights and the volatile HARDWARE tree; nothing here knows of
// those.
//
// Key ids: 0 is HKEY_LOCAL_MACHINE itself. Every call first checks that the key
// it starts from still exists (ERROR_KEY_DELETED otherwise).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/winerror.h"

namespace varolan::reg {

// Walks `parts` below key `start`: *id = the key found (0 with *created false
// when a component is missing and `create` is false). With `create`, missing
// keys are made in one write transaction and *created tells whether the last
// one was new.
LONG db_walk(std::int64_t start, const std::vector<std::string_view>& parts, bool create,
             std::int64_t* id, bool* created);
// Names of the subkeys of `parent` in the order of their folded names.
LONG db_child_names(std::int64_t parent, std::vector<std::string>& names);
// Value `name` of key `id`: *found false when there is none.
LONG db_read_value(std::int64_t id, std::string_view name, bool* found, DWORD* type,
                   std::vector<std::uint8_t>* data);
// Sets value `name` of key `id`, keeping its place when it exists.
LONG db_write_value(std::int64_t id, std::string_view name, DWORD type, const std::uint8_t* data,
                    DWORD size);
// ERROR_FILE_NOT_FOUND when the key has no such value.
LONG db_delete_value(std::int64_t id, std::string_view name);
// The `index`-th value of key `id` in creation order: *found false past the last.
LONG db_value_at(std::int64_t id, DWORD index, bool* found, std::string* name, DWORD* type,
                 std::vector<std::uint8_t>* data);
// Deletes the key at `parts` below `start` with its values: ERROR_FILE_NOT_FOUND
// when absent, ERROR_ACCESS_DENIED when it has subkeys.
LONG db_delete_key(std::int64_t start, const std::vector<std::string_view>& parts);

}  // namespace varolan::reg
