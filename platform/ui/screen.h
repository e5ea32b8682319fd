// The terminal view. Dialogs and message boxes start the terminal session by
// themselves the first time they need it (when standard input and output are
// a terminal); EndScreen gives the terminal back. Without a terminal, message
// boxes go to stderr and modal dialogs are cancelled at once.
#pragma once

namespace varolan::ui {

// Whether dialogs can be shown (stdin and stdout are terminals and the
// terminal type is known). Does not start the session.
bool TerminalAvailable();
// Restores the terminal if a session was started; safe to call at any time.
void EndScreen();

// The signal that cut the terminal session short, or 0: Ctrl-C (SIGINT),
// SIGTERM, or SIGHUP (also when the terminal goes away). From then on every
// open dialog ends at once with IDCANCEL without running its handlers, later
// dialogs and message boxes end as soon as they start, and the help window
// closes; the program is expected to leave without saving.
int InterruptSignal();

// Ends the terminal session when it goes out of scope (main() holds one).
class ScreenSession {
  public:
    ScreenSession() = default;
    ~ScreenSession() { EndScreen(); }
    ScreenSession(const ScreenSession&) = delete;
    ScreenSession& operator=(const ScreenSession&) = delete;
};

}  // namespace varolan::ui
