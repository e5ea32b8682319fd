#include "service/session/globals.h"

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "service/session/session_table.h"

namespace varolan::service {

char global_prompt[PROMPT_SIZE] = {};
char escape_set[ESCAPE_SET_SIZE] = {};
std::atomic<std::uint16_t> telnet_port{23};
std::atomic<std::int32_t> connection_count{0};
std::atomic<std::int32_t> byte_count{0};
std::atomic<std::int32_t> discarded_count{0};
std::atomic<std::uint64_t> worker_thread_slot{0};

namespace {
std::atomic<std::uint64_t> thread_sequence{0};
std::mutex gate_mutex;
std::condition_variable gate_cv;
bool gate_is_held = false;  // guarded by gate_mutex
int gate_waiting = 0;       // guarded by gate_mutex
// Mirrors gate_is_held so that a pass through an open gate (every relay pass)
// costs one load, not the lock that all sessions share.
std::atomic<bool> gate_closed{false};

// Readable while the gate is held; set and reset under gate_mutex. Never
// destroyed: detached session threads may still poll it while the process ends.
Event& gate_event() {
    static Event* event = [] {
        auto* e = new Event;
        e->create(true, false);
        return e;
    }();
    return *event;
}
}  // namespace

void note_thread_created() {
    worker_thread_slot.store(thread_sequence.fetch_add(1) + 1);
}

Event& port_handshake_event() {
    // Never destroyed: detached session threads may still use it while the
    // process ends.
    static Event* event = new Event;
    return *event;
}

void gate_hold() {
    std::lock_guard<std::mutex> lock(gate_mutex);
    gate_is_held = true;
    gate_closed.store(true, std::memory_order_release);
    gate_event().set();
}

void gate_release() {
    {
        std::lock_guard<std::mutex> lock(gate_mutex);
        gate_is_held = false;
        gate_closed.store(false, std::memory_order_release);
        gate_event().reset();
    }
    gate_cv.notify_all();
}

bool gate_held() {
    std::lock_guard<std::mutex> lock(gate_mutex);
    return gate_is_held;
}

void gate_pass() {
    if (!gate_closed.load(std::memory_order_acquire)) {
        return;
    }
    std::unique_lock<std::mutex> lock(gate_mutex);
    if (!gate_is_held) {
        return;
    }
    ++gate_waiting;
    note_this_thread_held(true);
    gate_cv.wait(lock, [] { return !gate_is_held; });
    note_this_thread_held(false);
    --gate_waiting;
}

int gate_poll_fd() {
    return gate_event().poll_fd();
}

int gate_waiters() {
    std::lock_guard<std::mutex> lock(gate_mutex);
    return gate_waiting;
}

std::size_t bounded_copy(char* dst, std::size_t dst_size, const char* src) {
    if (dst_size == 0) {
        return 0;
    }
    std::size_t n = src != nullptr ? strnlen(src, dst_size - 1) : 0;
    if (n != 0) {
        std::memcpy(dst, src, n);
    }
    dst[n] = '\0';
    return n;
}

void reset_globals() {
    std::memset(global_prompt, 0, sizeof global_prompt);
    std::memset(escape_set, 0, sizeof escape_set);
    telnet_port.store(23);
    connection_count.store(0);
    byte_count.store(0);
    discarded_count.store(0);
    worker_thread_slot.store(0);
    thread_sequence.store(0);
    gate_release();
}

}  // namespace varolan::service
