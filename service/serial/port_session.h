// The session of one managed serial port: opens and configures the port from
// its port key, optionally initialises a modem and waits for a line signal,
// then serves one user at a time at the command prompt or with an automatic
// connection, relaying between the port and the host. The port is closed and
// reopened after every user. When the port cannot be opened or configured the
// cause goes to the port's "Device Flags" and the thread ends.
#pragma once

#include <cstdint>

namespace varolan::service {

// Longest wait of an idle relay pass while the relay watches the AutoOpen
// line signal (ms): modem lines cannot be polled, so a drop is looked for this
// often. Otherwise an idle pass waits without a time limit; it ends at once
// when the port has input, the host reader hands over a block, the service
// pauses, or a timed condition of the relay is due.
inline constexpr std::uint32_t PORT_LINE_POLL_MS = 100;
// Longest wait of one write to the port while relaying (ms): a write that
// the line's flow control holds ends after this with what went, and the rest
// waits for the next pass.
inline constexpr std::uint32_t PORT_WRITE_WAIT_MS = 200;

// Thread routine, one per managed port. Reads the index through the pointer,
// sets port_handshake_event() as soon as it no longer needs it, and returns only
// when it gives the port up.
void port_session(const std::uint32_t* port_index);

}  // namespace varolan::service
