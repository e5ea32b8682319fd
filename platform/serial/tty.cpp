#include "platform/serial/tty.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "platform/core/clock.h"

namespace varolan::serial::detail {

namespace {

constexpr RateBit RATES[] = {
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
} MORE_CODES[] = {{50, B50},         {200, B200},         {230400, B230400},
                  {460800, B460800}, {500000, B500000},   {576000, B576000},
                  {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}};

}  // namespace

std::span<const RateBit> design_rates() {
    return RATES;
}

speed_t speed_code(DWORD rate) {
    for (const auto& r : RATES) {
        if (r.rate == rate) {
            return r.code;
        }
    }
    for (const auto& r : MORE_CODES) {
        if (r.rate == rate) {
            return r.code;
        }
    }
    return 0;
}

bool rate_matches(DWORD wanted, std::uint32_t got) {
    if (wanted == 0) {
        return false;
    }
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
        if (rc > 0) {
            return p.revents;
        }
        if (rc == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

void pause_real(int ms) {
    ::poll(nullptr, 0, ms);
}

bool read_counters(int fd, Counters* c) {
    serial_icounter_struct ic{};
    if (ioctl_retry(fd, TIOCGICOUNT, &ic) != 0) {
        return false;
    }
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
    if (after.brk != before.brk) {
        e |= CE_BREAK;
    }
    if (after.frame != before.frame) {
        e |= CE_FRAME;
    }
    if (after.overrun != before.overrun) {
        e |= CE_OVERRUN;
    }
    if (after.parity != before.parity) {
        e |= CE_RXPARITY;
    }
    if (after.buf_overrun != before.buf_overrun) {
        e |= CE_RXOVER;
    }
    return e;
}

DWORD modem_events(const Counters& a, const Counters& b) {
    DWORD ev = 0;
    if (a.cts != b.cts) {
        ev |= EV_CTS;
    }
    if (a.dsr != b.dsr) {
        ev |= EV_DSR;
    }
    if (a.dcd != b.dcd) {
        ev |= EV_RLSD;
    }
    if (a.rng != b.rng) {
        ev |= EV_RING;
    }
    return ev;
}

DWORD modem_bits(int tiocm) {
    DWORD ms = 0;
    if (tiocm & TIOCM_CTS) {
        ms |= MS_CTS_ON;
    }
    if (tiocm & TIOCM_DSR) {
        ms |= MS_DSR_ON;
    }
    if (tiocm & TIOCM_RNG) {
        ms |= MS_RING_ON;
    }
    if (tiocm & TIOCM_CAR) {
        ms |= MS_RLSD_ON;
    }
    return ms;
}

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

}  // namespace varolan::serial::detail
