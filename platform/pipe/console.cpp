#include "platform/pipe/console.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varolan::console {

namespace {

// Read by the signal handler: set before the handlers are installed.
termios saved_mode;
volatile sig_atomic_t saved_fd = -1;
constexpr int restore_signals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGPIPE};
struct sigaction previous_actions[sizeof restore_signals / sizeof restore_signals[0]];

extern "C" void restore_and_reraise(int sig) {
    int fd = saved_fd;
    if (fd >= 0) {
        ::tcsetattr(fd, TCSANOW, &saved_mode);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

}  // namespace

bool is_terminal(int fd) {
    return ::isatty(fd) == 1;
}

bool RawMode::enter(int fd) {
    if (active_ || !is_terminal(fd) || ::tcgetattr(fd, &saved_mode) != 0) {
        return false;
    }
    saved_fd = fd;
    struct sigaction action {};
    action.sa_handler = restore_and_reraise;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < sizeof restore_signals / sizeof restore_signals[0]; ++i) {
        ::sigaction(restore_signals[i], &action, &previous_actions[i]);
    }
    termios raw = saved_mode;
    ::cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &raw) != 0) {
        active_ = true;
        restore();
        return false;
    }
    active_ = true;
    return true;
}

void RawMode::restore() {
    if (!active_) {
        return;
    }
    active_ = false;
    int fd = saved_fd;
    if (fd >= 0) {
        ::tcsetattr(fd, TCSANOW, &saved_mode);
    }
    for (std::size_t i = 0; i < sizeof restore_signals / sizeof restore_signals[0]; ++i) {
        ::sigaction(restore_signals[i], &previous_actions[i], nullptr);
    }
    saved_fd = -1;
}

long read_fd(int fd, void* buffer, std::size_t size) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) {
            return static_cast<long>(n);
        }
    }
}

bool write_all(int fd, const void* buffer, std::size_t size) {
    const char* p = static_cast<const char*>(buffer);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

const char* error_text(int err) {
    return std::strerror(err);
}

int last_errno() {
    return errno;
}

}  // namespace varolan::console
