// Directories that only their owner may change: the runtime directory of the
// service and the pipe's directory in it. Anyone else who could place, swap or
// remove entries there could take over the service's sockets.
#pragma once

#include <string>

namespace varolan {

// Makes `path` with `mode` when it is missing (not narrowed by the umask; the
// directories above it are made too, 0755), and checks it: a directory itself
// (not a symbolic link), owned by this process's effective user, and writable
// by nobody else (no group or other write bit, sticky or not). Returns "" when
// it is fit, else one line that says what is wrong with it, naming the path.
std::string prepare_private_dir(const std::string& path, unsigned mode);

}  // namespace varolan
