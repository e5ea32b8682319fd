#include "platform/core/wait_set.h"

#include <sys/epoll.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>

namespace varolan {

static_assert(EPOLLIN == poll_in && EPOLLOUT == poll_out && EPOLLERR == poll_err &&
              EPOLLHUP == poll_hup && EPOLLRDHUP == poll_rdhup);

WaitSet::WaitSet(PollFd* fds, unsigned count) : fds_(fds), count_(std::min(count, 16u)) {}

WaitSet::~WaitSet() {
    if (saved_slack_ns_ >= 0) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_slack_ns_), 0, 0, 0);
    }
}

bool WaitSet::register_all() {
    if (count_ == 0) {
        return false;
    }
    UniqueFd ep(epoll_create1(EPOLL_CLOEXEC));
    if (!ep.valid()) {
        return false;
    }
    bool added[16] = {};
    for (unsigned i = 0; i < count_; ++i) {
        if (fds_[i].fd < 0 || fds_[i].events == 0) {
            continue;
        }
        epoll_event e{};
        e.events = static_cast<std::uint32_t>(static_cast<unsigned short>(fds_[i].events));
        e.data.u32 = i;
        if (epoll_ctl(ep.get(), EPOLL_CTL_ADD, fds_[i].fd, &e) != 0) {
            return false;
        }
        added[i] = true;
    }
    epoll_ = std::move(ep);
    std::copy(added, added + 16, in_epoll_);
    return true;
}

bool WaitSet::set_events(unsigned index, short events) {
    if (index >= count_ || fds_[index].events == events) {
        return true;
    }
    fds_[index].events = events;
    if (!epoll_.valid() || fds_[index].fd < 0) {
        return true;
    }
    epoll_event e{};
    e.events = static_cast<std::uint32_t>(static_cast<unsigned short>(events));
    e.data.u32 = index;
    int op = EPOLL_CTL_MOD;
    if (events == 0) {
        op = EPOLL_CTL_DEL;
    } else if (!in_epoll_[index]) {
        op = EPOLL_CTL_ADD;
    }
    if (epoll_ctl(epoll_.get(), op, fds_[index].fd, &e) != 0) {
        // The kernel's set no longer says what is wanted: poll() from now on.
        epoll_.reset();
        return false;
    }
    in_epoll_[index] = events != 0;
    return true;
}

bool WaitSet::set_slack_ms(std::uint32_t ms) {
    if (saved_slack_ns_ < 0) {
        if (ms == 0) {
            return true;  // never changed: the thread's own slack is in force
        }
        int own = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        if (own < 0) {
            return false;
        }
        saved_slack_ns_ = own;
        slack_ns_ = own;
    }
    // 0: the thread's own slack again.
    long want = ms == 0 ? saved_slack_ns_ : static_cast<long>(ms) * 1000000L;
    if (want == slack_ns_) {
        return true;
    }
    if (prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(want), 0, 0, 0) != 0) {
        return false;
    }
    slack_ns_ = want;
    return true;
}

int WaitSet::wait(std::uint32_t timeout_ms, std::uint32_t early_ms) {
    // The kernel may end a timed wait up to the thread's slack after it is
    // due: asking for the timeout less `early_ms`, with that as the slack, puts
    // the end between the two. When the slack cannot be set the wait takes its
    // whole time, as it would without a window.
    if (timeout_ms != 0 && timeout_ms != INFINITE_WAIT) {
        early_ms = std::min(early_ms, timeout_ms);
        if (set_slack_ms(early_ms)) {
            timeout_ms -= early_ms;
        }
    }
    if (!epoll_.valid()) {
        // Entries without events are left out, as the registered set leaves them.
        PollFd active[16];
        for (unsigned i = 0; i < count_; ++i) {
            active[i] = fds_[i];
            if (active[i].events == 0) {
                active[i].fd = -1;
            }
        }
        const int ready = poll_fds(active, count_, timeout_ms);
        for (unsigned i = 0; i < count_; ++i) {
            fds_[i].revents = active[i].revents;
        }
        return ready;
    }
    for (unsigned i = 0; i < count_; ++i) {
        fds_[i].revents = 0;
    }
    const WaitDeadline deadline(timeout_ms);
    for (;;) {
        epoll_event events[16];
        int n = epoll_wait(epoll_.get(), events, static_cast<int>(count_), deadline.remaining_ms());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        for (int k = 0; k < n; ++k) {
            fds_[events[k].data.u32].revents = static_cast<short>(events[k].events);
        }
        return n;
    }
}

}  // namespace varolan
