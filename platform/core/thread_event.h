// An event that only threads of this process wait for, one at a time, and that
// is never polled together with descriptors: a futex word. Setting it costs no
// system call while nobody waits, and a wait that finds it set costs none.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/core/event.h"

namespace varolan {

class ThreadEvent {
  public:
    ThreadEvent() = default;
    ThreadEvent(const ThreadEvent&) = delete;
    ThreadEvent& operator=(const ThreadEvent&) = delete;

    // Makes the event usable, auto-reset or manual-reset, set or not. Never
    // fails; returns true so that it reads like Event::create.
    bool create(bool manual_reset, bool initially_set);
    bool valid() const { return valid_.load(std::memory_order_acquire); }
    // Marks it unusable. Only when no thread can be waiting any more.
    void close();

    bool set();
    bool reset();
    // Waits until set; an auto-reset event is reset by the wait that sees it.
    // An event that is not valid fails at once.
    WaitResult wait(std::uint32_t timeout_ms = INFINITE_WAIT);
    // Non-blocking test; consumes the signal of an auto-reset event.
    bool try_consume();

  private:
    std::atomic<std::uint32_t> state_{0};    // 1: set; the futex word
    std::atomic<std::uint32_t> waiters_{0};  // threads in or about to be in a futex wait
    std::atomic<bool> valid_{false};
    bool manual_ = false;
};

}  // namespace varolan
