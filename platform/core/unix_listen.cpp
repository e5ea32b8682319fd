#include "platform/core/unix_listen.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varolan {

std::string staging_path(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t leaf = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, leaf) + "." + path.substr(leaf) + ".new";
}

int listen_at_path(int fd, const std::string& path, unsigned mode, int backlog) {
    const std::string staging = staging_path(path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (staging.size() >= sizeof addr.sun_path) {
        return ENAMETOOLONG;
    }
    std::memcpy(addr.sun_path, staging.c_str(), staging.size() + 1);
    if (::unlink(staging.c_str()) != 0 && errno != ENOENT) {
        return errno;
    }
    // The file bind makes takes the socket's own mode (narrowed by the umask):
    // an owner-only socket is never reachable by others, not even for a moment.
    ::fchmod(fd, mode);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        return errno;
    }
    if (::fchmodat(AT_FDCWD, staging.c_str(), mode, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::listen(fd, backlog) != 0 || ::rename(staging.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(staging.c_str());
        return err;
    }
    return 0;
}

}  // namespace varolan
