// Sessions of the gateway's named pipe: one thread per client. Each thread
// creates one pipe instance and waits for a client; once its client has
// connected it starts its successor (so that one instance always waits) and
// serves its client: the command prompt, and while a host connection is open,
// the relay between the pipe and the host.
#pragma once

#include <cstdint>

namespace varolan::service {

// The pipe users reach the gateway by, and the device name their prompt shows.
inline constexpr const char* PIPE_NAME = "\\\\.\\PIPE\\Tarnix";
// Size of the pipe instance's buffers as asked for at creation.
inline constexpr std::uint32_t PIPE_BUFFER_SIZE = 4096;

// Thread routine of one pipe session; takes no argument. start_sessions starts
// the first one (start_detached with session_stack_size); each starts its
// successor the same way.
void pipe_session();

// --- inspection and stop (service stop, tests) -----------------------------------

// pipe_session threads alive, and of those the ones that wait for a client.
int pipe_sessions_running();
int pipe_sessions_waiting();
// Makes the thread waiting for a client end without a successor (its connect
// fails). Sessions that serve a client are not touched. From then on no new
// instance is created: a successor started later ends at once.
void stop_pipe_listener();
// Lifts the stop, so that a new chain can be started (tests).
void reset_pipe_listener();

}  // namespace varolan::service
