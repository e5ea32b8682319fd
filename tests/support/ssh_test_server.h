// An SSH host made with the SSH library, for faults that a real server does
// not make on request: closing the connection at the first authentication
// request, or, once the shell is open, never reading again. Listens on a free
// port of a loopback address (IPv4 or IPv6) with a fresh host key; serves one
// connection at a time on a thread of its own; accepts any password.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace varolan::test {

class SshTestServer {
  public:
    enum class Fault {
        close_at_auth,  // the connection ends at the first authentication request
        stop_reading,   // the shell is opened, greets with "ready\r\n", then reads nothing
        // The shell greets likewise, then answers every byte b it reads with
        // b * 256 bytes of output, sent as one packet.
        blocks_on_input,
    };
    explicit SshTestServer(Fault fault, const char* address = "127.0.0.1");
    ~SshTestServer();  // ends the connection being served and the thread
    SshTestServer(const SshTestServer&) = delete;
    SshTestServer& operator=(const SshTestServer&) = delete;

    bool ok() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }
    // Connections whose shell was opened so far.
    int shells() const { return shells_.load(); }
    // Blocks of output handed to the connection so far (blocks_on_input).
    int blocks() const { return blocks_.load(); }

  private:
    void run();
    void serve(void* session);  // an ssh_session

    Fault fault_;
    void* bind_ = nullptr;  // an ssh_bind
    int wake_ = -1;         // eventfd: readable once the server is to end
    std::uint16_t port_ = 0;
    std::atomic<int> shells_{0};
    std::atomic<int> blocks_{0};
    std::thread thread_;
};

}  // namespace varolan::test
