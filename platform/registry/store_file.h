// The store file on disk: where it is, who may read it, who may have changed
// it. Used by store_db.cpp before SQLite opens the file.
#pragma once

#include <string>

#include "platform/core/winerror.h"

namespace varolan::reg {

// Makes the store file ready for SQLite with access for its owner only,
// whatever the umask: the directory is made when missing (its last level
// 0700), the file is created 0600 when missing, and an existing file and its
// -wal and -shm lose any access by group and others. (SQLite creates the -wal
// and -shm with the mode, and when run as root the owner, of the file.)
// ERROR_PATH_NOT_FOUND with `error` when the directory cannot be made.
LONG prepare_store_file(const std::string& path, std::string& error);

// ERROR_FILE_NOT_FOUND when the file does not exist, ERROR_BADDB when it is
// empty (no database at all), ERROR_SUCCESS otherwise; `error` says which.
LONG check_store_present(const std::string& path, std::string& error);

}  // namespace varolan::reg
