// The live sessions, as the administrator's listing shows them. Each session
// lists itself while a user is on it. The relay only adds to the entry's
// atomic counters; the table's lock is taken when a session starts or ends,
// when a host connection opens or ends, and by a listing while it copies the
// entries (a bounded copy, no I/O), never per block.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace varolan::service {

enum class SessionKind : std::uint8_t { pipe, serial };

// How the host connection's bytes travel.
enum class HostProtocol : std::uint8_t { telnet, ssh };

enum class SessionState : std::uint8_t {
    waiting,    // a serial port open and waiting for its line or its modem
    prompt,     // at the "Telnet >" prompt
    connected,  // a host connection is open
};

inline constexpr std::size_t SESSION_PLACE_SIZE = 64;  // account or port name, cut
inline constexpr std::size_t SESSION_HOST_SIZE = 256;  // destination host name, cut

// One per session record. Listed between list_session and unlist_session (the
// destructor unlists it too, so the table never keeps a dead entry).
struct SessionEntry {
    SessionEntry() = default;
    SessionEntry(const SessionEntry&) = delete;
    SessionEntry& operator=(const SessionEntry&) = delete;
    ~SessionEntry();

    // Written by the session thread, read by listings at any time.
    std::atomic<std::uint64_t> bytes_to_host{0};  // user bytes taken for the host
    std::atomic<std::uint64_t> bytes_to_user{0};  // host data bytes the user side took
    std::atomic<SessionState> state{SessionState::prompt};
    std::atomic<bool> held{false};  // parked at the pause gate

    // Guarded by the table's lock.
    SessionKind kind = SessionKind::pipe;
    char place[SESSION_PLACE_SIZE] = {};
    char host[SESSION_HOST_SIZE] = {};  // empty: no host connection
    std::uint16_t port = 0;
    HostProtocol protocol = HostProtocol::telnet;
    std::int64_t since = 0;       // wall-clock seconds: the session began
    std::int64_t host_since = 0;  // wall-clock seconds: the host connection opened
    SessionEntry* prev = nullptr;
    SessionEntry* next = nullptr;
    bool listed = false;
};

// Lists `entry` as a new session of `kind` at `place` (the pipe client's
// account, the serial port's name) in `state`, with its counters at zero, and
// makes it this thread's session (the pause gate marks it held).
void list_session(SessionEntry& entry, SessionKind kind, const char* place, SessionState state);
// Takes `entry` out of the table; nothing happens when it is not listed.
void unlist_session(SessionEntry& entry);

inline void note_session_state(SessionEntry& entry, SessionState state) {
    entry.state.store(state, std::memory_order_relaxed);
}
// A host connection over `protocol` to `host` at `port` has opened / has ended.
void note_host_connected(SessionEntry& entry, HostProtocol protocol, const char* host,
                         std::uint16_t port);
void note_host_ended(SessionEntry& entry);

inline void count_to_host(SessionEntry& entry, std::size_t n) {
    entry.bytes_to_host.fetch_add(n, std::memory_order_relaxed);
}
inline void count_to_user(SessionEntry& entry, std::size_t n) {
    entry.bytes_to_user.fetch_add(n, std::memory_order_relaxed);
}

// The pause gate's side: this thread's listed session is parked (or goes on).
void note_this_thread_held(bool held);

// Sessions listed now.
std::uint32_t listed_session_count();

// The listing as the control endpoint hands it out: one line per session,
// oldest first, each ending in '\n', fields separated by '\t':
//   kind  place  state  protocol  host  port  bytes_to_host  bytes_to_user  since  host_since
// kind "pipe" or "serial"; state "waiting", "prompt", "connected" or "held";
// protocol "telnet" or "ssh"; protocol and host "-" and port, host_since 0
// without a host connection; times in seconds
// since 1970. Place and host have every byte outside '!'..'~', and '\',
// written as \xNN.
std::string session_listing();

}  // namespace varolan::service
