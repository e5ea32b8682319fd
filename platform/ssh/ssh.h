// SSH connections to hosts: the client side of one connection (handshake,
// host key, authentication, an interactive shell), the gateway's own key, and
// a link that carries an open shell as a plain local byte stream.
//
// The rest of the gateway never sees the SSH library: it gets a Client from
// new_client(), which tests can replace with set_client_factory(). A Client is
// used by one thread at a time. Every wait of the real client is bounded by
// CLIENT_TIMEOUT_SECONDS; once the shell is open its I/O does not wait at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/core/fd.h"

namespace varolan::ssh {

// Longest wait for a host during the handshake, authentication and the
// opening of the shell.
inline constexpr long CLIENT_TIMEOUT_SECONDS = 30;

inline constexpr std::size_t KEY_TYPE_SIZE = 32;     // "ssh-ed25519", "ecdsa-sha2-nistp256"
inline constexpr std::size_t FINGERPRINT_SIZE = 64;  // "SHA256:" and 43 base64 characters
inline constexpr std::size_t TEXT_SIZE = 256;        // a server's prompt or banner line, cut
inline constexpr std::size_t MAX_PROMPTS = 8;        // keyboard-interactive prompts in one round

enum class HostKeyCheck {
    known,    // recorded, and the same key
    unknown,  // no key recorded for this host (or no known-hosts file yet)
    changed,  // another key is recorded for this host
    error,    // the file cannot be read, or the key cannot be taken
};

enum class AuthResult {
    success,
    denied,   // try again, or another method
    partial,  // that method was accepted; the host wants another one as well
    info,     // keyboard-interactive: questions to answer
    failed,   // the connection failed (the host closed it, an error, a timeout)
};

// Authentication methods a host offers (bits).
inline constexpr unsigned METHOD_PUBLICKEY = 1;
inline constexpr unsigned METHOD_KBDINT = 2;
inline constexpr unsigned METHOD_PASSWORD = 4;

// One round of keyboard-interactive questions, cut to the buffers.
struct KbdintRound {
    char name[TEXT_SIZE] = {};
    char instruction[TEXT_SIZE] = {};
    std::size_t count = 0;
    struct Prompt {
        char text[TEXT_SIZE] = {};
        bool echo = false;
    } prompts[MAX_PROMPTS];
};

class Client {
  public:
    virtual ~Client() = default;

    // Takes over `socket`, a TCP connection to `host` (the name typed, the
    // name the known-hosts file records) at `port`, and runs the SSH
    // handshake. False on failure (error_text() says why).
    virtual bool handshake(UniqueFd socket, const char* host, std::uint16_t port) = 0;
    // The host's key: its type name and SHA256 fingerprint ("SHA256:...").
    virtual bool host_key(char* type, char* fingerprint) = 0;
    // Looks the host's key up in `known_hosts`.
    virtual HostKeyCheck check_host_key(const char* known_hosts) = 0;
    // Appends the host's key to `known_hosts` (created owner-only when missing).
    virtual bool record_host_key(const char* known_hosts) = 0;

    // Names the user and asks whether the host lets them in without any
    // method (success), else which methods it offers (methods()).
    virtual AuthResult auth_none(const char* user) = 0;
    virtual unsigned methods() = 0;
    // Public key authentication with the private key in `key_file`, only when
    // the host accepts that key (denied otherwise, nothing else is tried).
    virtual AuthResult auth_publickey(const char* key_file) = 0;
    virtual AuthResult auth_password(const char* password) = 0;
    // Keyboard-interactive: the first call starts it, every later call sends
    // the answers given since. `info` fills `round` with the next questions.
    virtual AuthResult auth_kbdint(KbdintRound* round) = 0;
    virtual bool kbdint_answer(std::size_t index, const char* answer) = 0;

    // Opens a session channel with a pty of this terminal type and size, and
    // starts the user's shell.
    virtual bool open_shell(const char* terminal_type, int columns, int rows) = 0;

    // After open_shell, from one thread, none of these waits:
    // descriptor to wait on for input (and for output while output_pending()).
    virtual int poll_fd() const = 0;
    virtual bool output_pending() = 0;
    // Handles what has arrived from the host (window changes, the shell's
    // output into the library's bounded window, its end) and sends what the
    // library holds for it, without taking any shell output. False when the
    // connection failed.
    virtual bool process() = 0;
    // Shell output: bytes read, 0 when none now, -1 when the shell has ended.
    virtual int read(void* buffer, std::size_t size) = 0;
    // Shell input: bytes the host takes now (0 while its window is closed, or
    // during a key exchange), -1 when the connection failed.
    virtual int write(const void* data, std::size_t size) = 0;
    // True when the library has read from the connection since the last
    // call. Any of the calls above may read it, and what comes in can let
    // an earlier call do more now (output to take, the host's window opened,
    // a key exchange ended) while no descriptor shows it: the caller makes
    // its calls again before it waits on poll_fd().
    virtual bool took_input() = 0;
    // A BREAK of `milliseconds` on the shell's terminal.
    virtual bool send_break(std::uint32_t milliseconds) = 0;

    // Why the last operation failed (never null).
    virtual const char* error_text() = 0;
};

// A new client (the SSH library's, unless a test installed a factory).
std::unique_ptr<Client> new_client();
// The SSH library's client, every wait for the host bounded by `timeout_seconds`
// (new_client() gives CLIENT_TIMEOUT_SECONDS).
std::unique_ptr<Client> new_library_client(long timeout_seconds);
using ClientFactory = std::function<std::unique_ptr<Client>()>;
// Installs `factory` (empty restores the real client).
void set_client_factory(ClientFactory factory);

// --- the gateway's own key ------------------------------------------------------

enum class KeyFile { created, present, failed };
// Makes an ed25519 key at `path` (owner-only) and its public half at
// `path`.pub when `path` does not exist yet; an existing file is left alone.
// Made by root, both belong to the owner of `owner_like` (the store, which
// belongs to the account the service runs as). `error` (TEXT_SIZE bytes)
// says why on failure.
KeyFile make_identity(const char* path, const char* owner_like, char* error);

// --- the shell as a local stream ------------------------------------------------

// Carries an open shell as a local stream socket: what is written to the
// other end goes to the shell, what the shell writes can be read there. One
// thread of its own moves the bytes, never holding more than one block each
// way, so a side that does not read holds the other back (nothing is lost,
// nothing piles up). When the shell ends, the other end reads end-of-file;
// when the other end is shut down or closed, the link ends the connection.
class ShellLink {
  public:
    ~ShellLink();  // ends the connection and joins the thread
    ShellLink(const ShellLink&) = delete;
    ShellLink& operator=(const ShellLink&) = delete;

    // Starts the link for `client` (its shell open). `*local_end` receives the
    // end for the session. Null when the socket or the thread cannot be made.
    static std::unique_ptr<ShellLink> start(std::unique_ptr<Client> client, UniqueFd* local_end);

    // Asks for a BREAK on the shell's terminal (any thread).
    void request_break();
    // BREAKs sent so far (tests).
    int breaks_sent() const;

  private:
    struct State;
    explicit ShellLink(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace varolan::ssh
