// Process-wide state of the gateway service shared by the start-up code and
// every session thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/core/event.h"

namespace varolan::service {

inline constexpr std::size_t PROMPT_SIZE = 256;        // global_prompt and prompt lines
inline constexpr std::size_t ESCAPE_SET_SIZE = 12;     // escape_set with its terminator
inline constexpr std::size_t TERMINAL_TYPE_SIZE = 16;  // terminal_type with its terminator
inline constexpr std::size_t BLOCK_SIZE = 4096;        // one user or host block
inline constexpr std::size_t HOST_NAME_SIZE = 64;      // gethostname buffer
inline constexpr int LINE_LIMIT = 40;                  // characters of a command line

// "Prompt" and "Escape Char", written by the start-up thread before any session
// exists and only read afterwards. Always NUL-terminated within their size.
extern char global_prompt[PROMPT_SIZE];
extern char escape_set[ESCAPE_SET_SIZE];

// Default TCP port for host connections ("Telnet Port", 23 when missing).
extern std::atomic<std::uint16_t> telnet_port;

// Statistics shown by the status command: 32-bit signed, wrapping, shared by
// every session thread.
extern std::atomic<std::int32_t> connection_count;
extern std::atomic<std::int32_t> byte_count;
// User bytes read and thrown away because the host they were for had taken
// nothing for the stuck-host time (counted in byte_count as well), over every
// session. Not shown to users.
extern std::atomic<std::int32_t> discarded_count;

// Auto-reset event each new port session sets once it has taken its port index.
Event& port_handshake_event();

// Id of the most recently created service thread (informational).
extern std::atomic<std::uint64_t> worker_thread_slot;
// Gives a newly created service thread the next id and puts it into
// worker_thread_slot. Every place that creates a service thread calls it.
void note_thread_created();

// Pause: a process-wide gate that every session loop passes. While held,
// gate_pass() blocks until the gate is released.
void gate_hold();
void gate_release();
bool gate_held();
void gate_pass();
// A descriptor that polls readable while the gate is held, so that a session
// waiting for its peers comes to the gate at once when the service pauses; -1
// when none could be made (such a session must not wait longer than
// GATE_POLL_MS at a time).
int gate_poll_fd();
inline constexpr std::uint32_t GATE_POLL_MS = 200;
// Threads blocked in gate_pass() right now (tests wait for a session to be parked).
int gate_waiters();

// Copies the NUL-terminated `src` into `dst` of `dst_size` bytes, cutting it to
// fit; `dst` is always terminated. Returns the length copied.
std::size_t bounded_copy(char* dst, std::size_t dst_size, const char* src);

// Resets every global above to its start-of-process value (tests).
void reset_globals();

}  // namespace varolan::service
