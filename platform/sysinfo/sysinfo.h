// Machine figures for the About box: total physical memory and the free space
// of the file system that holds the process's current directory.
#pragma once

#include <cstdint>
#include <string>

#include "platform/core/winerror.h"

namespace varolan::sysinfo {

// Total physical memory in bytes. ERROR_SUCCESS or the failing call's status.
DWORD total_physical_memory(std::uint64_t* bytes);

// The process's current directory. ERROR_SUCCESS, or a failure status when it
// cannot be obtained (for example a directory that was removed).
DWORD current_directory(std::string* path);

// Free space, in bytes, that an ordinary user may use on the file system that
// holds `path`. A network file system counts as a failure (ERROR_NOT_SUPPORTED):
// its figure is the server's and says nothing about this machine.
DWORD free_disk_space(const std::string& path, std::uint64_t* bytes);

}  // namespace varolan::sysinfo
