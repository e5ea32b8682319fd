// The one clock of the process: monotonic time and sleeping. Tests replace it
// with a clock that records the delays asked for and does not really sleep.
#pragma once

#include <cstdint>

namespace varolan {

class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds on a monotonic scale.
    virtual std::uint64_t now_ms() = 0;
    virtual void sleep_ms(std::uint32_t ms) = 0;
};

// The real monotonic clock.
class SystemClock final : public Clock {
  public:
    std::uint64_t now_ms() override;
    void sleep_ms(std::uint32_t ms) override;
};

// The clock in force (the system clock unless a test installed another).
Clock& process_clock();
// Installs `clock` (nullptr restores the system clock). Returns the previous one.
Clock* set_process_clock(Clock* clock);

inline void sleep_ms(std::uint32_t ms) {
    process_clock().sleep_ms(ms);
}
inline std::uint64_t now_ms() {
    return process_clock().now_ms();
}

// Real monotonic milliseconds, never replaced (deadlines of poll() waits).
std::uint64_t monotonic_ms();

}  // namespace varolan
