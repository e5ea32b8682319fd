// Threads with an explicit stack size. A thread is never killed: its owner makes
// it return (shutdown of its socket, an event) and joins it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace varolan {

// Stack size of session and host reader threads. Measured need of the deepest
// path (name resolution through the system resolver) plus a margin; sanitizer
// builds need several times more.
#if defined(VAROLAN_SANITIZED)
inline constexpr std::size_t session_stack_size = 1024 * 1024;
#else
inline constexpr std::size_t session_stack_size = 128 * 1024;
#endif

class Thread {
  public:
    Thread() = default;
    ~Thread();  // joins a thread that is still joinable
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&& other) noexcept;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts `body` on a new thread with the given stack size (0 = system default).
    // Returns false when the thread could not be created.
    bool start(std::function<void()> body, std::size_t stack_size = session_stack_size);
    bool joinable() const { return started_; }
    void join();
    // The thread goes on by itself; its resources are released when it returns.
    void detach();

  private:
    unsigned long handle_ = 0;  // pthread_t
    bool started_ = false;
};

// Starts a detached thread. Returns false when it could not be created.
bool start_detached(std::function<void()> body, std::size_t stack_size = session_stack_size);

// The errno value (EAGAIN: the task limit or memory) of the calling thread's
// last failed thread start.
int last_thread_error();
// Test hook: the next `count` thread starts of the process fail with EAGAIN.
void fail_next_thread_starts(unsigned count);

// The CPU the calling thread is running on, -1 when it cannot be told.
int current_cpu();

// Keeps the calling thread on `cpu`. False when the kernel refused (no such
// CPU, or one this process may not use); the thread then runs as before.
bool run_current_thread_on(int cpu);

}  // namespace varolan
