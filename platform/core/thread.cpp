#include "platform/core/thread.h"

#include <limits.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <utility>

namespace varolan {

static_assert(sizeof(pthread_t) <= sizeof(unsigned long));

namespace {

thread_local int last_error = 0;
std::atomic<unsigned> injected_failures{0};

void* thread_entry(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return nullptr;
}

bool create_thread(pthread_t* out, std::function<void()> body, std::size_t stack_size,
                   bool detached) {
    for (unsigned n = injected_failures.load(); n > 0;) {
        if (injected_failures.compare_exchange_weak(n, n - 1)) {
            last_error = EAGAIN;
            return false;
        }
    }
    pthread_attr_t attr;
    if (int rc = pthread_attr_init(&attr); rc != 0) {
        last_error = rc;
        return false;
    }
    if (stack_size != 0) {
        if (stack_size < static_cast<std::size_t>(PTHREAD_STACK_MIN)) {
            stack_size = PTHREAD_STACK_MIN;
        }
        pthread_attr_setstacksize(&attr, stack_size);
    }
    if (detached) {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    }
    auto* heap_body = new std::function<void()>(std::move(body));
    int rc = pthread_create(out, &attr, thread_entry, heap_body);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete heap_body;
        last_error = rc;
        return false;
    }
    return true;
}

}  // namespace

Thread::~Thread() {
    join();
}

Thread::Thread(Thread&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)), started_(std::exchange(other.started_, false)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        join();
        handle_ = std::exchange(other.handle_, 0);
        started_ = std::exchange(other.started_, false);
    }
    return *this;
}

bool Thread::start(std::function<void()> body, std::size_t stack_size) {
    join();
    pthread_t t{};
    if (!create_thread(&t, std::move(body), stack_size, false)) {
        return false;
    }
    handle_ = static_cast<unsigned long>(t);
    started_ = true;
    return true;
}

void Thread::join() {
    if (started_) {
        pthread_join(static_cast<pthread_t>(handle_), nullptr);
        started_ = false;
        handle_ = 0;
    }
}

void Thread::detach() {
    if (started_) {
        pthread_detach(static_cast<pthread_t>(handle_));
        started_ = false;
        handle_ = 0;
    }
}

bool start_detached(std::function<void()> body, std::size_t stack_size) {
    pthread_t t{};
    return create_thread(&t, std::move(body), stack_size, true);
}

int current_cpu() {
    return sched_getcpu();
}

bool run_current_thread_on(int cpu) {
    if (cpu < 0 || cpu >= CPU_SETSIZE) {
        return false;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

int last_thread_error() {
    return last_error;
}

void fail_next_thread_starts(unsigned count) {
    injected_failures.store(count);
}

}  // namespace varolan
