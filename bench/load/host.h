// The bench's telnet host on 127.0.0.1: one epoll thread serving any number of
// connections. Every accepted connection is numbered and first sent the
// greeting "#<number>\n" (the accept time of each number is kept, so a client
// can tell how long its connection took to reach the host). Afterwards every
// byte received is echoed, except 'B', which makes the host send the current
// bulk size of text on that connection. The host never sends telnet commands.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace varolan::bench {

inline constexpr char BULK_REQUEST = 'B';

class BenchHost {
  public:
    BenchHost() = default;
    ~BenchHost();
    BenchHost(const BenchHost&) = delete;
    BenchHost& operator=(const BenchHost&) = delete;

    // Listens on an ephemeral loopback port and starts the host thread.
    bool start();
    void stop();
    std::uint16_t port() const { return port_; }

    // Bytes sent in answer to each later BULK_REQUEST.
    void set_bulk_bytes(std::uint64_t bytes) { bulk_bytes_.store(bytes); }

    // Monotonic accept time (ns) of connection `number`; 0 when unknown.
    std::int64_t accept_time(std::uint32_t number) const;
    int open_connections() const { return open_.load(); }
    std::uint32_t accepted() const { return next_number_.load(); }

    static constexpr std::uint32_t max_connections = 1u << 17;

  private:
    void run();

    int listen_fd_ = -1;
    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<std::uint64_t> bulk_bytes_{0};
    std::atomic<std::uint32_t> next_number_{0};
    std::atomic<int> open_{0};
    std::unique_ptr<std::atomic<std::int64_t>[]> accept_ns_;
};

std::int64_t monotonic_ns();

}  // namespace varolan::bench
