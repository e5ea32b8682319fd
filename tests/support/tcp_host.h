// An in-process TCP host on 127.0.0.1 (or ::1) for tests of host connections: listens on
// an ephemeral port, accepts any number of connections, records what each one
// receives, and sends, echoes or closes on request. All socket work happens on
// the host's own thread; the methods are safe to call from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace varolan::test {

class TcpHost {
  public:
    TcpHost();
    ~TcpHost();  // closes every connection and the listener
    TcpHost(const TcpHost&) = delete;
    TcpHost& operator=(const TcpHost&) = delete;

    // Listens on 127.0.0.1, or on ::1 only (port 0 = ephemeral), and starts
    // the host thread.
    bool start(std::uint16_t port = 0, bool ipv6 = false);
    std::uint16_t port() const { return port_; }

    // Bytes every new connection is sent as soon as it is accepted.
    void set_greeting(std::string bytes);
    // Echo every received byte back on its connection.
    void set_echo(bool on);
    // Close every new connection right after the greeting.
    void set_close_after_greeting(bool on);
    // Stop (or resume) reading every connection: what peers send then waits in
    // the connections, as with a host that has stopped reading. On by default.
    void set_reading(bool on);

    // Connection index -1 = the most recent one. Sending and closing are done by
    // the host thread; these calls return once it has done them. A send (and an
    // echo) waits at most 20 s for a peer that takes nothing, then fails.
    bool send(const std::string& bytes, int index = -1);
    void close_connection(int index = -1);

    int connections() const;  // accepted so far
    // Connections still open on the host's side. A connection is closed by the
    // host as soon as its peer has closed it (or shut its sending side down).
    int open_connections() const;
    std::string received(int index = -1) const;
    // True once the peer of the connection closed or shut down its sending side.
    bool peer_closed(int index = -1) const;

    using Duration = std::chrono::milliseconds;
    static constexpr Duration default_wait{10000};
    bool wait_for_connections(int count, Duration timeout = default_wait) const;
    bool wait_for_received(std::size_t bytes, int index = -1,
                           Duration timeout = default_wait) const;
    bool wait_for_peer_close(int index = -1, Duration timeout = default_wait) const;
    bool wait_for_open_connections(int count, Duration timeout = default_wait) const;
    // Waits until `pred` holds. It is evaluated under the host's lock, so it must
    // not call the host's own methods.
    bool wait_until(const std::function<bool()>& pred, Duration timeout = default_wait) const;

  private:
    struct Connection {
        int fd = -1;
        std::string received;
        bool peer_closed = false;
        bool closed = false;
    };
    struct Command {
        int index = -1;
        bool close = false;
        std::string bytes;
        bool done = false;
        bool ok = false;
    };

    void run();
    void wake();
    int resolve_index(int index) const;  // under lock
    bool post(Command& command);

    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Connection> connections_;
    std::deque<Command*> commands_;
    std::string greeting_;
    bool echo_ = false;
    bool close_after_greeting_ = false;
    bool reading_ = true;
    bool stopping_ = false;
};

}  // namespace varolan::test
