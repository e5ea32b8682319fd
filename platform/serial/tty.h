// What the real serial port is built from: the rate table, termios raw mode,
// the driver's line counters and modem bits, and waits on the tty descriptor.
// Internal to the serial layer.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/serial/comm.h"

namespace varolan::serial::detail {

struct RateBit {
    DWORD rate;
    DWORD bit;
    speed_t code;  // 0: no fixed constant, set through termios2
};

// Every rate the design names, with its BAUD_ bit and fixed speed constant.
std::span<const RateBit> design_rates();
// The fixed speed constant of a rate (0: none, the rate needs termios2).
speed_t speed_code(DWORD rate);
// A driver may land near a rate rather than on it; within 1 % counts as taken,
// as a UART's divisor allows.
bool rate_matches(DWORD wanted, std::uint32_t got);

// ioctl, repeated when a signal interrupts it.
int ioctl_retry(int fd, unsigned long request, void* arg);
// Waits for `events` on fd for at most `timeout_ms` real milliseconds
// (negative: without limit). Returns revents, 0 on timeout, -1 on failure.
int wait_fd(int fd, short events, std::int64_t timeout_ms);
// A real pause, whatever clock the process uses for its own delays.
void pause_real(int ms);

// The driver's counts of modem-line changes and line errors.
struct Counters {
    int cts = 0, dsr = 0, rng = 0, dcd = 0;
    int frame = 0, overrun = 0, parity = 0, brk = 0, buf_overrun = 0;
};
bool read_counters(int fd, Counters* c);
// CE_ bits for the line errors counted between two readings.
DWORD error_bits(const Counters& before, const Counters& after);
// EV_ bits for the modem lines that changed between two readings.
DWORD modem_events(const Counters& before, const Counters& after);
// MS_ bits of a TIOCMGET word.
DWORD modem_bits(int tiocm);

inline constexpr DWORD MODEM_EVENTS = MODEM_LINE_EVENTS;
// The termios character-size, parity, stop-bit and handshake flags.
inline constexpr tcflag_t FRAME_FLAGS = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

// Raw line: no echo, no line editing, no signals, no translation; breaks and
// parity errors arrive as NUL bytes and are counted by the driver.
void make_raw(termios& t);

}  // namespace varolan::serial::detail
