// Process resource limits.
#pragma once

#include <cstdint>

namespace varolan {

// Raises the soft limit of open descriptors to the hard limit. Every gateway
// session holds several descriptors (user side, host socket, events), so the
// usual soft limit of 1024 would cap the service at a few hundred users.
// Returns the soft limit in force afterwards (0 when it cannot be read).
std::uint64_t raise_open_file_limit();

}  // namespace varolan
