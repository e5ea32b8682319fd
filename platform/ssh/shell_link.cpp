// The link between an open shell and the local stream socket a session relays.
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

#include "platform/core/event.h"
#include "platform/core/thread.h"
#include "platform/ssh/ssh.h"

namespace varolan::ssh {

namespace {

constexpr std::size_t LINK_BLOCK_SIZE = 4096;
// A BREAK as long as a serial line's classic one.
constexpr std::uint32_t BREAK_MS = 250;

// Bytes taken from one side and not yet given to the other.
struct Block {
    unsigned char bytes[LINK_BLOCK_SIZE];
    std::size_t length = 0;
    std::size_t offset = 0;
    bool empty() const { return offset == length; }
    const unsigned char* data() const { return bytes + offset; }
    std::size_t left() const { return length - offset; }
    void fill(std::size_t n) {
        length = n;
        offset = 0;
    }
};

}  // namespace

struct ShellLink::State {
    std::unique_ptr<Client> client;
    UniqueFd local;
    Event wake;  // set for a BREAK and to stop
    std::atomic<bool> stop{false};
    std::atomic<int> breaks_wanted{0};
    std::atomic<int> breaks_sent{0};
    Thread thread;

    // Link thread only.
    Block to_local;
    Block to_host;
    bool shell_done = false;  // the shell ended (or its connection failed)
    bool local_done = false;  // the local end will send nothing more
    bool eof_given = false;   // the local end was told the shell ended
    bool host_ready = false;  // the last wait saw the host's descriptor ready

    void run();
    bool pass();
    bool take_output();
    void wait();
};

// One pass over both directions. True when anything moved.
bool ShellLink::State::pass() {
    bool moved = false;
    for (int n = breaks_wanted.exchange(0); n > 0; --n) {
        if (!shell_done && client->send_break(BREAK_MS)) {
            breaks_sent.fetch_add(1);
        }
    }
    if (host_ready && !shell_done) {
        host_ready = false;
        if (!client->process()) {
            shell_done = true;
        }
    }
    // Shell to local end: one block at a time, taken only once the last has gone.
    moved = take_output() || moved;
    if (!to_local.empty()) {
        ssize_t n =
            ::send(local.get(), to_local.data(), to_local.left(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            to_local.offset += static_cast<std::size_t>(n);
            moved = true;
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            local_done = true;
        }
    }
    if (shell_done && to_local.empty() && !eof_given) {
        ::shutdown(local.get(), SHUT_WR);
        eof_given = true;
        moved = true;
    }
    // Local end to shell: the same, and only while the library holds no
    // output the host has not taken yet.
    if (!local_done && to_host.empty()) {
        ssize_t n = ::recv(local.get(), to_host.bytes, sizeof to_host.bytes, MSG_DONTWAIT);
        if (n > 0) {
            to_host.fill(static_cast<std::size_t>(n));
            moved = true;
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            local_done = true;
        }
    }
    if (!to_host.empty() && !shell_done && !client->output_pending()) {
        int n = client->write(to_host.data(), to_host.left());
        if (n < 0) {
            shell_done = true;
        } else if (n > 0) {
            to_host.offset += static_cast<std::size_t>(n);
            moved = true;
        }
    }
    // A write that waits for the host's window (or for a key exchange) lets
    // the library read the connection, shell output included: no descriptor
    // shows that output any more, so it is taken now, before any wait.
    moved = take_output() || moved;
    if (shell_done) {
        to_host.fill(0);  // nobody will take it
    }
    return moved;
}

// Takes the next block of shell output when the last one has gone. True when
// a block was taken or the shell turned out to have ended.
bool ShellLink::State::take_output() {
    if (shell_done || !to_local.empty()) {
        return false;
    }
    int n = client->read(to_local.bytes, sizeof to_local.bytes);
    if (n < 0) {
        shell_done = true;
        return true;
    }
    if (n > 0) {
        to_local.fill(static_cast<std::size_t>(n));
        return true;
    }
    return false;
}

void ShellLink::State::wait() {
    pollfd fds[3] = {};
    nfds_t count = 0;
    fds[count++] = {wake.poll_fd(), POLLIN, 0};
    short local_events = 0;
    if (!local_done && to_host.empty()) {
        local_events |= POLLIN;
    }
    if (!to_local.empty()) {
        local_events |= POLLOUT;
    }
    fds[count++] = {local.get(), local_events, 0};
    if (!shell_done) {
        short host_events = POLLIN;
        if (client->output_pending()) {
            host_events |= POLLOUT;
        }
        fds[count++] = {client->poll_fd(), host_events, 0};
    }
    while (::poll(fds, count, -1) < 0 && errno == EINTR) {
    }
    if ((fds[0].revents & POLLIN) != 0) {
        wake.try_consume();
    }
    host_ready = count == 3 && fds[2].revents != 0;
}

void ShellLink::State::run() {
    while (!stop.load(std::memory_order_acquire)) {
        bool moved = pass();
        if (local_done) {
            break;  // the session has ended the connection
        }
        // What the library read during the pass may have opened the host's
        // window, ended a key exchange or brought output after the step
        // that needed it had run: one more pass before any wait.
        if (!shell_done && client->took_input()) {
            moved = true;
        }
        if (!moved) {
            wait();
        }
    }
    client.reset();  // closes the channel and the connection
}

ShellLink::ShellLink(std::unique_ptr<State> state) : state_(std::move(state)) {}

ShellLink::~ShellLink() {
    state_->stop.store(true, std::memory_order_release);
    state_->wake.set();
    if (state_->thread.joinable()) {
        state_->thread.join();
    }
}

std::unique_ptr<ShellLink> ShellLink::start(std::unique_ptr<Client> client, UniqueFd* local_end) {
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return nullptr;
    }
    UniqueFd session_end(pair[0]);
    auto state = std::make_unique<State>();
    state->local.reset(pair[1]);
    state->client = std::move(client);
    if (!state->wake.create(false, false)) {
        return nullptr;
    }
    State* shared = state.get();
    std::unique_ptr<ShellLink> link(new ShellLink(std::move(state)));
    if (!shared->thread.start([shared] { shared->run(); })) {
        return nullptr;
    }
    *local_end = std::move(session_end);
    return link;
}

void ShellLink::request_break() {
    state_->breaks_wanted.fetch_add(1);
    state_->wake.set();
}

int ShellLink::breaks_sent() const {
    return state_->breaks_sent.load();
}

}  // namespace varolan::ssh
