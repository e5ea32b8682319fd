// Events with auto-reset or manual-reset semantics on an eventfd, so that a
// relay can wait on an event and a descriptor in one poll().
#pragma once

#include <cstdint>

#include "platform/core/fd.h"

namespace varolan {

inline constexpr std::uint32_t INFINITE_WAIT = 0xFFFFFFFFu;

enum class WaitResult { signaled, timeout, failed };

// The time left of a wait that starts now, for waits retried after EINTR.
class WaitDeadline {
  public:
    explicit WaitDeadline(std::uint32_t timeout_ms);
    // -1 for a wait without timeout, else the milliseconds left (0 when over),
    // as poll() and epoll_wait() take them.
    int remaining_ms() const;

  private:
    bool infinite_;
    std::uint64_t deadline_ = 0;
};

class Event {
  public:
    Event() = default;
    Event(Event&&) noexcept = default;
    Event& operator=(Event&&) noexcept = default;

    // Creates the eventfd. Returns false (and stays invalid) on failure.
    bool create(bool manual_reset, bool initially_set);
    bool valid() const { return fd_.valid(); }
    void close() { fd_.reset(); }

    bool set();
    bool reset();
    // Waits until set; an auto-reset event is reset by the wait that sees it.
    WaitResult wait(std::uint32_t timeout_ms = INFINITE_WAIT);
    // Non-blocking test; consumes the signal of an auto-reset event.
    bool try_consume();
    // The descriptor to poll for readability (readable while set).
    int poll_fd() const { return fd_.get(); }
    bool manual_reset() const { return manual_; }

  private:
    UniqueFd fd_;
    bool manual_ = false;
};

struct PollFd {
    int fd = -1;
    short events = 0;  // POLLIN/POLLOUT as in <poll.h>, see poll_in/poll_out
    short revents = 0;
};

inline constexpr short poll_in = 0x001;
inline constexpr short poll_out = 0x004;
inline constexpr short poll_err = 0x008;
inline constexpr short poll_hup = 0x010;
inline constexpr short poll_nval = 0x020;
inline constexpr short poll_rdhup = 0x2000;  // the peer has shut its sending side down

// poll() over `count` entries with EINTR retried against a monotonic deadline.
// Returns the number of ready entries, 0 on timeout, -1 on failure.
int poll_fds(PollFd* fds, unsigned count, std::uint32_t timeout_ms);

}  // namespace varolan
