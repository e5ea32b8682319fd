// Waiting in tests for a condition that another thread or process brings
// about: the condition is polled with a short real pause until it holds or a
// generous bound has passed, so that no test depends on how fast it runs.
#pragma once

#include <chrono>
#include <thread>

namespace varolan::test {

inline constexpr std::chrono::milliseconds WAIT_UNTIL_DEFAULT_BOUND{30000};

// True as soon as `condition()` holds; false when it still does not after
// `bound`. The condition is tried once more at the bound.
template <typename Condition>
bool wait_until(Condition condition, std::chrono::milliseconds bound = WAIT_UNTIL_DEFAULT_BOUND,
                std::chrono::milliseconds pause = std::chrono::milliseconds(2)) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(pause);
    }
    return true;
}

}  // namespace varolan::test
