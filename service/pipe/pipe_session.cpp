#include "service/pipe/pipe_session.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "common/store_layout.h"
#include "common/store_ops.h"
#include "platform/core/account.h"
#include "platform/core/errno_status.h"
#include "platform/core/event.h"
#include "platform/core/log.h"
#include "platform/core/thread.h"
#include "platform/core/wait_set.h"
#include "platform/pipe/pipe.h"
#include "service/pipe/admission.h"
#include "service/session/globals.h"
#include "service/session/relay.h"
#include "service/session/session.h"

namespace varolan::service {

namespace {

std::atomic<int> sessions_running{0};
std::atomic<int> sessions_waiting{0};

// A stopped listener stays stopped: a successor that comes to create its
// instance after stop_pipe_listener ends instead of making a fresh listener
// that nobody would ever shut down. Guards the creation of instances.
std::mutex listener_mutex;
bool listener_stopped = false;  // guarded by listener_mutex
// Wakes a listener that pauses between tries once the listener is stopped.
std::condition_variable listener_stop_signal;

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

bool listener_is_stopped() {
    std::lock_guard<std::mutex> lock(listener_mutex);
    return listener_stopped;
}

// Trouble of the listener: logged once when it starts, with its cause, and
// once when it is over. Clients that cannot be taken (no descriptor, no
// memory, no pipe) are over when the listener waits for clients again with
// none left in its queue, so that a shortage that lets a client through now
// and then is one episode, not a pair of lines per client. A thread that
// cannot be started is over when one could be.
enum class Trouble { none, taking, threads };
std::mutex trouble_mutex;
Trouble trouble = Trouble::none;  // guarded by trouble_mutex

void note_listener_trouble(Trouble kind, const char* what, const std::string& cause) {
    std::lock_guard<std::mutex> lock(trouble_mutex);
    if (trouble == Trouble::none) {
        trouble = kind;
        log_warning("pipe listener: %s: %s; trying again", what, cause.c_str());
    }
}

void note_listener_trouble(Trouble kind, const char* what, int err) {
    note_listener_trouble(kind, what, std::string(system_error_text(err)));
}

void note_listener_well(Trouble kind) {
    std::lock_guard<std::mutex> lock(trouble_mutex);
    if (trouble == kind) {
        trouble = Trouble::none;
        log_notice("pipe listener: taking clients again");
    }
}

// Waits between tries while the listener is in trouble: 10 ms at first,
// doubling up to a second, so that a lasting shortage costs one try a second.
// Needs no descriptor, and a stop of the listener ends the wait.
class Backoff {
  public:
    void wait() {
        std::unique_lock<std::mutex> lock(listener_mutex);
        listener_stop_signal.wait_for(lock, std::chrono::milliseconds(delay_),
                                      [] { return listener_stopped; });
        delay_ = delay_ * 2 < MAX_DELAY_MS ? delay_ * 2 : MAX_DELAY_MS;
    }

  private:
    static constexpr std::uint32_t FIRST_DELAY_MS = 10;
    static constexpr std::uint32_t MAX_DELAY_MS = 1000;
    std::uint32_t delay_ = FIRST_DELAY_MS;
};

constexpr char too_many_sessions_text[] = "Varolan: too many sessions, try again later.\r\n";

std::atomic<std::uint32_t> session_numbers{0};

// The client a pipe session serves, as the log names it.
struct Client {
    std::uint32_t number = 0;
    std::uint32_t uid = 0;
    char account[ACCOUNT_NAME_SIZE] = {};
};

// Tells the client that the gateway is full and closes its instance.
void refuse(pipe::NamedPipe* instance, const Client& client, const char* why) {
    DWORD n = 0;
    instance->write(too_many_sessions_text, sizeof too_many_sessions_text - 1, &n);
    instance->close();
    log_notice("pipe client of account %s (uid %u) refused: %s", client.account,
               static_cast<unsigned>(client.uid), why);
}

// Waits for the client this thread will serve, admits it within the session
// limits, and starts the successor that waits for the next client. Until all
// of that has worked this thread stays the listener: a failed accept or a
// successor that cannot be started is tried again (after a pause), and a
// client over a limit, or one no successor could be started for, is told so
// and closed. False only when the listener was stopped.
bool take_client(const pipe::SecurityAttributes& security, RunningMark& mark,
                 pipe::NamedPipe* instance, Client* client) {
    Backoff backoff;
    for (;;) {
        if (!create_instance(security, instance)) {
            if (listener_is_stopped()) {
                return false;
            }
            const std::string why = pipe::last_create_error();
            note_listener_trouble(Trouble::taking, "cannot make the pipe",
                                  why.empty() ? "no reason given" : why);
            backoff.wait();
            continue;
        }
        // The trouble is over once the listener has caught up with its queue.
        if (!instance->clients_waiting()) {
            note_listener_well(Trouble::taking);
        }
        mark.set_waiting(true);
        const DWORD connected = instance->connect();
        mark.set_waiting(false);
        if (connected == ERROR_PIPE_NOT_CONNECTED || listener_is_stopped()) {
            return false;
        }
        if (connected != ERROR_SUCCESS) {
            note_listener_trouble(Trouble::taking, "cannot take a client",
                                  instance->last_system_error());
            instance->close();
            backoff.wait();
            continue;
        }
        pipe::NamedPipe::PeerCredentials peer;
        instance->peer_credentials(&peer);
        client->uid = peer.uid;
        account_name(peer.uid, client->account);

        const Admission admission = admit_pipe_session(client->uid);
        if (admission != Admission::admitted) {
            refuse(instance, *client,
                   admission == Admission::over_total ? "Maximum Sessions reached"
                                                      : "Maximum Sessions Per User reached");
            continue;
        }
        // The successor waits for the next client while this thread serves its own.
        if (!start_detached([] { pipe_session(); }, session_stack_size)) {
            const int err = last_thread_error();
            release_pipe_session(client->uid);
            note_listener_trouble(Trouble::threads, "cannot start a thread for the next client",
                                  err);
            refuse(instance, *client, "no thread for the next client");
            backoff.wait();
            continue;
        }
        note_thread_created();
        note_listener_well(Trouble::threads);
        client->number = session_numbers.fetch_add(1) + 1;
        return true;
    }
}

// The user side is gone: the host connection goes with it, then the instance.
void end_session(SessionRecord& record) {
    end_host_connection(record, HostEnd::user_gone);
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

// The relay's descriptors: the client's pipe, the reader's hand-over event,
// the host's socket (only while bytes wait for it or its closing matters) and
// the pause gate, registered once for the whole connection.
enum { CLIENT, READER, HOST, GATE };

// Waits until the client has sent something (when there is room for it) or
// taken what waits for it, the reader has signalled a block or the
// connection's end, the host has taken what waits for it, the service pauses,
// or a timed condition is due; anything already there ends the wait at once.
// The client's hang-up is always heard. An idle session waits without a time
// limit: every condition a pass looks at wakes it. Returns what the wait
// returned.
int wait_for_relay_work(WaitSet& waits, const PollFd* fds, SessionRecord& record,
                        pipe::NamedPipe& instance, bool want_input) {
    const RelayTimers timers = relay_timers(record);
    waits.set_events(CLIENT,
                     static_cast<short>((want_input ? poll_in : 0) |
                                        (user_output_waiting(record) ? poll_out : 0) | poll_hup));
    waits.set_events(HOST, static_cast<short>((host_output_waiting(record) ? poll_out : 0) |
                                              (timers.host_end ? poll_rdhup : 0)));
    std::uint32_t timeout = timers.wait_ms;
    if (want_input && instance.buffered() > 0) {
        timeout = 0;  // the rest of a long message is already here
    } else if (fds[GATE].fd < 0 && timeout > GATE_POLL_MS) {
        timeout = GATE_POLL_MS;  // a gate that cannot be polled is looked at
    }
    return waits.wait(timeout);
}

// Moves data between the client and the host until the client escapes, the
// host closes, or the client goes. Nothing here waits for the client or the
// host to take data: what they do not take waits, and the pass waits for them
// to take more while it serves everything else.
RelayEnd relay(PipeSessionState& state, PipeUserSide& side) {
    SessionRecord& record = state.record;
    pipe::NamedPipe& instance = side.instance();
    PollFd fds[4] = {{instance.poll_fd(), poll_in, 0},
                     {record.block_event.poll_fd(), poll_in, 0},
                     {record.host_socket.fd(), 0, 0},
                     {gate_poll_fd(), poll_in, 0}};
    WaitSet waits(fds, 4);
    waits.register_all();  // refused: every wait is a poll() instead
    for (;;) {
        gate_pass();
        const bool want_input = wants_user_input(record);
        const int ready = wait_for_relay_work(waits, fds, record, instance, want_input);
        if (ready > 0 && fds[GATE].revents != 0) {
            continue;  // paused: to the gate before anything moves
        }
        // The signal is only a wake-up; the block itself is in the record.
        if (ready > 0 && fds[READER].revents != 0) {
            record.block_event.try_consume();
        }
        const bool rest_waiting = want_input && instance.buffered() > 0;
        const short client = ready < 0 ? static_cast<short>(poll_in) : fds[CLIENT].revents;
        const bool client_hung_up = (client & (poll_hup | poll_err)) != 0;
        if (want_input && (rest_waiting || (client & poll_in) != 0 || client_hung_up)) {
            switch (take_client_input(state, instance)) {
                case ClientInput::gone:
                    end_session(record);
                    return RelayEnd::session_over;
                case ClientInput::escape:
                    end_host_connection(
                        record, host_stuck(record) ? HostEnd::escape_stuck_host : HostEnd::escape);
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
            end_host_connection(record, HostEnd::host_closed);
            return RelayEnd::to_prompt;
        }
        std::uint32_t written = 0;
        if (deliver_host_block(record, &written) == HostBlock::user_failed) {
            end_session(record);
            return RelayEnd::session_over;
        }
        if (!send_to_host(record)) {
            end_host_connection(record, HostEnd::host_failed);
            return RelayEnd::to_prompt;
        }
        if (host_gone_behind_stuck_user(record)) {
            end_host_connection(record, HostEnd::user_took_nothing);
            return RelayEnd::to_prompt;
        }
    }
}

}  // namespace

void pipe_session() {
    RunningMark mark;
    // Security: a null DACL, so that everybody on the machine may open the pipe.
    pipe::SecurityDescriptor descriptor;
    pipe::initialize_security_descriptor(&descriptor, pipe::SECURITY_DESCRIPTOR_REVISION);
    pipe::set_security_descriptor_dacl(&descriptor, true, nullptr, false);
    pipe::SecurityAttributes security;
    security.descriptor = &descriptor;
    security.inherit_handle = true;

    std::unique_ptr<PipeSessionState> state;
    Backoff backoff;
    while (!(state = std::unique_ptr<PipeSessionState>(new (std::nothrow) PipeSessionState))) {
        if (listener_is_stopped()) {
            return;
        }
        note_listener_trouble(Trouble::taking, "no memory for a session", ENOMEM);
        backoff.wait();
    }
    SessionRecord& record = state->record;

    // The terminal type as it is while this thread listens; no default.
    char terminal_type[REG_STRING_SIZE] = {};
    if (!reg_read_string(layout::PRODUCT_KEY, layout::VALUE_TERMINAL_TYPE, terminal_type)) {
        terminal_type[0] = '\0';
    }
    set_terminal_type(record, terminal_type);

    pipe::NamedPipe instance;
    Client client;
    if (!take_client(security, mark, &instance, &client)) {
        return;  // the listener was stopped
    }
    AdmittedSession admitted(client.uid);
    connection_count.fetch_add(1);
    std::snprintf(record.session_name, sizeof record.session_name, "pipe session %u (%s)",
                  static_cast<unsigned>(client.number), client.account);
    log_info("pipe session %u: account %s (uid %u) connected", static_cast<unsigned>(client.number),
             client.account, static_cast<unsigned>(client.uid));
    list_session(record.listing, SessionKind::pipe, client.account, SessionState::prompt);

    format_session_prompt(state->prompt, PIPE_NAME);
    auto side_owner = std::make_unique<PipeUserSide>(std::move(instance));
    PipeUserSide* side = side_owner.get();
    record.user_handle = std::move(side_owner);

    for (;;) {
        const PromptEnd end = run_command_prompt(record, state->prompt);
        if (end == PromptEnd::user_gone) {
            break;  // quit, or the client went at the prompt
        }
        if (end == PromptEnd::no_connection) {
            continue;
        }
        if (relay(*state, *side) == RelayEnd::session_over) {
            break;
        }
    }
    unlist_session(record.listing);
    log_info("pipe session %u: account %s (uid %u) ended", static_cast<unsigned>(client.number),
             client.account, static_cast<unsigned>(client.uid));
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
    listener_stop_signal.notify_all();
}

void reset_pipe_listener() {
    std::lock_guard<std::mutex> lock(listener_mutex);
    listener_stopped = false;
}

}  // namespace varolan::service
