// The gateway service from process entry to exit: registration with the service
// manager, status reports, controls, reading the service-wide settings once at
// start and starting the session threads.
#pragma once

#include <cstdint>

#include "platform/scm/scm.h"

namespace varolan::service {

// The name the service is registered and dispatched under.
inline constexpr const char* SERVICE_NAME = "Varolan";

// Start and stop wait hints, and the poll period of the "Debug" hold (ms).
inline constexpr DWORD START_WAIT_HINT = 1000;
inline constexpr DWORD STOP_WAIT_HINT = 3000;
inline constexpr std::uint32_t DEBUG_HOLD_POLL_MS = 1000;

// Service main: registers the control handler, reports START_PENDING (check
// points 1 and 2), creates the stop event, starts the start-up thread, reports
// RUNNING, waits for the stop event and reports STOPPED.
void service_main(DWORD argc, char** argv);

// Control handler, run on the dispatcher's thread. STOP reports STOP_PENDING and
// sets the stop event. PAUSE (only while RUNNING) holds every session at its
// next pass of the pause gate and reports PAUSED; CONTINUE (only while PAUSED)
// releases the gate and reports RUNNING. Any CONTINUE also releases a "Debug"
// hold. Everything else reports the current state again.
void control_handler(DWORD control);

// Stores the values in the status record (controls accepted 0 while
// START_PENDING, STOP and PAUSE/CONTINUE otherwise) and reports it. A failed
// report calls request_stop("SetServiceStatus"). Returns true when reported.
bool report_status(DWORD state, DWORD exit_code, DWORD check_point, DWORD wait_hint);

// Signals the stop event (no effect when it does not exist). `text` names the
// failed step; it is kept for inspection (last_stop_text) and shown nowhere.
void request_stop(const char* text);

// The start-up thread: reads "Prompt", "Number of Ports", "Escape Char",
// "Telnet Port" and "Debug", starts the pipe listener and one port session per
// managed port key, one after another through port_handshake_event.
void start_sessions();

// The session entry points start_sessions uses. Null restores the built-in
// stand-ins (the pipe one returns at once; the port one takes its index, sets
// port_handshake_event and returns).
void set_session_entries(void (*pipe_entry)(), void (*port_entry)(const std::uint32_t* port_index));

// --- inspection (console, tests) ------------------------------------------------

// A copy of the status record last reported.
scm::SERVICE_STATUS current_status();
// The text of the last request_stop (empty when none).
const char* last_stop_text();
// True while start_sessions holds at the "Debug" value.
bool debug_hold_active();
// Puts the lifecycle state back as at process start (tests; nothing running).
void reset_lifecycle();

}  // namespace varolan::service
