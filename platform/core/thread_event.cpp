#include "platform/core/thread_event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "platform/core/clock.h"

namespace varolan {

namespace {

// Sleeps while *word is `expected`, at most `timeout_ms` (INFINITE_WAIT: no
// limit). Returns at once when the word differs already; may return early.
void futex_wait(std::atomic<std::uint32_t>* word, std::uint32_t expected,
                std::uint32_t timeout_ms) {
    timespec limit{};
    timespec* limit_ptr = nullptr;
    if (timeout_ms != INFINITE_WAIT) {
        limit.tv_sec = static_cast<time_t>(timeout_ms / 1000);
        limit.tv_nsec = static_cast<long>(timeout_ms % 1000) * 1000000L;
        limit_ptr = &limit;
    }
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected,
            limit_ptr, nullptr, 0);
}

void futex_wake(std::atomic<std::uint32_t>* word, int count) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr,
            nullptr, 0);
}

}  // namespace

bool ThreadEvent::create(bool manual_reset, bool initially_set) {
    manual_ = manual_reset;
    state_.store(initially_set ? 1 : 0, std::memory_order_relaxed);
    valid_.store(true, std::memory_order_release);
    return true;
}

void ThreadEvent::close() {
    valid_.store(false, std::memory_order_release);
    state_.store(0, std::memory_order_relaxed);
}

bool ThreadEvent::set() {
    if (!valid()) {
        return false;
    }
    // Either the waiter sees the state set before it sleeps, or this sees the
    // waiter counted and wakes it (both sides use sequentially consistent order).
    state_.store(1, std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) != 0) {
        futex_wake(&state_, manual_ ? INT_MAX : 1);
    }
    return true;
}

bool ThreadEvent::reset() {
    if (!valid()) {
        return false;
    }
    state_.store(0, std::memory_order_release);
    return true;
}

bool ThreadEvent::try_consume() {
    if (!valid()) {
        return false;
    }
    if (manual_) {
        return state_.load(std::memory_order_acquire) == 1;
    }
    std::uint32_t expected = 1;
    return state_.compare_exchange_strong(expected, 0, std::memory_order_acquire,
                                          std::memory_order_relaxed);
}

WaitResult ThreadEvent::wait(std::uint32_t timeout_ms) {
    if (!valid()) {
        return WaitResult::failed;
    }
    const bool infinite = timeout_ms == INFINITE_WAIT;
    const std::uint64_t deadline = infinite ? 0 : monotonic_ms() + timeout_ms;
    for (;;) {
        if (!valid()) {
            return WaitResult::failed;
        }
        if (try_consume()) {
            return WaitResult::signaled;
        }
        std::uint32_t left = INFINITE_WAIT;
        if (!infinite) {
            std::uint64_t now = monotonic_ms();
            if (now >= deadline) {
                return WaitResult::timeout;
            }
            left = static_cast<std::uint32_t>(deadline - now);
        }
        waiters_.fetch_add(1, std::memory_order_seq_cst);
        if (state_.load(std::memory_order_seq_cst) == 0) {
            futex_wait(&state_, 0, left);
        }
        waiters_.fetch_sub(1, std::memory_order_relaxed);
    }
}

}  // namespace varolan
