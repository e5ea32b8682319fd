#include "platform/serial/comm.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/core/clock.h"
#include "platform/core/fd.h"
#include "platform/serial/termios2_speed.h"

namespace varolan::serial {

namespace {

struct RateBit {
    DWORD rate;
    DWORD bit;
    speed_t code;  // 0: no fixed constant, set through termios2
};

// Every rate the design names, with its BAUD_ bit and fixed speed constant.
constexpr RateBit kRates[] = {
    {75, BAUD_075, B75},      {110, BAUD_110, B110},       {134, BAUD_134_5, B134},
    {150, BAUD_150, B150},    {300, BAUD_300, B300},       {600, BAUD_600, B600},
    {1200, BAUD_1200, B1200}, {1800, BAUD_1800, B1800},    {2400, BAUD_2400, B2400},
    {4800, BAUD_4800, B4800}, {7200, BAUD_7200, 0},        {9600, BAUD_9600, B9600},
    {14400, BAUD_14400, 0},   {19200, BAUD_19200, B19200}, {38400, BAUD_38400, B38400},
    {56000, BAUD_56K, 0},     {57600, BAUD_57600, B57600}, {115200, BAUD_115200, B115200},
    {128000, BAUD_128K, 0},
};

// Fixed constants beyond the design's list, so other standard rates avoid termios2.
constexpr struct {
    DWORD rate;
    speed_t code;
} kMoreCodes[] = {{50, B50},         {200, B200},         {230400, B230400},
                  {460800, B460800}, {500000, B500000},   {576000, B576000},
                  {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}};

speed_t speed_code(DWORD rate) {
    for (const auto& r : kRates) {
        if (r.rate == rate)
            return r.code;
    }
    for (const auto& r : kMoreCodes) {
        if (r.rate == rate)
            return r.code;
    }
    return 0;
}

// A driver may land near a rate rather than on it; within 1 % counts as taken,
// as a UART's divisor allows.
bool rate_matches(DWORD wanted, std::uint32_t got) {
    if (wanted == 0)
        return false;
    std::uint64_t diff = wanted > got ? wanted - got : got - wanted;
    return diff * 100 <= wanted;
}

int ioctl_retry(int fd, unsigned long request, void* arg) {
    int rc;
    do {
        rc = ::ioctl(fd, request, arg);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

DWORD error_from_errno(int e) {
    switch (e) {
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
        case ENOTTY:
            return ERROR_INVALID_PARAMETER;
        case EIO:
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case EAGAIN:
            return ERROR_TIMEOUT;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// Waits for `events` on fd for at most `timeout_ms` real milliseconds
// (negative: without limit). Returns revents, 0 on timeout, -1 on failure.
int wait_fd(int fd, short events, std::int64_t timeout_ms) {
    std::uint64_t deadline = timeout_ms < 0 ? 0 : monotonic_ms() + timeout_ms;
    for (;;) {
        int wait = -1;
        if (timeout_ms >= 0) {
            std::uint64_t now = monotonic_ms();
            wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
        }
        pollfd p{fd, events, 0};
        int rc = ::poll(&p, 1, wait);
        if (rc > 0)
            return p.revents;
        if (rc == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

void pause_real(int ms) {
    ::poll(nullptr, 0, ms);
}

struct Counters {
    int cts = 0, dsr = 0, rng = 0, dcd = 0;
    int frame = 0, overrun = 0, parity = 0, brk = 0, buf_overrun = 0;
};

bool read_counters(int fd, Counters* c) {
    serial_icounter_struct ic{};
    if (ioctl_retry(fd, TIOCGICOUNT, &ic) != 0)
        return false;
    c->cts = ic.cts;
    c->dsr = ic.dsr;
    c->rng = ic.rng;
    c->dcd = ic.dcd;
    c->frame = ic.frame;
    c->overrun = ic.overrun;
    c->parity = ic.parity;
    c->brk = ic.brk;
    c->buf_overrun = ic.buf_overrun;
    return true;
}

DWORD error_bits(const Counters& before, const Counters& after) {
    DWORD e = 0;
    if (after.brk != before.brk)
        e |= CE_BREAK;
    if (after.frame != before.frame)
        e |= CE_FRAME;
    if (after.overrun != before.overrun)
        e |= CE_OVERRUN;
    if (after.parity != before.parity)
        e |= CE_RXPARITY;
    if (after.buf_overrun != before.buf_overrun)
        e |= CE_RXOVER;
    return e;
}

DWORD modem_bits(int tiocm) {
    DWORD ms = 0;
    if (tiocm & TIOCM_CTS)
        ms |= MS_CTS_ON;
    if (tiocm & TIOCM_DSR)
        ms |= MS_DSR_ON;
    if (tiocm & TIOCM_RNG)
        ms |= MS_RING_ON;
    if (tiocm & TIOCM_CAR)
        ms |= MS_RLSD_ON;
    return ms;
}

constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

// Raw line: no echo, no line editing, no signals, no translation; breaks and
// parity errors arrive as NUL bytes and are counted by the driver.
void make_raw(termios& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXANY | IUCLC | IMAXBEL | IGNPAR);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK);
    t.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

class RealCommPort final : public CommPort {
  public:
    RealCommPort(UniqueFd fd, bool has_modem) : fd_(std::move(fd)), has_modem_(has_modem) {
        has_counters_ = read_counters(fd_.get(), &error_base_);
        event_base_ = error_base_;
        queue_in_ = queue_out_ = 4096;
    }
    ~RealCommPort() override { close(); }

    bool SetupComm(DWORD in_queue, DWORD out_queue) override {
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
        queue_in_ = in_queue;
        queue_out_ = out_queue;
        return true;
    }

    bool GetCommState(DCB* dcb) override {
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
        termios t{};
        if (::tcgetattr(fd_.get(), &t) != 0)
            return fail(error_from_errno(errno));
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
            if (d.fRtsControl == RTS_CONTROL_HANDSHAKE)
                d.fRtsControl = RTS_CONTROL_ENABLE;
        }
        *dcb = d;
        return true;
    }

    bool SetCommState(const DCB* dcb) override {
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
        const DCB& d = *dcb;
        // What no line here can do.
        if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY ||
            d.StopBits > TWOSTOPBITS || (d.StopBits == ONE5STOPBITS && d.ByteSize != 5) ||
            (d.StopBits == TWOSTOPBITS && d.ByteSize == 5) ||
            d.fDtrControl > DTR_CONTROL_HANDSHAKE || d.fRtsControl > RTS_CONTROL_HANDSHAKE ||
            ((d.fOutX || d.fInX) && d.XonChar == d.XoffChar)) {
            return fail(ERROR_INVALID_PARAMETER);
        }
        // Handshakes need modem lines.
        if (!has_modem_ &&
            (d.fOutxCtsFlow || d.fOutxDsrFlow || d.fDtrControl == DTR_CONTROL_HANDSHAKE ||
             d.fRtsControl == RTS_CONTROL_HANDSHAKE)) {
            return fail(ERROR_INVALID_PARAMETER);
        }
        termios before{};
        if (::tcgetattr(fd_.get(), &before) != 0)
            return fail(error_from_errno(errno));
        std::uint32_t rate_before = 0;
        detail::get_speed(fd_.get(), &rate_before);

        termios t = before;
        make_raw(t);
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
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
        if (d.StopBits != ONESTOPBIT)
            t.c_cflag |= CSTOPB;
        // The driver's one hardware handshake covers both directions.
        if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE)
            t.c_cflag |= CRTSCTS;
        t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF);
        if (d.fParity)
            t.c_iflag |= INPCK;
        if (d.fOutX)
            t.c_iflag |= IXON;
        if (d.fInX)
            t.c_iflag |= IXOFF;
        t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
        t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
        const speed_t code = speed_code(d.BaudRate);
        if (code != 0) {
            ::cfsetispeed(&t, code);
            ::cfsetospeed(&t, code);
        }
        bool applied = ::tcsetattr(fd_.get(), TCSANOW, &t) == 0;
        if (applied && code == 0)
            applied = detail::set_custom_speed(fd_.get(), d.BaudRate);

        // Read back: anything the driver changed or dropped is a refusal.
        termios got{};
        std::uint32_t rate = 0;
        bool took = applied && ::tcgetattr(fd_.get(), &got) == 0 &&
                    detail::get_speed(fd_.get(), &rate) && rate_matches(d.BaudRate, rate);
        const tcflag_t cmask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
        const tcflag_t imask = INPCK | IXON | IXOFF;
        if (took) {
            took = (got.c_cflag & cmask) == (t.c_cflag & cmask) &&
                   (got.c_iflag & imask) == (t.c_iflag & imask) &&
                   got.c_cc[VSTART] == t.c_cc[VSTART] && got.c_cc[VSTOP] == t.c_cc[VSTOP];
        }
        if (!took) {
            ::tcsetattr(fd_.get(), TCSANOW, &before);
            if (rate_before != 0 && speed_code(rate_before) == 0) {
                detail::set_custom_speed(fd_.get(), rate_before);
            }
            return fail(ERROR_INVALID_PARAMETER);
        }
        if (has_modem_) {
            int dtr = TIOCM_DTR;
            ioctl_retry(fd_.get(), d.fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS,
                        &dtr);
            if (d.fRtsControl != RTS_CONTROL_HANDSHAKE) {
                int rts = TIOCM_RTS;
                ioctl_retry(fd_.get(), d.fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS,
                            &rts);
            }
        }
        dcb_ = d;
        dcb_.DCBlength = sizeof(DCB);
        return true;
    }

    bool GetCommTimeouts(COMMTIMEOUTS* timeouts) override {
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
        *timeouts = timeouts_;
        return true;
    }

    bool SetCommTimeouts(const COMMTIMEOUTS* timeouts) override {
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
        const COMMTIMEOUTS& t = *timeouts;
        // Both read totals MAXDWORD is only meaningful with the interval MAXDWORD.
        if (t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant == MAXDWORD) {
            return fail(ERROR_INVALID_PARAMETER);
        }
        timeouts_ = t;
        return true;
    }

    bool SetCommMask(DWORD event_mask) override {
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
        mask_.store(event_mask);
        if (has_counters_)
            read_counters(fd_.get(), &event_base_);
        return true;
    }

    bool GetCommMask(DWORD* event_mask) override {
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
        *event_mask = mask_.load();
        return true;
    }

    bool WaitCommEvent(DWORD* event) override {
        *event = 0;
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
        const DWORD mask = mask_.load();
        if (mask == 0)
            return fail(ERROR_INVALID_PARAMETER);
        const DWORD modem = mask & kModemEvents;
        if (!has_modem_ && (mask & ~modem) == 0)
            return fail(ERROR_NOT_SUPPORTED);
        if ((mask & ~modem) == 0 && has_counters_) {
            return wait_modem_only(modem, event);
        }
        return wait_polling(mask, event);
    }

    bool GetCommModemStatus(DWORD* modem_status) override {
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
        *modem_status = 0;
        int bits = 0;
        if (!has_modem_)
            return true;  // a line without modem signals reports none
        if (ioctl_retry(fd_.get(), TIOCMGET, &bits) != 0)
            return fail(error_from_errno(errno));
        *modem_status = modem_bits(bits);
        return true;
    }

    bool ClearCommError(DWORD* errors, COMSTAT* stat) override {
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
        DWORD e = 0;
        if (has_counters_) {
            Counters now;
            if (read_counters(fd_.get(), &now)) {
                e = error_bits(error_base_, now);
                error_base_ = now;
            }
        }
        if (errors != nullptr)
            *errors = e;
        if (stat != nullptr) {
            *stat = COMSTAT{};
            int n = 0;
            if (ioctl_retry(fd_.get(), TIOCINQ, &n) == 0 && n > 0)
                stat->cbInQue = n;
            n = 0;
            if (ioctl_retry(fd_.get(), TIOCOUTQ, &n) == 0 && n > 0)
                stat->cbOutQue = n;
            int bits = 0;
            if (has_modem_ && ioctl_retry(fd_.get(), TIOCMGET, &bits) == 0) {
                termios t{};
                if (::tcgetattr(fd_.get(), &t) == 0 && (t.c_cflag & CRTSCTS) &&
                    !(bits & TIOCM_CTS)) {
                    stat->fCtsHold = 1;
                }
                if (dcb_.fOutxDsrFlow && !(bits & TIOCM_DSR))
                    stat->fDsrHold = 1;
            }
        }
        return true;
    }

    bool PurgeComm(DWORD flags) override {
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
        const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
        const bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
        if (!rx && !tx)
            return fail(ERROR_INVALID_PARAMETER);
        int which = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
        if (::tcflush(fd_.get(), which) != 0)
            return fail(error_from_errno(errno));
        return true;
    }

    bool GetCommProperties(COMMPROP* properties) override {
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
        termios saved{};
        if (::tcgetattr(fd_.get(), &saved) != 0)
            return fail(error_from_errno(errno));
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
        base.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        base.c_cflag |= CS8;
        ::cfsetispeed(&base, B9600);
        ::cfsetospeed(&base, B9600);

        // Rates: the driver's clock bounds them; each is set and read back.
        DWORD highest = 0;
        for (const auto& r : kRates) {
            if (uart && info.baud_base > 0 && r.rate > static_cast<DWORD>(info.baud_base))
                continue;
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
                p.dwSettableBaud |= r.bit;
                highest = r.bit;
                if (r.code == 0)
                    p.dwSettableBaud |= BAUD_USER;
            }
        }
        p.dwMaxBaud = (p.dwSettableBaud & BAUD_USER) ? BAUD_USER : highest;

        auto takes = [&](tcflag_t cflag) {
            termios t = base;
            t.c_cflag &=
                ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
            t.c_cflag |= cflag;
            termios got{};
            const tcflag_t m = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
            return ::tcsetattr(fd_.get(), TCSANOW, &t) == 0 && ::tcgetattr(fd_.get(), &got) == 0 &&
                   (got.c_cflag & m) == (t.c_cflag & m);
        };
        static constexpr struct {
            tcflag_t flag;
            WORD bit;
        } kSizes[] = {{CS5, DATABITS_5}, {CS6, DATABITS_6}, {CS7, DATABITS_7}, {CS8, DATABITS_8}};
        for (const auto& s : kSizes) {
            if (takes(s.flag))
                p.wSettableData |= s.bit;
        }
        if (takes(CS8))
            p.wSettableStopParity |= STOPBITS_10 | PARITY_NONE;
        if (takes(CS8 | CSTOPB))
            p.wSettableStopParity |= STOPBITS_20;
        if ((p.wSettableData & DATABITS_5) && takes(CS5 | CSTOPB)) {
            p.wSettableStopParity |= STOPBITS_15;
        }
        static constexpr struct {
            tcflag_t flag;
            WORD bit;
        } kParities[] = {{PARENB | PARODD, PARITY_ODD},
                         {PARENB, PARITY_EVEN},
                         {PARENB | CMSPAR | PARODD, PARITY_MARK},
                         {PARENB | CMSPAR, PARITY_SPACE}};
        bool any_parity = false;
        for (const auto& s : kParities) {
            if (takes(CS8 | s.flag) || takes(CS7 | s.flag)) {
                p.wSettableStopParity |= s.bit;
                any_parity = true;
            }
        }
        const bool rtscts = has_modem_ && takes(CS8 | CRTSCTS);

        // Back to the line as it was.
        ::tcsetattr(fd_.get(), TCSANOW, &saved);
        if (saved_rate != 0 && speed_code(saved_rate) == 0) {
            detail::set_custom_speed(fd_.get(), saved_rate);
        }

        p.dwProvCapabilities =
            PCF_XONXOFF | PCF_SETXCHAR | PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS | PCF_SPECIALCHARS;
        if (any_parity)
            p.dwProvCapabilities |= PCF_PARITY_CHECK;
        if (has_modem_)
            p.dwProvCapabilities |= PCF_DTRDSR | PCF_RLSD;
        if (rtscts)
            p.dwProvCapabilities |= PCF_RTSCTS;

        auto several = [](DWORD bits) { return (bits & (bits - 1)) != 0; };
        if (several(p.dwSettableBaud & ~BAUD_USER))
            p.dwSettableParams |= SP_BAUD;
        if (several(p.wSettableData))
            p.dwSettableParams |= SP_DATABITS;
        if (several(p.wSettableStopParity & (STOPBITS_10 | STOPBITS_15 | STOPBITS_20))) {
            p.dwSettableParams |= SP_STOPBITS;
        }
        if (any_parity)
            p.dwSettableParams |= SP_PARITY | SP_PARITY_CHECK;
        if (has_modem_)
            p.dwSettableParams |= SP_HANDSHAKING | SP_RLSD;
        *properties = p;
        return true;
    }

    bool EscapeCommFunction(DWORD function) override {
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
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
                    return fail(error_from_errno(errno));
                }
                return true;
            case CLRBREAK:
                if (ioctl_retry(fd_.get(), TIOCCBRK, nullptr) != 0) {
                    return fail(error_from_errno(errno));
                }
                return true;
            case SETXON:
                return ::tcflow(fd_.get(), TCOON) == 0 || fail(error_from_errno(errno));
            case SETXOFF:
                return ::tcflow(fd_.get(), TCOOFF) == 0 || fail(error_from_errno(errno));
            default:
                return fail(ERROR_INVALID_PARAMETER);
        }
        if (!has_modem_)
            return fail(ERROR_NOT_SUPPORTED);
        if (ioctl_retry(fd_.get(), request, &bits) != 0)
            return fail(error_from_errno(errno));
        return true;
    }

    bool ReadFile(void* buffer, DWORD count, DWORD* done) override {
        *done = 0;
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
        if (count == 0)
            return true;
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
        const std::uint64_t total =
            static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
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
            if (rev < 0)
                return fail(error_from_errno(errno));
            if (rev == 0)
                break;  // time-out: success with what was read
            if (!read_some(out, count, done))
                return false;
        }
        return true;
    }

    bool WriteFile(const void* buffer, DWORD count, DWORD* done) override {
        *done = 0;
        if (!fd_)
            return fail(ERROR_INVALID_HANDLE);
        const auto* in = static_cast<const unsigned char*>(buffer);
        const COMMTIMEOUTS t = timeouts_;
        const bool has_total =
            t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0;
        const std::uint64_t deadline =
            monotonic_ms() + static_cast<std::uint64_t>(t.WriteTotalTimeoutMultiplier) * count +
            t.WriteTotalTimeoutConstant;
        auto remaining = [&]() -> std::int64_t {
            if (!has_total)
                return -1;
            std::uint64_t now = monotonic_ms();
            return now >= deadline ? 0 : static_cast<std::int64_t>(deadline - now);
        };
        while (*done < count) {
            // DSR output flow: the driver has none, so writes wait for DSR here.
            if (dcb_.fOutxDsrFlow && has_modem_) {
                for (;;) {
                    int bits = 0;
                    if (ioctl_retry(fd_.get(), TIOCMGET, &bits) != 0) {
                        return fail(error_from_errno(errno));
                    }
                    if (bits & TIOCM_DSR)
                        break;
                    std::int64_t left = remaining();
                    if (left == 0)
                        return fail(ERROR_TIMEOUT);
                    pause_real(left < 0 ? 10 : static_cast<int>(std::min<std::int64_t>(left, 10)));
                }
            }
            int rev = wait_fd(fd_.get(), POLLOUT, remaining());
            if (rev < 0)
                return fail(error_from_errno(errno));
            if (rev == 0)
                return fail(ERROR_TIMEOUT);
            if (rev & (POLLERR | POLLNVAL))
                return fail(ERROR_BROKEN_PIPE);
            // Without a DSR gate the whole rest goes to the driver at once;
            // with it, a small piece at a time so the gate is looked at often.
            std::size_t piece = count - *done;
            if (dcb_.fOutxDsrFlow && has_modem_ && piece > 16)
                piece = 16;
            ssize_t n = ::write(fd_.get(), in + *done, piece);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                return fail(error_from_errno(errno));
            }
            *done += static_cast<DWORD>(n);
        }
        return true;
    }

    int poll_fd() const override { return fd_.get(); }

    void close() override {
        if (fd_) {
            ioctl_retry(fd_.get(), TIOCNXCL, nullptr);
            ::flock(fd_.get(), LOCK_UN);
            fd_.reset();
        }
    }

    DWORD last_error() const override { return error_; }

  private:
    bool fail(DWORD error) {
        error_ = error;
        return false;
    }

    // One read of what the driver holds; false (broken line) at end of file.
    bool read_some(unsigned char* out, DWORD count, DWORD* done) {
        for (;;) {
            ssize_t n = ::read(fd_.get(), out + *done, count - *done);
            if (n > 0) {
                *done += static_cast<DWORD>(n);
                return true;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return true;
            return fail(n == 0 ? ERROR_BROKEN_PIPE : error_from_errno(errno));
        }
    }

    bool read_available(unsigned char* out, DWORD count, DWORD* done, DWORD first_wait_ms) {
        int rev = wait_fd(fd_.get(), POLLIN, first_wait_ms);
        if (rev < 0)
            return fail(error_from_errno(errno));
        while (rev != 0 && *done < count) {
            if (!read_some(out, count, done))
                return false;
            rev = wait_fd(fd_.get(), POLLIN, 0);
            if (rev < 0)
                return fail(error_from_errno(errno));
        }
        return true;
    }

    // Modem events only: the driver wakes us when a watched line changes.
    bool wait_modem_only(DWORD modem_mask, DWORD* event) {
        int watch = 0;
        if (modem_mask & EV_CTS)
            watch |= TIOCM_CTS;
        if (modem_mask & EV_DSR)
            watch |= TIOCM_DSR;
        if (modem_mask & EV_RLSD)
            watch |= TIOCM_CAR;
        if (modem_mask & EV_RING)
            watch |= TIOCM_RNG;
        for (;;) {
            Counters now;
            if (!read_counters(fd_.get(), &now))
                return fail(error_from_errno(errno));
            DWORD ev = modem_events(event_base_, now) & modem_mask;
            event_base_ = now;
            if (ev != 0) {
                *event = ev;
                return true;
            }
            int rc = ::ioctl(fd_.get(), TIOCMIWAIT, watch);
            if (rc != 0 && errno != EINTR)
                return fail(error_from_errno(errno));
        }
    }

    // Any mix of events: watch the input, the counters and the lines in short
    // real-time slices.
    bool wait_polling(DWORD mask, DWORD* event) {
        int last_bits = 0;
        if (has_modem_)
            ioctl_retry(fd_.get(), TIOCMGET, &last_bits);
        for (;;) {
            DWORD ev = 0;
            int rev = wait_fd(fd_.get(), POLLIN, 20);
            if (rev < 0)
                return fail(error_from_errno(errno));
            if ((rev & POLLIN) && (mask & EV_RXCHAR))
                ev |= EV_RXCHAR;
            if (rev & (POLLHUP | POLLERR | POLLNVAL)) {
                if (ev == 0)
                    return fail(ERROR_BROKEN_PIPE);
            }
            if (has_counters_) {
                Counters now;
                if (read_counters(fd_.get(), &now)) {
                    if (now.brk != event_base_.brk)
                        ev |= EV_BREAK;
                    if (error_bits(event_base_, now) & ~CE_BREAK)
                        ev |= EV_ERR;
                    ev |= modem_events(event_base_, now);
                    event_base_ = now;
                }
            } else if (has_modem_) {
                int bits = 0;
                if (ioctl_retry(fd_.get(), TIOCMGET, &bits) == 0) {
                    int changed = bits ^ last_bits;
                    if (changed & TIOCM_CTS)
                        ev |= EV_CTS;
                    if (changed & TIOCM_DSR)
                        ev |= EV_DSR;
                    if (changed & TIOCM_CAR)
                        ev |= EV_RLSD;
                    if ((changed & TIOCM_RNG) && !(bits & TIOCM_RNG))
                        ev |= EV_RING;
                    last_bits = bits;
                }
            }
            ev &= mask;
            if (ev != 0) {
                *event = ev;
                return true;
            }
            // Input that nobody waits for would keep poll() ready: pace the loop.
            if ((rev & POLLIN) && !(mask & EV_RXCHAR))
                pause_real(20);
        }
    }

    static DWORD modem_events(const Counters& a, const Counters& b) {
        DWORD ev = 0;
        if (a.cts != b.cts)
            ev |= EV_CTS;
        if (a.dsr != b.dsr)
            ev |= EV_DSR;
        if (a.dcd != b.dcd)
            ev |= EV_RLSD;
        if (a.rng != b.rng)
            ev |= EV_RING;
        return ev;
    }

    UniqueFd fd_;
    bool has_modem_ = false;
    bool has_counters_ = false;
    DCB dcb_{};
    COMMTIMEOUTS timeouts_{};
    std::atomic<DWORD> mask_{0};
    Counters error_base_;  // counters at the last ClearCommError
    Counters event_base_;  // counters at SetCommMask or the last event
    DWORD queue_in_ = 0;
    DWORD queue_out_ = 0;
    DWORD error_ = ERROR_SUCCESS;
};

class RealCommOpener final : public CommOpener {
  public:
    DWORD open(const char* com_name_or_path, std::unique_ptr<CommPort>& out) override {
        out.reset();
        std::string path = comm_device_path(com_name_or_path);
        if (path.empty())
            return ERROR_FILE_NOT_FOUND;
        int raw;
        do {
            raw = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        } while (raw < 0 && errno == EINTR);
        if (raw < 0) {
            switch (errno) {
                case ENOENT:
                case ENODEV:
                case ENXIO:
                case ENOTDIR:
                    return ERROR_FILE_NOT_FOUND;
                case EACCES:
                case EPERM:
                case EBUSY:
                    return ERROR_ACCESS_DENIED;
                default:
                    return ERROR_GEN_FAILURE;
            }
        }
        UniqueFd fd(raw);
        if (!::isatty(fd.get()))
            return ERROR_NOT_SUPPORTED;
        // Exclusive: an advisory lock every opener here takes, and the tty's own
        // exclusive mode against other programs.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            return errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE;
        }
        ioctl_retry(fd.get(), TIOCEXCL, nullptr);
        int flags = ::fcntl(fd.get(), F_GETFL);
        if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
            return ERROR_GEN_FAILURE;
        }
        termios t{};
        if (::tcgetattr(fd.get(), &t) != 0)
            return ERROR_GEN_FAILURE;
        make_raw(t);
        ::tcsetattr(fd.get(), TCSANOW, &t);
        int bits = 0;
        const bool has_modem = ioctl_retry(fd.get(), TIOCMGET, &bits) == 0;
        out = std::make_unique<RealCommPort>(std::move(fd), has_modem);
        return ERROR_SUCCESS;
    }
};

RealCommOpener real_opener;
std::atomic<CommOpener*> current_opener{nullptr};

}  // namespace

DWORD baud_bit(DWORD rate) {
    for (const auto& r : kRates) {
        if (r.rate == rate)
            return r.bit;
    }
    return 0;
}

CommOpener& comm_opener() {
    CommOpener* o = current_opener.load(std::memory_order_acquire);
    return o != nullptr ? *o : real_opener;
}

CommOpener* set_comm_opener(CommOpener* opener) {
    CommOpener* old = current_opener.exchange(opener, std::memory_order_acq_rel);
    return old != nullptr ? old : &real_opener;
}

std::string comm_device_path(const char* com_name) {
    if (com_name == nullptr)
        return {};
    std::string name(com_name);
    if (name.rfind("\\\\.\\", 0) == 0)
        name.erase(0, 4);
    if (!name.empty() && name.back() == ':')
        name.pop_back();
    if (name.empty())
        return {};
    if (name.front() == '/')
        return name;
    return "/dev/" + name;
}

}  // namespace varolan::serial
