// Process resource limits.
#pragma once

#include <cstdint>

namespace varolan {

// Raises the soft limit of open descriptors to the hard limit. Every gateway
// session holds several descriptors (user side, host socket, events), so the
// usual soft limit of 1024 would cap the service at a few hundred users.
// Returns the soft limit in force afterwards (0 when it cannot be read).
std::uint64_t raise_open_file_limit();

// The soft limit of open descriptors in force (0 when unlimited or unknown).
std::uint64_t open_file_limit();

// How many tasks (threads) this process may have at most: the smaller of the
// pids limit of its control group (systemd's TasksMax) and, for an account
// other than root, RLIMIT_NPROC. 0 when neither limits it.
std::uint64_t task_limit();

}  // namespace varolan
