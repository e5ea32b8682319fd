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

// Ends the terminal session when it goes out of scope (main() holds one).
class ScreenSession {
  public:
    ScreenSession() = default;
    ~ScreenSession() { EndScreen(); }
    ScreenSession(const ScreenSession&) = delete;
    ScreenSession& operator=(const ScreenSession&) = delete;
};

}  // namespace varolan::ui
