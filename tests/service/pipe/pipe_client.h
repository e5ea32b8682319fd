// A user of the gateway's pipe for tests: sends messages (one per typed byte,
// as tarnix-connect does) and collects what the gateway writes.
#pragma once

#include <chrono>
#include <deque>
#include <string>

#include "platform/pipe/pipe.h"
#include "tests/support/tcp_host.h"

namespace varolan::test {

class PipeClient {
  public:
    // Connects to a socket path or "\\.\PIPE\<name>".
    bool connect(const std::string& path);
    bool send(const std::string& message);  // one message; waits for room 20 s at most
    bool type(const std::string& keys);     // one message per byte
    // Collects output until `needle` is in it (returned and removed from the
    // collected text with everything before it), the pipe closes, or `timeout`.
    std::string read_until(const std::string& needle,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Everything that arrives until `quiet` passes without output.
    std::string read_quiet(std::chrono::milliseconds quiet = std::chrono::milliseconds(300));
    // Waits until the gateway has closed the pipe (collecting what comes before).
    bool wait_closed(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool closed() const { return closed_; }
    void close() { pipe_.close(); }
    pipe::NamedPipe& instance() { return pipe_; }

  private:
    // Reads what is there within `wait_ms`; false when nothing came.
    bool pump(int wait_ms);

    pipe::NamedPipe pipe_;
    std::string pending_;
    bool closed_ = false;
};

// Connects a new client of `pipe` (kept in `clients`) and reads its first
// prompt into `first_prompt` when given.
PipeClient& connect_client(std::deque<PipeClient>& clients, const std::string& pipe,
                           std::string* first_prompt = nullptr);
// Types "o 127.0.0.1" at the prompt, expects the echo and "Trying..." text, and
// waits until `host` has seen `connections_after` connections.
bool open_test_host(PipeClient& c, const TcpHost& host, int connections_after);
// The default prompt of a pipe session on this machine.
std::string pipe_default_prompt();

}  // namespace varolan::test
