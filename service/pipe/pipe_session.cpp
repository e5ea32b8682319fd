#include "service/pipe/pipe_session.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "common/store_layout.h"
#include "common/store_ops.h"
#include "platform/core/event.h"
#include "platform/core/thread.h"
#include "platform/core/wait_set.h"
#include "platform/pipe/pipe.h"
#include "service/session/globals.h"
#include "service/session/relay.h"
#include "service/session/session.h"

namespace varolan::service {

namespace {

std::atomic<int> sessions_running{0};
std::atomic<int> sessions_waiting{0};
std::atomic<std::uint32_t> idle_wait_ms{PIPE_IDLE_WAIT_MS};

// A stopped listener stays stopped: a successor that comes to create its
// instance after stop_pipe_listener ends instead of making a fresh listener
// that nobody would ever shut down. Guards the creation of instances.
std::mutex listener_mutex;
bool listener_stopped = false;  // guarded by listener_mutex

// Creates this thread's instance of the pipe unless the listener was stopped.
// The listening socket is kept between instances, so a client that arrives
// while one session has ended and its successor has not yet made its instance
// waits for that successor instead of being refused.
bool create_instance(const pipe::SecurityAttributes& security, pipe::NamedPipe* instance) {
    std::lock_guard<std::mutex> lock(listener_mutex);
    if (listener_stopped) {
        return false;
    }
    if (pipe::create_named_pipe(
            PIPE_NAME, pipe::PIPE_ACCESS_DUPLEX,
            pipe::PIPE_TYPE_MESSAGE | pipe::PIPE_READMODE_MESSAGE | pipe::PIPE_WAIT,
            pipe::PIPE_UNLIMITED_INSTANCES, PIPE_BUFFER_SIZE, PIPE_BUFFER_SIZE, 0, &security,
            instance) != ERROR_SUCCESS) {
        return false;
    }
    pipe::retain_pipe_listener(PIPE_NAME);
    return true;
}

// The connected pipe instance as the command interpreter's user side. The relay
// uses the instance itself (peek, reads of whole blocks).
class PipeUserSide final : public UserSide {
  public:
    explicit PipeUserSide(pipe::NamedPipe instance) : pipe_(std::move(instance)) {}

    // A message longer than `size` fails the read (more data waiting); the
    // bytes that fitted are reported in `*got` all the same.
    bool read(void* buffer, std::uint32_t size, std::uint32_t* got) override {
        DWORD n = 0;
        DWORD status = pipe_.read(buffer, size, &n);
        if (got != nullptr) {
            *got = n;
        }
        return status == ERROR_SUCCESS;
    }
    bool write(const void* data, std::uint32_t size) override {
        DWORD n = 0;
        return pipe_.write(data, size, &n) == ERROR_SUCCESS;
    }
    void close() override { pipe_.close(); }
    int poll_fd() const override { return pipe_.poll_fd(); }

    pipe::NamedPipe& instance() { return pipe_; }

  private:
    pipe::NamedPipe pipe_;
};

// What a pipe session holds for its whole life, kept off the thread's small stack.
struct PipeSessionState {
    SessionRecord record;
    char transfer[BLOCK_SIZE];
    char prompt[PROMPT_SIZE];
};

// Counts a thread as running for its life, and as waiting while asked to.
class RunningMark {
  public:
    RunningMark() { sessions_running.fetch_add(1); }
    ~RunningMark() {
        set_waiting(false);
        sessions_running.fetch_sub(1);
    }
    void set_waiting(bool on) {
        if (on != waiting_) {
            waiting_ = on;
            sessions_waiting.fetch_add(on ? 1 : -1);
        }
    }

  private:
    bool waiting_ = false;
};

// The user side is gone: the host connection goes with it, then the instance.
void end_session(SessionRecord& record) {
    end_host_connection(record);
    close_user_side(record);
}

enum class RelayEnd { to_prompt, session_over };

// Moves data between the client and the host until the client escapes, the
// host closes, or the client goes.
RelayEnd relay(PipeSessionState& state, PipeUserSide& side) {
    SessionRecord& record = state.record;
    pipe::NamedPipe& instance = side.instance();
    // The client's pipe and the reader's hand-over event, registered once for
    // the whole connection: an idle session waits on them five times a second.
    PollFd fds[2] = {{instance.poll_fd(), poll_in, 0}, {record.block_event.poll_fd(), poll_in, 0}};
    WaitSet waits(fds, 2);
    waits.register_all();  // refused: every wait is a poll() instead
    for (;;) {
        gate_pass();
        // Each pass starts by waiting until the client has sent something, the
        // reader has signalled a block or the connection's end, or the idle
        // wait is over; anything already there ends the wait at once. A pass
        // that moved data is thus followed at once when there is more, as is
        // one that left part of a long message in the pipe's own buffer. A
        // pass that finds the client silent skips the peek, which would only
        // say the same. The idle wait may end up to a quarter early, so that
        // the idle sessions' wake-ups share the kernel's timers.
        const std::uint32_t idle = idle_wait_ms.load(std::memory_order_relaxed);
        const int ready = instance.buffered() > 0 ? waits.wait(0) : waits.wait(idle, idle / 4);
        // The signal is only a wake-up; the block itself is in the record.
        if (ready > 0 && fds[1].revents != 0) {
            record.block_event.try_consume();
        }
        const bool look_at_client = ready < 0 || fds[0].revents != 0 || instance.buffered() > 0;

        DWORD available = 0;
        bool message_waiting = false;
        if (look_at_client && instance.peek(&available, &message_waiting) != ERROR_SUCCESS) {
            end_session(record);
            return RelayEnd::session_over;
        }
        // An empty message counts no bytes but is read all the same, so that it
        // does not keep the pipe signalled.
        if (available > 0 || message_waiting) {
            DWORD count = 0;
            instance.read(state.transfer, BLOCK_SIZE, &count);  // more data: next pass
            byte_count.fetch_add(static_cast<std::int32_t>(count));
            if (block_has_escape(state.transfer, count)) {
                end_host_connection(record);
                return RelayEnd::to_prompt;
            }
            if (count > 0) {
                queue_user_data(record, state.transfer, count);
                send_host_queue(record);
            }
        }

        if (host_connection_closed(record)) {
            end_host_connection(record);
            return RelayEnd::to_prompt;
        }

        std::int32_t received = host_block_count(record);
        if (received != 0) {
            pass_host_block(record, received);
            drain_host_block(record);
        }
    }
}

}  // namespace

void pipe_session() {
    RunningMark mark;

    // Security: a null DACL, so that everybody on the machine may open the pipe.
    std::unique_ptr<pipe::SecurityDescriptor> descriptor(new (std::nothrow)
                                                             pipe::SecurityDescriptor);
    if (!descriptor ||
        !pipe::initialize_security_descriptor(descriptor.get(),
                                              pipe::SECURITY_DESCRIPTOR_REVISION) ||
        !pipe::set_security_descriptor_dacl(descriptor.get(), true, nullptr, false)) {
        return;
    }
    pipe::SecurityAttributes security;
    security.descriptor = descriptor.get();
    security.inherit_handle = true;

    std::unique_ptr<PipeSessionState> state(new (std::nothrow) PipeSessionState);
    if (!state) {
        return;
    }
    SessionRecord& record = state->record;

    // The terminal type as it is while this thread listens; no default.
    char terminal_type[REG_STRING_SIZE] = {};
    if (!reg_read_string(layout::PRODUCT_KEY, layout::VALUE_TERMINAL_TYPE, terminal_type)) {
        terminal_type[0] = '\0';
    }
    set_terminal_type(record, terminal_type);

    pipe::NamedPipe instance;
    if (!create_instance(security, &instance)) {
        return;
    }
    descriptor.reset();

    mark.set_waiting(true);
    DWORD connected = instance.connect();
    mark.set_waiting(false);
    if (connected != ERROR_SUCCESS) {
        return;
    }
    connection_count.fetch_add(1);

    // The successor waits for the next client while this thread serves its own.
    if (start_detached([] { pipe_session(); }, session_stack_size)) {
        note_thread_created();
    }

    format_session_prompt(state->prompt, PIPE_NAME);
    auto side_owner = std::make_unique<PipeUserSide>(std::move(instance));
    PipeUserSide* side = side_owner.get();
    record.user_handle = std::move(side_owner);

    for (;;) {
        if (run_command_prompt(record, state->prompt) == 0) {
            if (!record.user_handle) {
                return;  // quit, or the client went at the prompt
            }
            continue;
        }
        if (relay(*state, *side) == RelayEnd::session_over) {
            return;
        }
    }
}

void set_pipe_idle_wait_ms(std::uint32_t ms) {
    idle_wait_ms.store(ms, std::memory_order_relaxed);
}

int pipe_sessions_running() {
    return sessions_running.load();
}

int pipe_sessions_waiting() {
    return sessions_waiting.load();
}

void stop_pipe_listener() {
    std::lock_guard<std::mutex> lock(listener_mutex);
    listener_stopped = true;
    pipe::shutdown_pipe_listener(PIPE_NAME);
}

void reset_pipe_listener() {
    std::lock_guard<std::mutex> lock(listener_mutex);
    listener_stopped = false;
}

}  // namespace varolan::service
