// The SSH client on the SSH library: one session and its shell channel.
#include <libssh/libssh.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/core/clock.h"
#include "platform/ssh/ssh.h"
#include "platform/ssh/ssh_files.h"

namespace varolan::ssh {

namespace {

constexpr std::uint64_t STEP_POLL_MS = 100;
// Looks at the shell's streams per read while the connection keeps bringing
// bytes in.
constexpr int MAX_READ_ROUNDS = 16;

// Copies `text` (may be null) into `out` of `size` bytes, cut to fit.
void copy_text(char* out, std::size_t size, const char* text) {
    std::snprintf(out, size, "%s", text != nullptr ? text : "");
}

AuthResult auth_result(int rc) {
    switch (rc) {
        case SSH_AUTH_SUCCESS:
            return AuthResult::success;
        case SSH_AUTH_DENIED:
            return AuthResult::denied;
        case SSH_AUTH_PARTIAL:
            return AuthResult::partial;
        case SSH_AUTH_INFO:
            return AuthResult::info;
        default:
            return AuthResult::failed;
    }
}

class LibsshClient final : public Client {
  public:
    explicit LibsshClient(long timeout_seconds) : timeout_seconds_(timeout_seconds) {
        static std::once_flag init;
        std::call_once(init, [] { ssh_init(); });
        session_ = ssh_new();
        ssh_set_counters(session_, &counter_, nullptr);
    }
    ~LibsshClient() override {
        if (event_ != nullptr) {
            ssh_event_remove_session(event_, session_);
            ssh_event_free(event_);
        }
        if (channel_ != nullptr) {
            // The session is non-blocking by now: closing sends what it can
            // and never waits for a host that takes nothing.
            ssh_channel_free(channel_);
        }
        if (session_ != nullptr) {
            ssh_disconnect(session_);
            ssh_free(session_);
        }
        close_own_socket();
    }
    LibsshClient(const LibsshClient&) = delete;
    LibsshClient& operator=(const LibsshClient&) = delete;

    bool handshake(UniqueFd socket, const char* host, std::uint16_t port) override {
        if (session_ == nullptr) {
            copy_text(error_, sizeof error_, "out of memory");
            return false;
        }
        // Nothing of the account's or the machine's SSH set-up takes part: no
        // configuration files (and so no proxy commands), no agent, no default
        // keys (only the calls below authenticate); only what the gateway
        // passes here.
        bool off = false;
        long timeout = timeout_seconds_;
        unsigned int port_number = port;
        int fd = socket.get();
        // The library uses the socket but may leave it open; it is closed
        // here once the library is done with it (close_own_socket).
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            copy_text(error_, sizeof error_, "no connection");
            return false;
        }
        socket_fd_ = socket.release();
        socket_dev_ = st.st_dev;
        socket_ino_ = st.st_ino;
        if (ssh_options_set(session_, SSH_OPTIONS_PROCESS_CONFIG, &off) != SSH_OK ||
            ssh_options_set(session_, SSH_OPTIONS_HOST, host) != SSH_OK ||
            ssh_options_set(session_, SSH_OPTIONS_PORT, &port_number) != SSH_OK ||
            ssh_options_set(session_, SSH_OPTIONS_TIMEOUT, &timeout) != SSH_OK ||
            ssh_options_set(session_, SSH_OPTIONS_FD, &fd) != SSH_OK) {
            take_error();
            return false;
        }
        // Every step until the shell is open runs without blocking inside
        // the library, so that a host that closes is noticed at once (the
        // library would otherwise keep waiting for an answer until its
        // timeout) and no wait lasts longer than the client's time limit.
        ssh_set_blocking(session_, 0);
        if (run_step([this] { return ssh_connect(session_); }, SSH_AGAIN) != SSH_OK) {
            take_error();
            return false;
        }
        return true;
    }

    bool host_key(char* type, char* fingerprint) override {
        type[0] = '\0';
        fingerprint[0] = '\0';
        ssh_key key = nullptr;
        if (ssh_get_server_publickey(session_, &key) != SSH_OK) {
            take_error();
            return false;
        }
        unsigned char* hash = nullptr;
        std::size_t length = 0;
        bool ok = ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) == 0;
        if (ok) {
            char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
            copy_text(fingerprint, FINGERPRINT_SIZE, text);
            ssh_string_free_char(text);
            ssh_clean_pubkey_hash(&hash);
            copy_text(type, KEY_TYPE_SIZE, ssh_key_type_to_char(ssh_key_type(key)));
        }
        ssh_key_free(key);
        return ok && fingerprint[0] != '\0';
    }

    HostKeyCheck check_host_key(const char* known_hosts) override {
        // The gateway's file is the only one consulted, and only when nobody
        // else could have put a key into it.
        if (!private_file(known_hosts, true, error_)) {
            return HostKeyCheck::error;
        }
        if (ssh_options_set(session_, SSH_OPTIONS_KNOWNHOSTS, known_hosts) != SSH_OK ||
            ssh_options_set(session_, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, known_hosts) != SSH_OK) {
            take_error();
            return HostKeyCheck::error;
        }
        switch (ssh_session_is_known_server(session_)) {
            case SSH_KNOWN_HOSTS_OK:
                return HostKeyCheck::known;
            case SSH_KNOWN_HOSTS_CHANGED:
            case SSH_KNOWN_HOSTS_OTHER:  // a key of another type is recorded
                return HostKeyCheck::changed;
            case SSH_KNOWN_HOSTS_UNKNOWN:
            case SSH_KNOWN_HOSTS_NOT_FOUND:
                return HostKeyCheck::unknown;
            default:
                take_error();
                return HostKeyCheck::error;
        }
    }

    bool record_host_key(const char* known_hosts) override {
        char* line = nullptr;
        if (ssh_session_export_known_hosts_entry(session_, &line) != SSH_OK || line == nullptr) {
            take_error();
            return false;
        }
        bool ok = append_known_host(known_hosts, line, error_);
        ssh_string_free_char(line);
        return ok;
    }

    AuthResult auth_none(const char* user) override {
        if (ssh_options_set(session_, SSH_OPTIONS_USER, user) != SSH_OK) {
            take_error();
            return AuthResult::failed;
        }
        return checked(auth_step([this] { return ssh_userauth_none(session_, nullptr); }));
    }

    unsigned methods() override {
        int offered = ssh_userauth_list(session_, nullptr);
        unsigned out = 0;
        if ((offered & SSH_AUTH_METHOD_PUBLICKEY) != 0) {
            out |= METHOD_PUBLICKEY;
        }
        if ((offered & SSH_AUTH_METHOD_INTERACTIVE) != 0) {
            out |= METHOD_KBDINT;
        }
        if ((offered & SSH_AUTH_METHOD_PASSWORD) != 0) {
            out |= METHOD_PASSWORD;
        }
        return out;
    }

    AuthResult auth_publickey(const char* key_file) override {
        copy_text(error_, sizeof error_, "the host does not accept the key");
        ssh_key key = nullptr;
        if (!private_file(key_file, false, error_)) {
            return AuthResult::denied;
        }
        if (ssh_pki_import_privkey_file(key_file, nullptr, nullptr, nullptr, &key) != SSH_OK) {
            std::snprintf(error_, sizeof error_, "cannot read the key %s", key_file);
            return AuthResult::denied;
        }
        ssh_key pub = nullptr;
        AuthResult result = AuthResult::denied;
        if (ssh_pki_export_privkey_to_pubkey(key, &pub) == SSH_OK) {
            result = checked(auth_step(
                [this, pub] { return ssh_userauth_try_publickey(session_, nullptr, pub); }));
            if (result == AuthResult::success) {
                result = checked(auth_step(
                    [this, key] { return ssh_userauth_publickey(session_, nullptr, key); }));
            }
            ssh_key_free(pub);
        }
        ssh_key_free(key);
        return result;
    }

    AuthResult auth_password(const char* password) override {
        return checked(auth_step(
            [this, password] { return ssh_userauth_password(session_, nullptr, password); }));
    }

    AuthResult auth_kbdint(KbdintRound* round) override {
        AuthResult result =
            checked(auth_step([this] { return ssh_userauth_kbdint(session_, nullptr, nullptr); }));
        if (result != AuthResult::info) {
            return result;
        }
        copy_text(round->name, sizeof round->name, ssh_userauth_kbdint_getname(session_));
        copy_text(round->instruction, sizeof round->instruction,
                  ssh_userauth_kbdint_getinstruction(session_));
        int n = ssh_userauth_kbdint_getnprompts(session_);
        if (n < 0 || static_cast<std::size_t>(n) > MAX_PROMPTS) {
            copy_text(error_, sizeof error_, "too many questions");
            return AuthResult::failed;
        }
        round->count = static_cast<std::size_t>(n);
        for (int i = 0; i < n; ++i) {
            char echo = 0;
            const char* text =
                ssh_userauth_kbdint_getprompt(session_, static_cast<unsigned>(i), &echo);
            copy_text(round->prompts[i].text, TEXT_SIZE, text);
            round->prompts[i].echo = echo != 0;
        }
        return AuthResult::info;
    }

    bool kbdint_answer(std::size_t index, const char* answer) override {
        return ssh_userauth_kbdint_setanswer(session_, static_cast<unsigned>(index), answer) == 0;
    }

    bool open_shell(const char* terminal_type, int columns, int rows) override {
        channel_ = ssh_channel_new(session_);
        if (channel_ == nullptr ||
            run_step([this] { return ssh_channel_open_session(channel_); }, SSH_AGAIN) != SSH_OK ||
            run_step(
                [&] {
                    return ssh_channel_request_pty_size(channel_, terminal_type, columns, rows);
                },
                SSH_AGAIN) != SSH_OK ||
            run_step([this] { return ssh_channel_request_shell(channel_); }, SSH_AGAIN) != SSH_OK) {
            take_error();
            return false;
        }
        // The event lets the link handle incoming packets whatever the
        // shell's output waiting in the library.
        event_ = ssh_event_new();
        if (event_ == nullptr || ssh_event_add_session(event_, session_) != SSH_OK) {
            copy_text(error_, sizeof error_, "cannot watch the connection");
            return false;
        }
        return true;
    }

    bool process() override {
        if (ssh_event_dopoll(event_, 0) == SSH_ERROR) {
            take_error();
            return false;
        }
        return true;
    }

    int poll_fd() const override { return ssh_get_fd(session_); }

    bool output_pending() override {
        return (ssh_get_poll_flags(session_) & SSH_WRITE_PENDING) != 0;
    }

    int read(void* buffer, std::size_t size) override {
        const auto count = static_cast<std::uint32_t>(size);
        // Looking at a stream that holds nothing makes the library read the
        // connection, and what it reads may be for the other stream (the
        // error stream's look can bring in the output): afterwards no
        // descriptor shows those bytes. So both streams are looked at again
        // until a round reads nothing new from the connection; only then
        // does the caller's wait on the descriptor see everything. The bound
        // keeps a host that sends without pause from holding the thread; the
        // caller then learns from took_input() to come back before waiting.
        for (int round = 0; round < MAX_READ_ROUNDS; ++round) {
            const std::uint64_t before = counter_.in_bytes;
            // With a pty the host merges its error output into the output;
            // what still comes on the error stream is shown all the same.
            for (int is_stderr : {0, 1}) {
                int n = ssh_channel_read_nonblocking(channel_, buffer, count, is_stderr);
                if (n > 0) {
                    return n;
                }
                if (n == SSH_ERROR) {
                    take_error();
                    return -1;
                }
            }
            if (counter_.in_bytes == before) {
                break;
            }
        }
        if (ssh_channel_is_eof(channel_) != 0 || ssh_channel_is_closed(channel_) != 0) {
            return -1;
        }
        return 0;
    }

    int write(const void* data, std::size_t size) override {
        std::uint32_t window = ssh_channel_window_size(channel_);
        std::size_t n = size < window ? size : window;
        if (n == 0) {
            // Nothing may go now; let the library read the host's window
            // adjustment (or its close) so that the next try can go on.
            if (ssh_channel_poll(channel_, 0) == SSH_ERROR) {
                take_error();
                return -1;
            }
            return ssh_channel_is_closed(channel_) != 0 ? -1 : 0;
        }
        int w = ssh_channel_write(channel_, data, static_cast<std::uint32_t>(n));
        if (w < 0) {
            take_error();
            return -1;
        }
        return w;
    }

    bool took_input() override {
        const bool took = counter_.in_bytes != seen_in_bytes_;
        seen_in_bytes_ = counter_.in_bytes;
        return took;
    }

    bool send_break(std::uint32_t milliseconds) override {
        return ssh_channel_request_send_break(channel_, milliseconds) == SSH_OK;
    }

    const char* error_text() override { return error_; }

  private:
    // Closes the connection's socket unless the library closed it already: a
    // descriptor of that number that is still the same socket is ours.
    void close_own_socket() {
        struct stat st {};
        if (socket_fd_ >= 0 && ::fstat(socket_fd_, &st) == 0 && st.st_dev == socket_dev_ &&
            st.st_ino == socket_ino_) {
            ::close(socket_fd_);
        }
        socket_fd_ = -1;
    }

    // Repeats `step` while it answers `again` (it waits for the host), with
    // the connection watched in between. Returns what the step returned, or
    // SSH_ERROR when the host closed or did not answer in time.
    template <typename Step>
    int run_step(Step step, int again) {
        const std::uint64_t deadline =
            monotonic_ms() + static_cast<std::uint64_t>(timeout_seconds_) * 1000;
        for (;;) {
            const int rc = step();
            if (rc != again) {
                return rc;
            }
            if (ssh_is_connected(session_) == 0 ||
                (ssh_get_status(session_) & (SSH_CLOSED | SSH_CLOSED_ERROR)) != 0) {
                return SSH_ERROR;  // the library's error says how it ended
            }
            const std::uint64_t now = monotonic_ms();
            if (now >= deadline) {
                std::snprintf(error_, sizeof error_, "no answer from the host within %ld s",
                              timeout_seconds_);
                timed_out_ = true;
                ssh_silent_disconnect(session_);
                return SSH_ERROR;
            }
            // Short waits: the library may hold a whole answer already read.
            pollfd p{ssh_get_fd(session_), POLLIN, 0};
            if ((ssh_get_poll_flags(session_) & SSH_WRITE_PENDING) != 0) {
                p.events |= POLLOUT;
            }
            const std::uint64_t left = deadline - now;
            ::poll(&p, 1, static_cast<int>(left < STEP_POLL_MS ? left : STEP_POLL_MS));
        }
    }
    template <typename Step>
    int auth_step(Step step) {
        const int rc = run_step(step, SSH_AUTH_AGAIN);
        return rc == SSH_ERROR ? SSH_AUTH_ERROR : rc;
    }

    AuthResult checked(int rc) {
        AuthResult r = auth_result(rc);
        if (r == AuthResult::failed) {
            take_error();
        }
        return r;
    }
    void take_error() {
        if (timed_out_) {
            timed_out_ = false;  // error_ says so already
            return;
        }
        const char* text = session_ != nullptr ? ssh_get_error(session_) : nullptr;
        copy_text(error_, sizeof error_, text != nullptr && text[0] != '\0' ? text : "failed");
    }

    const long timeout_seconds_;
    ssh_session session_ = nullptr;
    ssh_channel channel_ = nullptr;
    ssh_event event_ = nullptr;
    // Bytes the library has read from the connection (it adds to it).
    ssh_counter_struct counter_{};
    std::uint64_t seen_in_bytes_ = 0;  // counter_.in_bytes at the last took_input()
    char error_[TEXT_SIZE] = "failed";
    bool timed_out_ = false;
    int socket_fd_ = -1;
    dev_t socket_dev_ = 0;
    ino_t socket_ino_ = 0;
};

std::mutex factory_mutex;
ClientFactory installed_factory;  // guarded by factory_mutex

}  // namespace

std::unique_ptr<Client> new_client() {
    {
        std::lock_guard<std::mutex> lock(factory_mutex);
        if (installed_factory) {
            return installed_factory();
        }
    }
    return new_library_client(CLIENT_TIMEOUT_SECONDS);
}

std::unique_ptr<Client> new_library_client(long timeout_seconds) {
    return std::make_unique<LibsshClient>(timeout_seconds);
}

void set_client_factory(ClientFactory factory) {
    std::lock_guard<std::mutex> lock(factory_mutex);
    installed_factory = std::move(factory);
}

}  // namespace varolan::ssh
