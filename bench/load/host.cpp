#include "bench/load/host.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <unordered_map>

namespace varolan::bench {

std::int64_t monotonic_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

namespace {

// Printable text with CR LF line ends: no telnet command byte, no escape byte.
struct Payload {
    char bytes[64 * 1024];
    Payload() {
        const char line[] = "the quick brown fox jumps over the lazy dog 0123456789 ABCDEFGHIJ\r\n";
        std::size_t len = sizeof line - 1;
        for (std::size_t i = 0; i < sizeof bytes; ++i) {
            bytes[i] = line[i % len];
        }
    }
};
const Payload payload;

struct Conn {
    int fd = -1;
    std::string out;  // greeting and echoes, sent before bulk text
    std::size_t out_pos = 0;
    std::uint64_t bulk_left = 0;
    bool want_write = false;
};

}  // namespace

BenchHost::~BenchHost() {
    stop();
}

bool BenchHost::start() {
    accept_ns_.reset(new std::atomic<std::int64_t>[max_connections]);
    for (std::uint32_t i = 0; i < max_connections; ++i) {
        accept_ns_[i].store(0, std::memory_order_relaxed);
    }
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        return false;
    }
    int on = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 4096) != 0) {
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_fd_ < 0 || wake_fd_ < 0) {
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listen_fd_;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &ev);
    ev.data.fd = wake_fd_;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev);
    thread_ = std::thread([this] { run(); });
    return true;
}

void BenchHost::stop() {
    if (thread_.joinable()) {
        std::uint64_t one = 1;
        ssize_t w = ::write(wake_fd_, &one, sizeof one);
        (void)w;
        thread_.join();
    }
    for (int* fd : {&listen_fd_, &epoll_fd_, &wake_fd_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

std::int64_t BenchHost::accept_time(std::uint32_t number) const {
    if (number >= max_connections) {
        return 0;
    }
    return accept_ns_[number].load(std::memory_order_acquire);
}

void BenchHost::run() {
    std::unordered_map<int, Conn> conns;
    static char in[64 * 1024];
    epoll_event events[256];

    auto set_write_interest = [&](Conn& c, bool on) {
        if (c.want_write == on) {
            return;
        }
        c.want_write = on;
        epoll_event ev{};
        ev.events = EPOLLIN | (on ? EPOLLOUT : 0u);
        ev.data.fd = c.fd;
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &ev);
    };
    // Sends what is pending until the socket is full. False: connection failed.
    auto flush = [&](Conn& c) {
        while (c.out_pos < c.out.size()) {
            ssize_t n = ::send(c.fd, c.out.data() + c.out_pos, c.out.size() - c.out_pos,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EAGAIN) {
                    set_write_interest(c, true);
                    return true;
                }
                return false;
            }
            c.out_pos += static_cast<std::size_t>(n);
        }
        c.out.clear();
        c.out_pos = 0;
        while (c.bulk_left > 0) {
            std::size_t chunk =
                c.bulk_left < sizeof payload.bytes ? c.bulk_left : sizeof payload.bytes;
            ssize_t n = ::send(c.fd, payload.bytes, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EAGAIN) {
                    set_write_interest(c, true);
                    return true;
                }
                return false;
            }
            c.bulk_left -= static_cast<std::uint64_t>(n);
        }
        set_write_interest(c, false);
        return true;
    };
    auto drop = [&](int fd) {
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        conns.erase(fd);
        open_.fetch_sub(1);
    };

    for (;;) {
        int n = ::epoll_wait(epoll_fd_, events, 256, -1);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == wake_fd_) {
                for (auto& [cfd, c] : conns) {
                    ::close(cfd);
                }
                open_.store(0);
                return;
            }
            if (fd == listen_fd_) {
                for (;;) {
                    int cfd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (cfd < 0) {
                        break;
                    }
                    std::uint32_t number = next_number_.fetch_add(1);
                    if (number < max_connections) {
                        accept_ns_[number].store(monotonic_ns(), std::memory_order_release);
                    }
                    int on = 1;
                    ::setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    Conn& c = conns[cfd];
                    c.fd = cfd;
                    c.out = "#" + std::to_string(number) + "\n";
                    open_.fetch_add(1);
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.fd = cfd;
                    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, cfd, &ev);
                    if (!flush(c)) {
                        drop(cfd);
                    }
                }
                continue;
            }
            auto it = conns.find(fd);
            if (it == conns.end()) {
                continue;
            }
            Conn& c = it->second;
            bool alive = true;
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                ssize_t got = ::recv(fd, in, sizeof in, MSG_DONTWAIT);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                    alive = false;
                } else if (got > 0) {
                    for (ssize_t k = 0; k < got; ++k) {
                        if (in[k] == BULK_REQUEST) {
                            c.bulk_left += bulk_bytes_.load(std::memory_order_relaxed);
                        } else {
                            c.out.push_back(in[k]);
                        }
                    }
                }
            }
            if (alive) {
                alive = flush(c);
            }
            if (!alive) {
                drop(fd);
            }
        }
    }
}

}  // namespace varolan::bench
