#include "tests/support/fake_clock.h"

#include <thread>

namespace varolan::test {

FakeClock::FakeClock() {
    previous_ = set_process_clock(this);
}

FakeClock::~FakeClock() {
    set_process_clock(previous_);
}

void FakeClock::sleep_ms(std::uint32_t ms) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sleeps_.push_back(ms);
    }
    {
        std::lock_guard<std::mutex> calling(hook_mutex_);
        if (hook_) {
            hook_(ms);
        }
    }
    now_.fetch_add(ms, std::memory_order_acq_rel);
    // Give other threads a chance to run, as a real sleep would.
    std::this_thread::yield();
}

std::vector<std::uint32_t> FakeClock::sleeps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sleeps_;
}

void FakeClock::set_sleep_hook(std::function<void(std::uint32_t)> hook) {
    std::lock_guard<std::mutex> lock(hook_mutex_);
    hook_ = std::move(hook);
}

void FakeClock::clear_sleeps() {
    std::lock_guard<std::mutex> lock(mutex_);
    sleeps_.clear();
}

}  // namespace varolan::test
