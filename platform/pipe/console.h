// The user's terminal as the pipe client sees it: raw mode that is always
// restored (normal exit, error exit, and the signals that end a process), and
// plain reads and writes on descriptors.
#pragma once

#include <cstddef>

namespace varolan::console {

inline constexpr int STDIN_FD = 0;
inline constexpr int STDOUT_FD = 1;

bool is_terminal(int fd);

// Puts a terminal into raw mode (no echo, no line editing, no signals from
// keys, 8-bit, byte by byte) and restores the saved mode at destruction, at
// restore(), and when SIGTERM, SIGHUP, SIGINT, SIGQUIT or SIGPIPE end the process
// (the handler restores the mode and re-raises the signal with its default
// action). One RawMode at a time per process.
class RawMode {
  public:
    RawMode() = default;
    ~RawMode() { restore(); }
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;

    // Returns false when `fd` is not a terminal or its mode cannot be set.
    bool enter(int fd);
    void restore();
    bool active() const { return active_; }

  private:
    bool active_ = false;
};

// read(): the count read, 0 at end of file, -1 on failure (EINTR retried).
long read_fd(int fd, void* buffer, std::size_t size);
// Writes all of `size` bytes; false on failure.
bool write_all(int fd, const void* buffer, std::size_t size);
// The text of an errno value for messages.
const char* error_text(int err);
// errno of the last failed call of this thread.
int last_errno();

}  // namespace varolan::console
