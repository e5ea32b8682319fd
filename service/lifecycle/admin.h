// Process entry of the gateway service program and the administrator's
// subcommands, which apply only when the process was not started as a service.
#pragma once

#include "platform/core/winerror.h"

namespace varolan::service {

// Started as a service (the marker is set): runs the dispatcher with
// service_main and returns when the service has stopped. Otherwise:
//   (none)    one line on stderr pointing to "start" and "console"; 0
//   install   registers the service with this executable and gives the product
//             key its first values where it has none
//   remove    removes the registration (refused while the service runs)
//   start | stop | pause | continue | status
//             through the service manager, printing the state names
//   console   service_main in the foreground; Ctrl-C stops it
//   sessions [--json]
//             the running service's live sessions, a table or JSON
// Returns the process exit status.
int tarnix_main(int argc, char** argv);

// Exit status of a service process that stopped on a store it cannot use and
// that starting again cannot mend (damaged, foreign, missing, not to be
// trusted): the unit does not restart on it. A busy store ends with 1, so
// that a restart tries again.
inline constexpr int STORE_UNUSABLE_EXIT = 78;

// The process's exit status for the exit code the service reported with STOPPED.
int service_exit_status(DWORD exit_code);

// Registration and first values of `install` (also used by tests).
// Returns 0 or a status code.
unsigned install_service(const char* image_path);
// The first values written where the product key has none.
inline constexpr unsigned FIRST_ESCAPE_CHAR = 0x1D;
inline constexpr unsigned FIRST_NUMBER_OF_PORTS = 0;
inline constexpr unsigned FIRST_TELNET_PORT = 23;

}  // namespace varolan::service
