#include "platform/core/clock.h"

#include <cerrno>
#include <ctime>

#include <atomic>

namespace varolan {

namespace {
SystemClock system_clock;
std::atomic<Clock*> current_clock{nullptr};
}  // namespace

std::uint64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

std::uint64_t SystemClock::now_ms() {
    return monotonic_ms();
}

void SystemClock::sleep_ms(std::uint32_t ms) {
    timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) {
        req = rem;
    }
}

Clock& process_clock() {
    Clock* c = current_clock.load(std::memory_order_acquire);
    return c != nullptr ? *c : system_clock;
}

Clock* set_process_clock(Clock* clock) {
    Clock* old = current_clock.exchange(clock, std::memory_order_acq_rel);
    return old != nullptr ? old : &system_clock;
}

}  // namespace varolan
