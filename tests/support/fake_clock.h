// A clock for tests: sleeping returns at once and advances the time, and every
// delay asked for is recorded so a test can assert the design's delays.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/core/clock.h"

namespace varolan::test {

class FakeClock final : public Clock {
  public:
    FakeClock();            // installs itself as the process clock
    ~FakeClock() override;  // restores the previous clock

    std::uint64_t now_ms() override { return now_.load(std::memory_order_acquire); }
    void sleep_ms(std::uint32_t ms) override;
    void advance(std::uint64_t ms) { now_.fetch_add(ms, std::memory_order_acq_rel); }

    // Every sleep asked for, in order.
    std::vector<std::uint32_t> sleeps() const;
    void clear_sleeps();
    // Called on the sleeping thread with each delay before the time moves on,
    // so a test can look at what has happened before that delay (null: none).
    // Once it returns, the previous hook is neither running nor called again,
    // so it may refer to what the caller is about to destroy.
    void set_sleep_hook(std::function<void(std::uint32_t)> hook);

  private:
    std::atomic<std::uint64_t> now_{1000000};
    mutable std::mutex mutex_;
    std::vector<std::uint32_t> sleeps_;
    // Held while the hook runs, so that replacing it waits for a call in
    // progress; apart from mutex_ so that sleeps() stays free meanwhile.
    std::mutex hook_mutex_;
    std::function<void(std::uint32_t)> hook_;  // guarded by hook_mutex_
    Clock* previous_ = nullptr;
};

}  // namespace varolan::test
