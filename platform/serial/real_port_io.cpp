// Reading and writing on the real port under the time-outs in force.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/core/clock.h"
#include "platform/serial/real_port.h"

namespace varolan::serial::detail {

bool RealCommPort::ReadFile(void* buffer, DWORD count, DWORD* done) {
    *done = 0;
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (count == 0) {
        return true;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    const COMMTIMEOUTS t = timeouts_;
    const bool interval_max = t.ReadIntervalTimeout == MAXDWORD;
    // Return at once with what has arrived.
    if (interval_max && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        return read_available(out, count, done, 0);
    }
    // Wait up to the constant for the first byte, then return what is there.
    if (interval_max && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
        return read_available(out, count, done, t.ReadTotalTimeoutConstant);
    }
    const bool has_total = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
    const std::uint64_t total = static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                                t.ReadTotalTimeoutConstant;
    const std::uint64_t deadline = monotonic_ms() + total;
    while (*done < count) {
        std::int64_t wait = -1;
        if (has_total) {
            std::uint64_t now = monotonic_ms();
            wait = now >= deadline ? 0 : static_cast<std::int64_t>(deadline - now);
        }
        if (*done > 0 && t.ReadIntervalTimeout != 0 && !interval_max) {
            std::int64_t iv = t.ReadIntervalTimeout;
            wait = wait < 0 ? iv : std::min(wait, iv);
        }
        int rev = wait_fd(fd_.get(), POLLIN, wait);
        if (rev < 0) {
            return fail(comm_line_error(errno));
        }
        if (rev == 0) {
            break;  // time-out: success with what was read
        }
        if (!read_some(out, count, done)) {
            return false;
        }
    }
    return true;
}

bool RealCommPort::WriteFile(const void* buffer, DWORD count, DWORD* done) {
    *done = 0;
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    const auto* in = static_cast<const unsigned char*>(buffer);
    const COMMTIMEOUTS t = timeouts_;
    const bool has_total = t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0;
    const std::uint64_t deadline =
        monotonic_ms() + static_cast<std::uint64_t>(t.WriteTotalTimeoutMultiplier) * count +
        t.WriteTotalTimeoutConstant;
    auto remaining = [&]() -> std::int64_t {
        if (!has_total) {
            return -1;
        }
        std::uint64_t now = monotonic_ms();
        return now >= deadline ? 0 : static_cast<std::int64_t>(deadline - now);
    };
    while (*done < count) {
        // DSR output flow: the driver has none, so writes wait for DSR here.
        if (dcb_.fOutxDsrFlow && has_modem_) {
            for (;;) {
                int bits = 0;
                if (ioctl_retry(fd_.get(), TIOCMGET, &bits) != 0) {
                    return fail(comm_line_error(errno));
                }
                if (bits & TIOCM_DSR) {
                    break;
                }
                std::int64_t left = remaining();
                if (left == 0) {
                    return fail(ERROR_TIMEOUT);
                }
                pause_real(left < 0 ? 10 : static_cast<int>(std::min<std::int64_t>(left, 10)));
            }
        }
        int rev = wait_fd(fd_.get(), POLLOUT, remaining());
        if (rev < 0) {
            return fail(comm_line_error(errno));
        }
        if (rev == 0) {
            return fail(ERROR_TIMEOUT);
        }
        if (rev & (POLLERR | POLLNVAL)) {
            return fail(ERROR_BROKEN_PIPE);
        }
        // Without a DSR gate the whole rest goes to the driver at once;
        // with it, a small piece at a time so the gate is looked at often.
        std::size_t piece = count - *done;
        if (dcb_.fOutxDsrFlow && has_modem_ && piece > 16) {
            piece = 16;
        }
        ssize_t n = ::write(fd_.get(), in + *done, piece);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return fail(comm_line_error(errno));
        }
        *done += static_cast<DWORD>(n);
    }
    return true;
}

// One read of what the driver holds; false (broken line) at end of file.
bool RealCommPort::read_some(unsigned char* out, DWORD count, DWORD* done) {
    for (;;) {
        ssize_t n = ::read(fd_.get(), out + *done, count - *done);
        if (n > 0) {
            *done += static_cast<DWORD>(n);
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return true;
        }
        return fail(n == 0 ? ERROR_BROKEN_PIPE : comm_line_error(errno));
    }
}

bool RealCommPort::read_available(unsigned char* out, DWORD count, DWORD* done,
                                  DWORD first_wait_ms) {
    int rev = wait_fd(fd_.get(), POLLIN, first_wait_ms);
    if (rev < 0) {
        return fail(comm_line_error(errno));
    }
    while (rev != 0 && *done < count) {
        if (!read_some(out, count, done)) {
            return false;
        }
        rev = wait_fd(fd_.get(), POLLIN, 0);
        if (rev < 0) {
            return fail(comm_line_error(errno));
        }
    }
    return true;
}

}  // namespace varolan::serial::detail
