// The real port's properties, found by asking the driver: every rate, data
// size, stop-bit and parity setting is set and read back, then the line is put
// back as it was.
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "platform/serial/real_port.h"
#include "platform/serial/termios2_speed.h"

namespace varolan::serial::detail {

namespace {

// The capability and settable-parameter masks that follow from what was probed.
void set_capabilities(COMMPROP* p, bool any_parity, bool rtscts, bool has_modem) {
    p->dwProvCapabilities =
        PCF_XONXOFF | PCF_SETXCHAR | PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS | PCF_SPECIALCHARS;
    if (any_parity) {
        p->dwProvCapabilities |= PCF_PARITY_CHECK;
    }
    if (has_modem) {
        p->dwProvCapabilities |= PCF_DTRDSR | PCF_RLSD;
    }
    if (rtscts) {
        p->dwProvCapabilities |= PCF_RTSCTS;
    }

    auto several = [](DWORD bits) { return (bits & (bits - 1)) != 0; };
    if (several(p->dwSettableBaud & ~BAUD_USER)) {
        p->dwSettableParams |= SP_BAUD;
    }
    if (several(p->wSettableData)) {
        p->dwSettableParams |= SP_DATABITS;
    }
    if (several(p->wSettableStopParity & (STOPBITS_10 | STOPBITS_15 | STOPBITS_20))) {
        p->dwSettableParams |= SP_STOPBITS;
    }
    if (any_parity) {
        p->dwSettableParams |= SP_PARITY | SP_PARITY_CHECK;
    }
    if (has_modem) {
        p->dwSettableParams |= SP_HANDSHAKING | SP_RLSD;
    }
}

}  // namespace

bool RealCommPort::GetCommProperties(COMMPROP* properties) {
    if (!fd_) {
        return fail(ERROR_INVALID_HANDLE);
    }
    termios saved{};
    if (::tcgetattr(fd_.get(), &saved) != 0) {
        return fail(comm_line_error(errno));
    }
    std::uint32_t saved_rate = 0;
    detail::get_speed(fd_.get(), &saved_rate);

    COMMPROP p;
    p.dwCurrentTxQueue = queue_out_;
    p.dwCurrentRxQueue = queue_in_;
    serial_struct info{};
    const bool uart = ioctl_retry(fd_.get(), TIOCGSERIAL, &info) == 0 && info.type != 0;
    p.dwProvSubType = (uart || has_modem_) ? PST_RS232 : PST_UNSPECIFIED;

    termios base = saved;
    make_raw(base);
    base.c_cflag &= ~FRAME_FLAGS;
    base.c_cflag |= CS8;
    ::cfsetispeed(&base, B9600);
    ::cfsetospeed(&base, B9600);

    const DWORD highest = probe_rates(base, uart, info.baud_base, &p);
    p.dwMaxBaud = (p.dwSettableBaud & BAUD_USER) ? BAUD_USER : highest;
    const bool any_parity = probe_frames(base, &p);
    const bool rtscts = has_modem_ && takes_frame(base, CS8 | CRTSCTS);
    restore_line(saved, saved_rate);

    set_capabilities(&p, any_parity, rtscts, has_modem_);
    *properties = p;
    return true;
}

// Rates: the driver's clock bounds them; each is set and read back. Returns
// the BAUD_ bit of the highest rate taken.
DWORD RealCommPort::probe_rates(const termios& base, bool uart, int baud_base, COMMPROP* p) {
    DWORD highest = 0;
    for (const auto& r : design_rates()) {
        if (uart && baud_base > 0 && r.rate > static_cast<DWORD>(baud_base)) {
            continue;
        }
        bool ok;
        if (r.code != 0) {
            termios t = base;
            ::cfsetispeed(&t, r.code);
            ::cfsetospeed(&t, r.code);
            ok = ::tcsetattr(fd_.get(), TCSANOW, &t) == 0;
        } else {
            ok = ::tcsetattr(fd_.get(), TCSANOW, &base) == 0 &&
                 detail::set_custom_speed(fd_.get(), r.rate);
        }
        std::uint32_t got = 0;
        if (ok && detail::get_speed(fd_.get(), &got) && rate_matches(r.rate, got)) {
            p->dwSettableBaud |= r.bit;
            highest = r.bit;
            if (r.code == 0) {
                p->dwSettableBaud |= BAUD_USER;
            }
        }
    }
    return highest;
}

// Whether the driver keeps the frame flags `cflag` when they are set.
bool RealCommPort::takes_frame(const termios& base, tcflag_t cflag) {
    termios t = base;
    t.c_cflag &= ~FRAME_FLAGS;
    t.c_cflag |= cflag;
    termios got{};
    return ::tcsetattr(fd_.get(), TCSANOW, &t) == 0 && ::tcgetattr(fd_.get(), &got) == 0 &&
           (got.c_cflag & FRAME_FLAGS) == (t.c_cflag & FRAME_FLAGS);
}

// Data sizes, stop bits and parities; true when any parity is taken.
bool RealCommPort::probe_frames(const termios& base, COMMPROP* p) {
    static constexpr struct {
        tcflag_t flag;
        WORD bit;
    } SIZES[] = {{CS5, DATABITS_5}, {CS6, DATABITS_6}, {CS7, DATABITS_7}, {CS8, DATABITS_8}};
    for (const auto& s : SIZES) {
        if (takes_frame(base, s.flag)) {
            p->wSettableData |= s.bit;
        }
    }
    if (takes_frame(base, CS8)) {
        p->wSettableStopParity |= STOPBITS_10 | PARITY_NONE;
    }
    if (takes_frame(base, CS8 | CSTOPB)) {
        p->wSettableStopParity |= STOPBITS_20;
    }
    if ((p->wSettableData & DATABITS_5) && takes_frame(base, CS5 | CSTOPB)) {
        p->wSettableStopParity |= STOPBITS_15;
    }
    static constexpr struct {
        tcflag_t flag;
        WORD bit;
    } PARITIES[] = {{PARENB | PARODD, PARITY_ODD},
                    {PARENB, PARITY_EVEN},
                    {PARENB | CMSPAR | PARODD, PARITY_MARK},
                    {PARENB | CMSPAR, PARITY_SPACE}};
    bool any_parity = false;
    for (const auto& s : PARITIES) {
        if (takes_frame(base, CS8 | s.flag) || takes_frame(base, CS7 | s.flag)) {
            p->wSettableStopParity |= s.bit;
            any_parity = true;
        }
    }
    return any_parity;
}

// Back to the line as it was before the probes.
void RealCommPort::restore_line(const termios& saved, std::uint32_t saved_rate) {
    ::tcsetattr(fd_.get(), TCSANOW, &saved);
    if (saved_rate != 0 && speed_code(saved_rate) == 0) {
        detail::set_custom_speed(fd_.get(), saved_rate);
    }
}

}  // namespace varolan::serial::detail
