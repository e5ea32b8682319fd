#include "tests/support/session_user_side.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace varolan::test {

bool FdUserSide::read(void* buffer, std::uint32_t size, std::uint32_t* got) {
    *got = 0;
    if (!fd_.valid()) {
        return false;
    }
    for (;;) {
        ssize_t n = ::read(fd_.get(), buffer, size);
        if (n > 0) {
            *got = static_cast<std::uint32_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return false;  // end of file or error: the user is gone
    }
}

bool FdUserSide::write(const void* data, std::uint32_t size) {
    if (!fd_.valid()) {
        return false;
    }
    const char* p = static_cast<const char*>(data);
    std::uint32_t done = 0;
    while (done < size) {
        ssize_t n = ::send(fd_.get(), p + done, size - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::uint32_t>(n);
    }
    return true;
}

bool FdUserSide::write_available(const void* data, std::uint32_t size, std::uint32_t* done) {
    *done = 0;
    if (!fd_.valid()) {
        return false;
    }
    for (;;) {
        ssize_t n = ::send(fd_.get(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            *done = static_cast<std::uint32_t>(n);
            return true;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

UserLine make_user_line(bool seqpacket) {
    int sv[2] = {-1, -1};
    UserLine line;
    if (socketpair(AF_UNIX, (seqpacket ? SOCK_SEQPACKET : SOCK_STREAM) | SOCK_CLOEXEC, 0, sv) !=
        0) {
        return line;
    }
    line.side = std::make_unique<FdUserSide>(UniqueFd(sv[0]));
    line.terminal = UniqueFd(sv[1]);
    return line;
}

bool terminal_write(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool terminal_stop_sending(int fd) {
    return ::shutdown(fd, SHUT_WR) == 0;
}

namespace {

// One poll and read; returns false at end of file, error or timeout.
bool read_some(int fd, std::string& out, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, timeout_ms);
    if (r <= 0) {
        return false;
    }
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) {
        return false;
    }
    out.append(buf, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

std::string terminal_read_available(int fd, std::chrono::milliseconds quiet) {
    std::string out;
    while (read_some(fd, out, static_cast<int>(quiet.count()))) {
    }
    return out;
}

std::string terminal_read_until(int fd, const std::string& needle,
                                std::chrono::milliseconds timeout) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.find(needle) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !read_some(fd, out, static_cast<int>(left.count()))) {
            break;
        }
    }
    return out;
}

std::string terminal_read_to_end(int fd, std::chrono::milliseconds timeout) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !read_some(fd, out, static_cast<int>(left.count()))) {
            break;
        }
    }
    return out;
}

}  // namespace varolan::test
