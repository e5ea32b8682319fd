// The files the dispatcher keeps in the runtime directory: the directory
// itself, the instance lock and the control endpoint's socket.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/core/errno_status.h"
#include "platform/core/fd.h"
#include "platform/core/log.h"
#include "platform/core/private_dir.h"
#include "platform/core/unix_listen.h"
#include "platform/scm/runtime_files.h"

namespace varolan::scm::detail {

namespace {

// A file of the runtime directory opened without following a link: a regular
// file of this service's account, or nothing (the reason logged).
bool own_regular_file(int fd, const std::string& path) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        log_error("%s: not a regular file", path.c_str());
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        log_error("%s: owned by uid %u, not by this service's account (uid %u)", path.c_str(),
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(::geteuid()));
        return false;
    }
    return true;
}

}  // namespace

// The runtime directory and the pipe's directory in it exist (made when
// missing) and nobody but this service's account can change them. What is
// wrong is logged as one line.
DWORD prepare_runtime_dir(const std::string& dir) {
    for (const std::string& path : {dir, dir + "/pipe"}) {
        const std::string trouble = prepare_private_dir(path, 0755);
        if (!trouble.empty()) {
            log_error("runtime directory refused: %s", trouble.c_str());
            return ERROR_ACCESS_DENIED;
        }
    }
    return ERROR_SUCCESS;
}

// Takes the instance lock of the service (and records this process id in it).
DWORD take_instance_lock(const std::string& path, UniqueFd& lock) {
    lock.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (!lock) {
        log_error("%s: %s", path.c_str(), system_error_text(errno));
        return ERROR_ACCESS_DENIED;
    }
    if (!own_regular_file(lock.get(), path)) {
        lock.reset();
        return ERROR_ACCESS_DENIED;
    }
    int rc;
    do {
        rc = ::flock(lock.get(), LOCK_EX | LOCK_NB);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        lock.reset();
        return errno == EWOULDBLOCK ? ERROR_SERVICE_ALREADY_RUNNING : ERROR_ACCESS_DENIED;
    }
    char pid[32];
    int n = std::snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(::getpid()));
    if (::ftruncate(lock.get(), 0) == 0) {
        ssize_t written = ::pwrite(lock.get(), pid, static_cast<std::size_t>(n), 0);
        (void)written;
    }
    return ERROR_SUCCESS;
}

// Binds the endpoint, replacing a socket file left by a process that was killed
// (the instance lock says nobody else serves it). The path appears once the
// endpoint listens, so a client that finds it is answered. Its mode (0600) is
// set without following a link; connections are also checked by peer
// credentials.
DWORD bind_endpoint(const std::string& path, UniqueFd& listener) {
    if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
        return ERROR_INVALID_PARAMETER;
    }
    listener.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener) {
        return ERROR_GEN_FAILURE;
    }
    if (const int err = listen_at_path(listener.get(), path, 0600, 16); err != 0) {
        listener.reset();
        return err == EADDRINUSE ? ERROR_ACCESS_DENIED : status_from_errno(err);
    }
    return ERROR_SUCCESS;
}

}  // namespace varolan::scm::detail
