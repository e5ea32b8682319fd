// A fixed set of descriptors that one thread waits on again and again, such as
// a relay's user side and its host hand-over event. The set is registered with
// the kernel once, so a wait costs no registration of its descriptors, and a
// timed wait may be allowed to end somewhat early, so that the kernel can end
// the waits of many threads with one timer.
#pragma once

#include <cstdint>

#include "platform/core/event.h"
#include "platform/core/fd.h"

namespace varolan {

class WaitSet {
  public:
    // `fds` (at most 16 entries) stays owned by the caller and must outlive the
    // set; a negative descriptor is ignored, as poll() does. The set first
    // works like poll_fds(); register_all() makes it use the kernel's
    // registered form.
    WaitSet(PollFd* fds, unsigned count);
    ~WaitSet();  // gives the thread back its own timer slack
    WaitSet(const WaitSet&) = delete;
    WaitSet& operator=(const WaitSet&) = delete;

    // Registers every descriptor once. False (the set goes on with poll()) when
    // the kernel refused, for example for want of descriptors.
    bool register_all();
    bool registered() const { return epoll_.valid(); }

    // Changes what entry `index` is waited for. An entry whose events are 0 is
    // left out of the wait altogether, its hang-ups and errors too; to hear of
    // those alone, ask for poll_hup. Costs no system call when nothing changes.
    // False when the kernel refused the change (the set then goes on with poll()).
    bool set_events(unsigned index, short events);

    // Waits until an entry is ready or the timeout is over (INFINITE_WAIT: no
    // timeout), and fills the entries' revents. A timed wait ends at the latest
    // after `timeout_ms` and at the earliest `early_ms` before that, so that
    // the kernel can end the waits of many threads with one timer. Returns the
    // number of ready entries, 0 on timeout, -1 on failure. Must be called on
    // one thread only: the window is that thread's timer slack.
    int wait(std::uint32_t timeout_ms, std::uint32_t early_ms = 0);

  private:
    bool set_slack_ms(std::uint32_t ms);

    PollFd* fds_;
    unsigned count_;
    bool in_epoll_[16] = {};  // entry registered with the kernel
    UniqueFd epoll_;
    long slack_ns_ = -1;        // the thread's slack as last set here
    long saved_slack_ns_ = -1;  // the thread's own slack, given back at the end
};

}  // namespace varolan
