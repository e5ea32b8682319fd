// What the log says about each host connection: where it went when it was
// made, and when it ends, why and how many bytes it carried each way. Never
// anything a user typed or a host sent.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace varolan::service {

// Why a host connection ended.
enum class HostEnd {
    closed,             // ended by the session for no reason of the relay's
    escape,             // the user typed an escape character
    escape_stuck_host,  // the same, while the host took nothing (see host_stuck)
    host_closed,        // the host closed the connection, or it failed under the reader
    host_failed,        // a send to the host failed
    user_gone,          // the user's side went away (a pipe client, a serial port)
    line_dropped,       // the serial line's signal went
    user_took_nothing,  // the host closed while its last block waited for a user taking nothing
    port_failed,        // the serial port could not be set up for the relay
    stop,               // the service stopped
};

const char* host_end_text(HostEnd why);

inline constexpr std::size_t DESTINATION_SIZE = 320;  // "NAME (address:port)"

// The log's view of one session's host connection. The counters are written
// by the session's threads alone (the session thread towards the host, the
// reader from it) and read by the stop, hence relaxed atomics. The rest is
// written while the connection is not listed, or under the list's lock.
struct ConnectionLog {
    ConnectionLog() = default;
    ConnectionLog(const ConnectionLog&) = delete;
    ConnectionLog& operator=(const ConnectionLog&) = delete;
    ~ConnectionLog();  // unlisted without a log line

    std::atomic<std::uint64_t> to_host{0};    // bytes sent to the host
    std::atomic<std::uint64_t> from_host{0};  // bytes received from the host
    char destination[DESTINATION_SIZE] = {};
    const char* session = "";
    ConnectionLog* next = nullptr;
    ConnectionLog* prev = nullptr;
    bool listed = false;
};

// Counting by the one thread that writes `counter` (no read-modify-write needed).
inline void add_bytes(std::atomic<std::uint64_t>& counter, std::size_t n) {
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// A new connection: both counts back to 0. Before its reader starts.
void reset_connection_counts(ConnectionLog& log);

// A connection is made: logs "<session>: connected to <name> (<where>)" and
// lists the connection as open. `session` must live as long as the connection.
void log_connection_made(ConnectionLog& log, const char* session, const char* name,
                         const char* where);

// The connection ends: logs "<session>: connection to <name> (<where>) ended:
// <why>; N bytes to the host, M from the host" (and the user bytes thrown away
// while the host was stuck, when any), unless it is not open or the stop has
// logged it already.
void log_connection_end(ConnectionLog& log, HostEnd why, std::int32_t discarded);

// At stop: logs the end of every connection still open ("service stopped"),
// since the sessions are not told and end with the process.
void log_connections_at_stop();

}  // namespace varolan::service
