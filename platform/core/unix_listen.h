// Listening Unix sockets whose path appears only once they listen.
#pragma once

#include <string>

namespace varolan {

// The name next to `path` under which listen_at_path binds first.
std::string staging_path(const std::string& path);

// Makes the AF_UNIX socket `fd` listen at `path` with file mode `mode`: it is
// bound under staging_path(path) (a file left there is removed first), given
// its mode on that file (never through a link), made to listen, and only then
// renamed to `path`, which replaces a socket file a dead process left there.
// A client that finds the path therefore always finds a listener. Returns 0,
// or the errno of the step that failed (ENAMETOOLONG when the staging name
// does not fit a socket address); nothing is left at the staging name then.
int listen_at_path(int fd, const std::string& path, unsigned mode, int backlog);

}  // namespace varolan
