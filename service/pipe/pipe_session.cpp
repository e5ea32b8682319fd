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
    // One message, whole or not at all.
    bool write_available(const void* data, std::uint32_t size, std::uint32_t* done) override {
        DWORD n = 0;
        const DWORD status = pipe_.write_nowait(data, size, &n);
        *done = n;
        return status == ERROR_SUCCESS;
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

// What the client's input came to in one pass.
enum class ClientInput { taken, escape, gone };

// Reads what the client has sent, up to one block: message after message
// (the rest of a long one included) while they are there and fit. Each read is
// what one read of the pipe would give, and each is looked at for the escape
// by itself: a read holding an escape character ends the gathering, the reads
// before it are forwarded and it is dropped whole.
ClientInput take_client_input(PipeSessionState& state, pipe::NamedPipe& instance) {
    SessionRecord& record = state.record;
    DWORD gathered = 0;
    for (;;) {
        DWORD n = 0;
        const DWORD status =
            instance.read_nowait(state.transfer + gathered, BLOCK_SIZE - gathered, &n);
        const bool read = status == ERROR_SUCCESS || status == ERROR_MORE_DATA;
        if (!read && status != ERROR_NO_DATA && gathered == 0) {
            return ClientInput::gone;  // after data, it is seen at the next pass
        }
        if (read && block_has_escape(state.transfer + gathered, n)) {
            if (gathered > 0) {
                forward_user_block(record, state.transfer, gathered);
            }
            forward_user_block(record, state.transfer + gathered, n);
            return ClientInput::escape;
        }
        // An empty message counts no bytes but is read all the same, so that it
        // does not keep the pipe signalled.
        gathered += n;
        if (!read || status == ERROR_MORE_DATA || gathered == BLOCK_SIZE) {
            break;
        }
    }
    if (gathered > 0) {
        forward_user_block(record, state.transfer, gathered);
    }
    return ClientInput::taken;
}

// Moves data between the client and the host until the client escapes, the
// host closes, or the client goes. Nothing here waits for the client or the
// host to take data: what they do not take waits, and the pass waits for them
// to take more while it serves everything else.
RelayEnd relay(PipeSessionState& state, PipeUserSide& side) {
    SessionRecord& record = state.record;
    pipe::NamedPipe& instance = side.instance();
    // The client's pipe, the reader's hand-over event and the host's socket,
    // registered once for the whole connection (the host's only while bytes
    // wait for it): an idle session waits on them five times a second.
    enum { CLIENT, READER, HOST };
    PollFd fds[3] = {{instance.poll_fd(), poll_in, 0},
                     {record.block_event.poll_fd(), poll_in, 0},
                     {record.host_socket.fd(), 0, 0}};
    WaitSet waits(fds, 3);
    waits.register_all();  // refused: every wait is a poll() instead
    for (;;) {
        gate_pass();
        // Each pass starts by waiting until the client has sent something (when
        // there is room for it) or taken what waits for it, the reader has
        // signalled a block or the connection's end, the host has taken what
        // waits for it, or the idle wait is over; anything already there ends
        // the wait at once. The client's hang-up is always heard. The idle
        // wait may end up to a quarter early, so that the idle sessions'
        // wake-ups share the kernel's timers.
        const bool want_input = wants_user_input(record);
        waits.set_events(
            CLIENT, static_cast<short>((want_input ? poll_in : 0) |
                                       (user_output_waiting(record) ? poll_out : 0) | poll_hup));
        waits.set_events(HOST, host_output_waiting(record) ? poll_out : 0);
        const std::uint32_t idle = idle_wait_ms.load(std::memory_order_relaxed);
        const bool rest_waiting = want_input && instance.buffered() > 0;
        const int ready = rest_waiting ? waits.wait(0) : waits.wait(idle, idle / 4);
        // The signal is only a wake-up; the block itself is in the record.
        if (ready > 0 && fds[READER].revents != 0) {
            record.block_event.try_consume();
        }
        const short client = ready < 0 ? static_cast<short>(poll_in) : fds[CLIENT].revents;
        const bool client_hung_up = (client & (poll_hup | poll_err)) != 0;
        if (want_input && (rest_waiting || (client & poll_in) != 0 || client_hung_up)) {
            switch (take_client_input(state, instance)) {
                case ClientInput::gone:
                    end_session(record);
                    return RelayEnd::session_over;
                case ClientInput::escape:
                    end_host_connection(record);
                    return RelayEnd::to_prompt;
                case ClientInput::taken:
                    break;
            }
        } else if (client_hung_up) {
            // Gone, with input left that there is no room for: it cannot be taken.
            end_session(record);
            return RelayEnd::session_over;
        }

        if (host_connection_closed(record)) {
            end_host_connection(record);
            return RelayEnd::to_prompt;
        }
        std::uint32_t written = 0;
        if (deliver_host_block(record, &written) == HostBlock::user_failed) {
            end_session(record);
            return RelayEnd::session_over;
        }
        if (!send_to_host(record) || host_gone_behind_stuck_user(record)) {
            end_host_connection(record);
            return RelayEnd::to_prompt;
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
        switch (run_command_prompt(record, state->prompt)) {
            case PromptEnd::user_gone:
                return;  // quit, or the client went at the prompt
            case PromptEnd::no_connection:
                continue;
            case PromptEnd::connected:
                break;
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
