// The real tarnix program for robustness tests: started through the service
// manager on a temporary store and runtime directory, with helpers to write
// store values, to count the service's descriptors and threads, and a raw
// loopback host whose connections the test drives itself (resets, never
// reading). Pipe users are plain sockets the test reads and writes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/scm/scm.h"
#include "tests/support/process.h"

namespace varolan::robust {

using namespace std::chrono_literals;

// Polls `condition` every few milliseconds until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A listening TCP socket on 127.0.0.1 whose accepted connections belong to the
// test (plain descriptors).
class RawHost {
  public:
    RawHost();
    ~RawHost();
    RawHost(const RawHost&) = delete;
    RawHost& operator=(const RawHost&) = delete;
    bool ok() const { return fd_ >= 0; }
    std::uint16_t port() const { return port_; }
    // The next connection (-1 when none arrives in time). The caller owns it.
    int accept(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// How long a host may take nothing before the gateway counts it as stuck.
constexpr auto kStuckHost = 3s;

// Writes `chunk` again and again on `fd` (made non-blocking) until nothing
// has gone for `quiet`: the peer's side and everything between are full.
// Returns the bytes sent.
std::size_t fill_until_held(int fd, const std::string& chunk,
                            std::chrono::milliseconds quiet = 500ms);
// Sends one message on a non-blocking `fd`, waiting for room up to `timeout`.
bool send_within(int fd, const std::string& message, std::chrono::milliseconds timeout);
// Time passed since `t`.
std::chrono::milliseconds since(std::chrono::steady_clock::time_point t);

// Closes `fd` with SO_LINGER 0: the peer sees a reset.
void reset_connection(int fd);
// Reads what arrives on `fd` until `needle` is in `seen` or the timeout.
bool read_until(int fd, std::string& seen, const std::string& needle,
                std::chrono::milliseconds timeout = std::chrono::seconds(20));
// True when the peer of `fd` closed (EOF or reset) within the timeout,
// discarding data before it.
bool wait_eof(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A pipe user: one SOCK_SEQPACKET connection to the gateway's pipe.
class PipeUser {
  public:
    PipeUser() = default;
    ~PipeUser();
    PipeUser(PipeUser&& other) noexcept;
    PipeUser& operator=(PipeUser&&) = delete;
    PipeUser(const PipeUser&) = delete;

    bool connect();  // to the pipe of $VAROLAN_RUNTIME_DIR
    // Connects and waits for the prompt, trying again when the connection is
    // refused or dropped before the prompt, for at most `bound` in all.
    bool open_session(std::chrono::milliseconds bound = std::chrono::seconds(30));
    int fd() const { return fd_; }
    // One message; waits for room at most 20 s.
    bool send(const std::string& message);
    bool type(const std::string& keys);  // one message per byte
    // Collects output until `needle` has arrived; returns everything up to and
    // including it (removed from what is kept), or what came when it failed.
    std::string read_until(const std::string& needle,
                           std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool got(const std::string& needle,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool wait_closed(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void close();

  private:
    int fd_ = -1;
    std::string pending_;
    bool closed_ = false;
};

// Descriptors and threads of a process at one moment.
struct Census {
    int fds = 0;
    int threads = 0;
    bool operator==(const Census&) const = default;
};
std::string to_string(const Census& c);

class Tarnix {
  public:
    Tarnix();
    ~Tarnix();  // stops the service (or kills it) and reaps it

    test::TempDir& dir() { return dir_; }
    std::string runtime_dir() const { return dir_.str("run"); }
    std::string store_file() const { return dir_.str("registry.db"); }

    // "tarnix install" (registration and product key).
    bool install();
    // Product key or port key values (key below the product key; "" = product key).
    bool set_dword(const std::string& subkey, const char* name, std::uint32_t value);
    bool set_string(const std::string& subkey, const char* name, const std::string& value);
    bool set_raw(const std::string& subkey, const char* name, std::uint32_t type,
                 const std::string& bytes);
    bool read_dword(const std::string& subkey, const char* name, std::uint32_t* value);

    // Starts the service and waits until its pipe takes clients.
    bool start();
    // Starts tarnix as systemd does: the service marker in its environment and
    // standard error on a file that JOURNAL_STREAM names, so that its log
    // lines carry their priorities. Waits until its pipe exists, or until the
    // service has ended (see alive(), exit_status()).
    bool start_as_unit();
    // What the service started by start_as_unit() has logged so far.
    std::string log() const;
    // Waits until the log holds `needle`.
    bool logged(const std::string& needle, std::chrono::milliseconds timeout = 30s) const;
    bool stop();  // STOP through the manager, then waits for the process to end
    int pid() const { return pid_; }
    bool alive() const;
    // The exit status of a service that alive() found ended (-1 before).
    int exit_status() const { return exit_status_; }
    Census census() const;
    // Waits until the service holds exactly `expected` again.
    bool settles_to(const Census& expected, std::chrono::milliseconds timeout = 30s) const;
    // The census once one pipe user has come and gone (first-use allocations
    // done), with the service idle.
    Census idle_census();

    int run(const std::string& args);  // "tarnix <args>", exit status
    // "<prefix> tarnix <args>": its standard output, and its exit status in `*status`.
    std::string output(const std::string& args, int* status, const std::string& prefix = "");

  private:
    test::TempDir dir_;
    test::ScopedEnv store_;
    test::ScopedEnv runtime_;
    test::ScopedEnv marker_;
    test::ScopedEnv notify_;
    int pid_ = -1;
    mutable int exit_status_ = -1;
};

// Another process (the sqlite3 shell) holding the store's write lock until
// release(). Readers go on meanwhile (the store's WAL journal lets them);
// every writer waits.
class StoreLock {
  public:
    explicit StoreLock(const std::string& store_file);
    ~StoreLock();  // releases
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    bool locked() const { return locked_; }  // the shell reported the lock taken
    void release();

  private:
    int pid_ = -1;
    int to_shell_ = -1;
    bool locked_ = false;
};

// Raises this process's descriptor limit (soft up to the hard limit) so that
// it and the services it starts can hold `wanted` descriptors. Returns the new
// soft limit.
long raise_fd_limit(long wanted);

// An unsigned environment value, or `fallback`.
long env_number(const char* name, long fallback);

}  // namespace varolan::robust
