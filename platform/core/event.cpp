#include "platform/core/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/core/clock.h"

namespace varolan {

static_assert(poll_in == POLLIN && poll_out == POLLOUT && poll_err == POLLERR &&
              poll_hup == POLLHUP && poll_nval == POLLNVAL && poll_rdhup == POLLRDHUP);

bool Event::create(bool manual_reset, bool initially_set) {
    int fd = eventfd(initially_set ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    fd_.reset(fd);
    manual_ = manual_reset;
    return true;
}

bool Event::set() {
    if (!fd_.valid()) {
        return false;
    }
    std::uint64_t one = 1;
    for (;;) {
        ssize_t n = ::write(fd_.get(), &one, sizeof one);
        if (n == sizeof one) {
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // EAGAIN: the counter is at its maximum, which still means "set".
        return n < 0 && errno == EAGAIN;
    }
}

bool Event::reset() {
    if (!fd_.valid()) {
        return false;
    }
    std::uint64_t value = 0;
    while (::read(fd_.get(), &value, sizeof value) < 0 && errno == EINTR) {
    }
    return true;
}

bool Event::try_consume() {
    if (!fd_.valid()) {
        return false;
    }
    if (manual_) {
        pollfd p{fd_.get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
    }
    std::uint64_t value = 0;
    for (;;) {
        ssize_t n = ::read(fd_.get(), &value, sizeof value);
        if (n == sizeof value) {
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
}

WaitResult Event::wait(std::uint32_t timeout_ms) {
    if (!fd_.valid()) {
        return WaitResult::failed;
    }
    const bool infinite = timeout_ms == INFINITE_WAIT;
    const std::uint64_t deadline = infinite ? 0 : monotonic_ms() + timeout_ms;
    for (;;) {
        // An auto-reset event may be taken by another waiter between poll and
        // read; loop until this waiter consumes it or time runs out.
        if (try_consume()) {
            return WaitResult::signaled;
        }
        int wait_for = -1;
        if (!infinite) {
            std::uint64_t now = monotonic_ms();
            if (now >= deadline) {
                return WaitResult::timeout;
            }
            wait_for = static_cast<int>(deadline - now);
        }
        pollfd p{fd_.get(), POLLIN, 0};
        int r = ::poll(&p, 1, wait_for);
        if (r < 0 && errno != EINTR) {
            return WaitResult::failed;
        }
        if (r > 0 && (p.revents & (POLLERR | POLLNVAL)) != 0) {
            return WaitResult::failed;
        }
    }
}

WaitDeadline::WaitDeadline(std::uint32_t timeout_ms) : infinite_(timeout_ms == INFINITE_WAIT) {
    if (!infinite_) {
        deadline_ = monotonic_ms() + timeout_ms;
    }
}

int WaitDeadline::remaining_ms() const {
    if (infinite_) {
        return -1;
    }
    std::uint64_t now = monotonic_ms();
    return now >= deadline_ ? 0 : static_cast<int>(deadline_ - now);
}

int poll_fds(PollFd* fds, unsigned count, std::uint32_t timeout_ms) {
    static_assert(sizeof(PollFd) == sizeof(pollfd));
    const WaitDeadline deadline(timeout_ms);
    for (;;) {
        const int wait_for = deadline.remaining_ms();
        pollfd local[16];
        pollfd* p = local;
        if (count > 16) {
            return -1;
        }
        for (unsigned i = 0; i < count; ++i) {
            p[i] = pollfd{fds[i].fd, fds[i].events, 0};
        }
        int r = ::poll(p, count, wait_for);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        for (unsigned i = 0; i < count; ++i) {
            fds[i].revents = r > 0 ? p[i].revents : 0;
        }
        return r;
    }
}

}  // namespace varolan
