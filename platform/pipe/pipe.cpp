// One pipe instance: waiting for its client, reading and writing whole
// messages, and the client's credentials. Creating instances and their shared
// listener is in pipe_listener.cpp.
#include "platform/pipe/pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/core/errno_status.h"
#include "platform/pipe/pipe_internal.h"

namespace varolan::pipe {

DWORD pipe_errno_status(int err) {
    switch (err) {
        case ECONNREFUSED:
            return ERROR_FILE_NOT_FOUND;
        case EPIPE:
        case ECONNRESET:
        case ENOTCONN:
            return ERROR_BROKEN_PIPE;
        default:
            return status_from_errno(err);
    }
}

bool set_passcred(int fd) {
    int one = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &one, sizeof one) == 0;
}

NamedPipe::NamedPipe() = default;

NamedPipe::~NamedPipe() {
    close();
}

NamedPipe::NamedPipe(NamedPipe&& other) noexcept
    : listener_(std::move(other.listener_)),
      sock_(std::move(other.sock_)),
      spill_(std::move(other.spill_)),
      last_errno_(std::exchange(other.last_errno_, 0)) {}

NamedPipe& NamedPipe::operator=(NamedPipe&& other) noexcept {
    if (this != &other) {
        close();
        listener_ = std::move(other.listener_);
        sock_ = std::move(other.sock_);
        spill_ = std::move(other.spill_);
        last_errno_ = std::exchange(other.last_errno_, 0);
    }
    return *this;
}

bool NamedPipe::valid() const {
    return listener_ != nullptr || sock_.valid();
}

void NamedPipe::attach_listener(std::shared_ptr<Listener> listener) {
    listener_ = std::move(listener);
}

void NamedPipe::attach_socket(UniqueFd sock) {
    sock_ = std::move(sock);
}

void NamedPipe::close() {
    sock_.reset();
    spill_.release();
    if (listener_) {
        // The listener goes (and its path with it) when its last instance goes;
        // it is dropped under the lock so that a concurrent create never meets
        // a half-destroyed one.
        std::lock_guard<std::mutex> lock(listener_registry_mutex);
        if (listener_->instances > 0) {
            --listener_->instances;
        }
        listener_.reset();
    }
}

DWORD NamedPipe::connect() {
    if (!listener_) {
        return ERROR_INVALID_HANDLE;
    }
    if (sock_.valid()) {
        return ERROR_SUCCESS;  // already connected (NT: ERROR_PIPE_CONNECTED)
    }
    for (;;) {
        int fd = ::accept4(listener_->fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            // Every message read from now on carries credentials, which tells a
            // zero-length message from end of file.
            if (!set_passcred(fd)) {
                last_errno_ = errno;
                ::close(fd);
                return ERROR_GEN_FAILURE;
            }
            sock_.reset(fd);
            return ERROR_SUCCESS;
        }
        const int err = errno;
        if (err == EINTR || err == ECONNABORTED) {
            continue;
        }
        last_errno_ = err;
        bool shut;
        {
            std::lock_guard<std::mutex> lock(listener_registry_mutex);
            shut = listener_->shut_;
        }
        // A listener that was shut down refuses every accept with EINVAL.
        if (shut || err == EINVAL || err == EBADF || err == ENOTSOCK) {
            return ERROR_PIPE_NOT_CONNECTED;
        }
        switch (err) {
            case EMFILE:
            case ENFILE:
                return ERROR_TOO_MANY_OPEN_FILES;
            case ENOMEM:
            case ENOBUFS:
                return ERROR_NOT_ENOUGH_MEMORY;
            default:
                return ERROR_GEN_FAILURE;
        }
    }
}

bool NamedPipe::clients_waiting() const {
    if (!listener_) {
        return false;
    }
    pollfd p{listener_->fd(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

bool NamedPipe::peer_credentials(PeerCredentials* out) const {
    ucred cred{};
    socklen_t size = sizeof cred;
    if (out == nullptr || !sock_.valid() ||
        ::getsockopt(sock_.get(), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) {
        return false;
    }
    out->uid = cred.uid;
    out->gid = cred.gid;
    out->pid = cred.pid;
    return true;
}

DWORD NamedPipe::read(void* buffer, DWORD size, DWORD* bytes_read) {
    return read_message(buffer, size, bytes_read, true);
}

DWORD NamedPipe::read_nowait(void* buffer, DWORD size, DWORD* bytes_read) {
    return read_message(buffer, size, bytes_read, false);
}

DWORD NamedPipe::read_message(void* buffer, DWORD size, DWORD* bytes_read, bool wait) {
    if (bytes_read != nullptr) {
        *bytes_read = 0;
    }
    if (!sock_.valid()) {
        return listener_ ? ERROR_PIPE_NOT_CONNECTED : ERROR_INVALID_HANDLE;
    }
    if (size > 0 && buffer == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // The rest of a message that an earlier short read left.
    if (spill_.left() > 0) {
        std::size_t n = spill_.take(buffer, size);
        if (bytes_read != nullptr) {
            *bytes_read = static_cast<DWORD>(n);
        }
        return spill_.left() > 0 ? ERROR_MORE_DATA : ERROR_SUCCESS;
    }
    if (!spill_.reserve()) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    iovec iov[2];
    iov[0].iov_base = buffer;
    iov[0].iov_len = size;
    iov[1].iov_base = spill_.space();
    iov[1].iov_len = spill_.capacity();
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    const int flags = MSG_CMSG_CLOEXEC | (wait ? 0 : MSG_DONTWAIT);
    for (;;) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = 2;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(sock_.get(), &msg, flags);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (!wait && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return ERROR_NO_DATA;
            }
            return pipe_errno_status(errno);
        }
        if (n == 0 && msg.msg_controllen == 0) {
            return ERROR_BROKEN_PIPE;  // end of file: no message, no credentials
        }
        std::size_t got = static_cast<std::size_t>(n);
        if (got <= size) {
            if (bytes_read != nullptr) {
                *bytes_read = static_cast<DWORD>(got);
            }
            return ERROR_SUCCESS;
        }
        if (bytes_read != nullptr) {
            *bytes_read = size;
        }
        spill_.hold(got - size);
        return ERROR_MORE_DATA;
    }
}

DWORD NamedPipe::peek(DWORD* total_available) {
    return peek(total_available, nullptr);
}

DWORD NamedPipe::peek(DWORD* total_available, bool* message_waiting) {
    if (total_available != nullptr) {
        *total_available = 0;
    }
    if (message_waiting != nullptr) {
        *message_waiting = false;
    }
    if (!sock_.valid()) {
        return listener_ ? ERROR_PIPE_NOT_CONNECTED : ERROR_INVALID_HANDLE;
    }
    std::size_t total = spill_.left();
    bool waiting = false;
    // Tell "nothing waiting" from "closed": a non-blocking peek at the next
    // message. A message (even an empty one) comes with credentials; end of file
    // comes without.
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(sock_.get(), &msg, MSG_PEEK | MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && total == 0) {
            return pipe_errno_status(errno);
        }
    } else if (n == 0 && msg.msg_controllen == 0) {
        if (total == 0) {
            return ERROR_BROKEN_PIPE;
        }
    } else {
        waiting = true;
        int queued = 0;
        if (::ioctl(sock_.get(), FIONREAD, &queued) == 0 && queued > 0) {
            total += static_cast<std::size_t>(queued);
        }
    }
    if (message_waiting != nullptr) {
        *message_waiting = waiting || total > 0;
    }
    if (total_available != nullptr) {
        *total_available = total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(total);
    }
    return ERROR_SUCCESS;
}

DWORD NamedPipe::write(const void* buffer, DWORD size, DWORD* bytes_written) {
    return write_message(buffer, size, bytes_written, true);
}

DWORD NamedPipe::write_nowait(const void* buffer, DWORD size, DWORD* bytes_written) {
    return write_message(buffer, size, bytes_written, false);
}

DWORD NamedPipe::write_message(const void* buffer, DWORD size, DWORD* bytes_written, bool wait) {
    if (bytes_written != nullptr) {
        *bytes_written = 0;
    }
    if (!sock_.valid()) {
        return listener_ ? ERROR_PIPE_NOT_CONNECTED : ERROR_INVALID_HANDLE;
    }
    if (size > 0 && buffer == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // A message is taken whole or not at all.
    const int flags = MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT);
    for (;;) {
        ssize_t n = ::send(sock_.get(), buffer, size, flags);
        if (n >= 0) {
            if (bytes_written != nullptr) {
                *bytes_written = static_cast<DWORD>(n);
            }
            return ERROR_SUCCESS;
        }
        if (errno == EINTR) {
            continue;
        }
        if (!wait && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return ERROR_SUCCESS;
        }
        if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) {
            return ERROR_NO_DATA;
        }
        if (errno == EMSGSIZE) {
            return ERROR_INVALID_PARAMETER;
        }
        return pipe_errno_status(errno);
    }
}

}  // namespace varolan::pipe
