// The real port's line state (termios and the modem lines it drives), its
// time-outs, purge and close.
#include <sys/file.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "platform/serial/real_port.h"
#include "platform/serial/termios2_speed.h"

namespace varolan::serial::detail {

namespace {

// What no line here can do, and handshakes on a line without modem signals.
bool line_can_take(const DCB& d, bool has_modem) {
    if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY ||
        d.StopBits > TWOSTOPBITS || (d.StopBits == ONE5STOPBITS && d.ByteSize != 5) ||
        (d.StopBits == TWOSTOPBITS && d.ByteSize == 5) || d.fDtrControl > DTR_CONTROL_HANDSHAKE ||
        d.fRtsControl > RTS_CONTROL_HANDSHAKE || ((d.fOutX || d.fInX) && d.XonChar == d.XoffChar)) {
        return false;
    }
    return has_modem ||
           !(d.fOutxCtsFlow || d.fOutxDsrFlow || d.fDtrControl == DTR_CONTROL_HANDSHAKE ||
             d.fRtsControl == RTS_CONTROL_HANDSHAKE);
}

// The raw termios that stands for `d`, built on the line's current one.
termios termios_for(const DCB& d, const termios& before) {
    termios t = before;
    make_raw(t);
    t.c_cflag &= ~FRAME_FLAGS;
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[d.ByteSize - 5];
    switch (d.Parity) {
        case ODDPARITY:
            t.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            t.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (d.StopBits != ONESTOPBIT) {
        t.c_cflag |= CSTOPB;
    }
    // The driver's one hardware handshake covers both directions.
    if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        t.c_cflag |= CRTSCTS;
    }
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF);
    if (d.fParity) {
        t.c_iflag |= INPCK;
    }
    if (d.fOutX) {
        t.c_iflag |= IXON;
    }
    if (d.fInX) {
        t.c_iflag |= IXOFF;
    }
    t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
    const speed_t code = speed_code(d.BaudRate);
    if (code != 0) {
        ::cfsetispeed(&t, code);
        ::cfsetospeed(&t, code);
    }
    return t;
}

}  // namespace

RealCommPort::RealCommPort(UniqueFd fd, bool has_modem)
    : fd_(std::move(fd)), has_modem_(has_modem) {
    has_counters_ = read_counters(fd_.get(), &error_base_);
    event_base_ = error_base_;
    queue_in_ = queue_out_ = 4096;
}

RealCommPort::~RealCommPort() {
    close();
}

bool RealCommPort::fail(DWORD error) {
    error_ = error;
    return false;
}

bool RealCommPort::SetupComm(DWORD in_queue, DWORD out_queue) {
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    queue_in_ = in_queue;
    queue_out_ = out_queue;
    return true;
}

bool RealCommPort::GetCommState(DCB* dcb) {
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    termios t{};
    if (::tcgetattr(fd_.get(), &t) != 0) {
        return fail(comm_line_error(errno));
    }
    DCB d = dcb_;
    d.DCBlength = sizeof(DCB);
    std::uint32_t rate = 0;
    if (detail::get_speed(fd_.get(), &rate)) {
        d.BaudRate = rate;
    }
    switch (t.c_cflag & CSIZE) {
        case CS5:
            d.ByteSize = 5;
            break;
        case CS6:
            d.ByteSize = 6;
            break;
        case CS7:
            d.ByteSize = 7;
            break;
        default:
            d.ByteSize = 8;
            break;
    }
    if (!(t.c_cflag & PARENB)) {
        d.Parity = NOPARITY;
    } else if (t.c_cflag & CMSPAR) {
        d.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
        d.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    if (t.c_cflag & CSTOPB) {
        d.StopBits = d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    } else {
        d.StopBits = ONESTOPBIT;
    }
    d.fBinary = 1;
    d.fParity = (t.c_iflag & INPCK) ? 1 : 0;
    d.fOutX = (t.c_iflag & IXON) ? 1 : 0;
    d.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    d.XonChar = static_cast<char>(t.c_cc[VSTART]);
    d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    if (t.c_cflag & CRTSCTS) {
        if (!dcb_.fOutxCtsFlow && dcb_.fRtsControl != RTS_CONTROL_HANDSHAKE) {
            d.fOutxCtsFlow = 1;
            d.fRtsControl = RTS_CONTROL_HANDSHAKE;
        }
    } else {
        d.fOutxCtsFlow = 0;
        if (d.fRtsControl == RTS_CONTROL_HANDSHAKE) {
            d.fRtsControl = RTS_CONTROL_ENABLE;
        }
    }
    *dcb = d;
    return true;
}

bool RealCommPort::SetCommState(const DCB* dcb) {
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    const DCB& d = *dcb;
    if (!line_can_take(d, has_modem_)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    termios before{};
    if (::tcgetattr(fd_.get(), &before) != 0) {
        return fail(comm_line_error(errno));
    }
    std::uint32_t rate_before = 0;
    detail::get_speed(fd_.get(), &rate_before);
    if (!apply_termios(d, termios_for(d, before), before, rate_before)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    apply_modem_lines(d);
    dcb_ = d;
    dcb_.DCBlength = sizeof(DCB);
    return true;
}

bool RealCommPort::apply_termios(const DCB& d, const termios& t, const termios& before,
                                 std::uint32_t rate_before) {
    const bool custom = speed_code(d.BaudRate) == 0;
    bool applied = ::tcsetattr(fd_.get(), TCSANOW, &t) == 0;
    if (applied && custom) {
        applied = detail::set_custom_speed(fd_.get(), d.BaudRate);
    }

    // Read back: anything the driver changed or dropped is a refusal.
    termios got{};
    std::uint32_t rate = 0;
    bool took = applied && ::tcgetattr(fd_.get(), &got) == 0 &&
                detail::get_speed(fd_.get(), &rate) && rate_matches(d.BaudRate, rate);
    const tcflag_t imask = INPCK | IXON | IXOFF;
    if (took) {
        took = (got.c_cflag & FRAME_FLAGS) == (t.c_cflag & FRAME_FLAGS) &&
               (got.c_iflag & imask) == (t.c_iflag & imask) && got.c_cc[VSTART] == t.c_cc[VSTART] &&
               got.c_cc[VSTOP] == t.c_cc[VSTOP];
    }
    if (!took) {
        ::tcsetattr(fd_.get(), TCSANOW, &before);
        if (rate_before != 0 && speed_code(rate_before) == 0) {
            detail::set_custom_speed(fd_.get(), rate_before);
        }
    }
    return took;
}

void RealCommPort::apply_modem_lines(const DCB& d) {
    if (!has_modem_) {
        return;
    }
    int dtr = TIOCM_DTR;
    ioctl_retry(fd_.get(), d.fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtr);
    if (d.fRtsControl != RTS_CONTROL_HANDSHAKE) {
        int rts = TIOCM_RTS;
        ioctl_retry(fd_.get(), d.fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &rts);
    }
}

bool RealCommPort::GetCommTimeouts(COMMTIMEOUTS* timeouts) {
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    *timeouts = timeouts_;
    return true;
}

bool RealCommPort::SetCommTimeouts(const COMMTIMEOUTS* timeouts) {
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    const COMMTIMEOUTS& t = *timeouts;
    // Both read totals MAXDWORD is only meaningful with the interval MAXDWORD.
    if (t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant == MAXDWORD) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    timeouts_ = t;
    return true;
}

bool RealCommPort::PurgeComm(DWORD flags) {
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
    const bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
    if (!rx && !tx) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    int which = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
    if (::tcflush(fd_.get(), which) != 0) {
        return fail(comm_line_error(errno));
    }
    return true;
}

int RealCommPort::poll_fd() const {
    return fd_.get();
}

void RealCommPort::close() {
    if (fd_) {
        ioctl_retry(fd_.get(), TIOCNXCL, nullptr);
        ::flock(fd_.get(), LOCK_UN);
        fd_.reset();
    }
}

DWORD RealCommPort::last_error() const {
    return error_;
}

}  // namespace varolan::serial::detail
