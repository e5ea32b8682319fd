// The real port's events and modem signals: the event mask and its waits,
// modem status, line errors and the escape functions (DTR, RTS, break, flow).
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "platform/serial/real_port.h"

namespace varolan::serial::detail {

bool RealCommPort::SetCommMask(DWORD event_mask) {
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    mask_.store(event_mask);
    if (has_counters_) {
        read_counters(fd_.get(), &event_base_);
    }
    return true;
}

bool RealCommPort::GetCommMask(DWORD* event_mask) {
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    *event_mask = mask_.load();
    return true;
}

bool RealCommPort::WaitCommEvent(DWORD* event) {
    *event = 0;
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    const DWORD mask = mask_.load();
    if (mask == 0) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    const DWORD modem = mask & MODEM_EVENTS;
    if (!has_modem_ && (mask & ~modem) == 0) {
        return fail(ERROR_NOT_SUPPORTED);
    }
    if ((mask & ~modem) == 0 && has_counters_) {
        return wait_modem_only(modem, event);
    }
    return wait_polling(mask, event);
}

// Modem events only: the driver wakes us when a watched line changes.
bool RealCommPort::wait_modem_only(DWORD modem_mask, DWORD* event) {
    int watch = 0;
    if (modem_mask & EV_CTS) {
        watch |= TIOCM_CTS;
    }
    if (modem_mask & EV_DSR) {
        watch |= TIOCM_DSR;
    }
    if (modem_mask & EV_RLSD) {
        watch |= TIOCM_CAR;
    }
    if (modem_mask & EV_RING) {
        watch |= TIOCM_RNG;
    }
    for (;;) {
        Counters now;
        if (!read_counters(fd_.get(), &now)) {
            return fail(comm_line_error(errno));
        }
        DWORD ev = modem_events(event_base_, now) & modem_mask;
        event_base_ = now;
        if (ev != 0) {
            *event = ev;
            return true;
        }
        int rc = ::ioctl(fd_.get(), TIOCMIWAIT, watch);
        if (rc != 0 && errno != EINTR) {
            return fail(comm_line_error(errno));
        }
    }
}

// Any mix of events: watch the input, the counters and the lines in short
// real-time slices.

bool RealCommPort::wait_polling(DWORD mask, DWORD* event) {
    int last_bits = 0;
    if (has_modem_) {
        ioctl_retry(fd_.get(), TIOCMGET, &last_bits);
    }
    for (;;) {
        DWORD ev = 0;
        int rev = wait_fd(fd_.get(), POLLIN, 20);
        if (rev < 0) {
            return fail(comm_line_error(errno));
        }
        if ((rev & POLLIN) && (mask & EV_RXCHAR)) {
            ev |= EV_RXCHAR;
        }
        if (rev & (POLLHUP | POLLERR | POLLNVAL)) {
            if (ev == 0) {
                return fail(ERROR_BROKEN_PIPE);
            }
        }
        if (has_counters_) {
            Counters now;
            if (read_counters(fd_.get(), &now)) {
                if (now.brk != event_base_.brk) {
                    ev |= EV_BREAK;
                }
                if (error_bits(event_base_, now) & ~CE_BREAK) {
                    ev |= EV_ERR;
                }
                ev |= modem_events(event_base_, now);
                event_base_ = now;
            }
        } else if (has_modem_) {
            int bits = 0;
            if (ioctl_retry(fd_.get(), TIOCMGET, &bits) == 0) {
                int changed = bits ^ last_bits;
                if (changed & TIOCM_CTS) {
                    ev |= EV_CTS;
                }
                if (changed & TIOCM_DSR) {
                    ev |= EV_DSR;
                }
                if (changed & TIOCM_CAR) {
                    ev |= EV_RLSD;
                }
                if ((changed & TIOCM_RNG) && !(bits & TIOCM_RNG)) {
                    ev |= EV_RING;
                }
                last_bits = bits;
            }
        }
        ev &= mask;
        if (ev != 0) {
            *event = ev;
            return true;
        }
        // Input that nobody waits for would keep poll() ready: pace the loop.
        if ((rev & POLLIN) && !(mask & EV_RXCHAR)) {
            pause_real(20);
        }
    }
}

bool RealCommPort::GetCommModemStatus(DWORD* modem_status) {
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    *modem_status = 0;
    int bits = 0;
    if (!has_modem_) {
        return true;  // a line without modem signals reports none
    }
    if (ioctl_retry(fd_.get(), TIOCMGET, &bits) != 0) {
        return fail(comm_line_error(errno));
    }
    *modem_status = modem_bits(bits);
    return true;
}

bool RealCommPort::ClearCommError(DWORD* errors, COMSTAT* stat) {
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    DWORD e = 0;
    if (has_counters_) {
        Counters now;
        if (read_counters(fd_.get(), &now)) {
            e = error_bits(error_base_, now);
            error_base_ = now;
        }
    }
    if (errors != nullptr) {
        *errors = e;
    }
    if (stat != nullptr) {
        *stat = COMSTAT{};
        int n = 0;
        if (ioctl_retry(fd_.get(), TIOCINQ, &n) == 0 && n > 0) {
            stat->cbInQue = n;
        }
        n = 0;
        if (ioctl_retry(fd_.get(), TIOCOUTQ, &n) == 0 && n > 0) {
            stat->cbOutQue = n;
        }
        int bits = 0;
        if (has_modem_ && ioctl_retry(fd_.get(), TIOCMGET, &bits) == 0) {
            termios t{};
            if (::tcgetattr(fd_.get(), &t) == 0 && (t.c_cflag & CRTSCTS) && !(bits & TIOCM_CTS)) {
                stat->fCtsHold = 1;
            }
            if (dcb_.fOutxDsrFlow && !(bits & TIOCM_DSR)) {
                stat->fDsrHold = 1;
            }
        }
    }
    return true;
}

bool RealCommPort::EscapeCommFunction(DWORD function) {
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    int bits = 0;
    unsigned long request = 0;
    switch (function) {
        case SETDTR:
            bits = TIOCM_DTR;
            request = TIOCMBIS;
            break;
        case CLRDTR:
            bits = TIOCM_DTR;
            request = TIOCMBIC;
            break;
        case SETRTS:
            bits = TIOCM_RTS;
            request = TIOCMBIS;
            break;
        case CLRRTS:
            bits = TIOCM_RTS;
            request = TIOCMBIC;
            break;
        case SETBREAK:
            if (ioctl_retry(fd_.get(), TIOCSBRK, nullptr) != 0) {
                return fail(comm_line_error(errno));
            }
            return true;
        case CLRBREAK:
            if (ioctl_retry(fd_.get(), TIOCCBRK, nullptr) != 0) {
                return fail(comm_line_error(errno));
            }
            return true;
        case SETXON:
            return ::tcflow(fd_.get(), TCOON) == 0 || fail(comm_line_error(errno));
        case SETXOFF:
            return ::tcflow(fd_.get(), TCOOFF) == 0 || fail(comm_line_error(errno));
        default:
            return fail(ERROR_INVALID_PARAMETER);
    }
    if (!has_modem_) {
        return fail(ERROR_NOT_SUPPORTED);
    }
    if (ioctl_retry(fd_.get(), request, &bits) != 0) {
        return fail(comm_line_error(errno));
    }
    return true;
}

}  // namespace varolan::serial::detail
