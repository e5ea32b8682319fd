#include "tests/support/tcp_host.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varolan::test {

namespace {

// Sends all of `bytes`, waiting for room at most SEND_BOUND in all: a peer
// that reads nothing fails the send instead of holding the host's thread (and
// every test waiting on it) for good.
constexpr std::chrono::milliseconds SEND_BOUND{20000};

bool send_fully(int fd, const std::string& bytes) {
    const auto end = std::chrono::steady_clock::now() + SEND_BOUND;
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n =
            ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLOUT, 0};
        if (left.count() <= 0 ||
            (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)) {
            return false;
        }
    }
    return true;
}

}  // namespace

TcpHost::TcpHost() = default;

TcpHost::~TcpHost() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    if (thread_.joinable()) {
        wake();
        thread_.join();
    }
    for (Connection& c : connections_) {
        if (c.fd >= 0) {
            ::close(c.fd);
        }
    }
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
    }
    if (wake_fd_ >= 0) {
        ::close(wake_fd_);
    }
}

bool TcpHost::start(std::uint16_t port, bool ipv6) {
    listen_fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        return false;
    }
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage storage{};
    socklen_t len = 0;
    if (ipv6) {
        setsockopt(listen_fd_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto* sa = reinterpret_cast<sockaddr_in6*>(&storage);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(port);
        sa->sin6_addr = in6addr_loopback;
        len = sizeof *sa;
    } else {
        auto* sa = reinterpret_cast<sockaddr_in*>(&storage);
        sa->sin_family = AF_INET;
        sa->sin_port = htons(port);
        sa->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *sa;
    }
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&storage), len) != 0 ||
        ::listen(listen_fd_, 16) != 0) {
        return false;
    }
    if (getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&storage), &len) != 0) {
        return false;
    }
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void TcpHost::set_greeting(std::string bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    greeting_ = std::move(bytes);
}

void TcpHost::set_echo(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    echo_ = on;
}

void TcpHost::set_close_after_greeting(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    close_after_greeting_ = on;
}

void TcpHost::set_reading(bool on) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reading_ = on;
    }
    wake();
}

void TcpHost::wake() {
    std::uint64_t one = 1;
    while (::write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

int TcpHost::resolve_index(int index) const {
    int n = static_cast<int>(connections_.size());
    if (index < 0) {
        index = n - 1;
    }
    return index >= 0 && index < n ? index : -1;
}

bool TcpHost::post(Command& command) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) {
        return false;
    }
    commands_.push_back(&command);
    lock.unlock();
    wake();
    lock.lock();
    changed_.wait(lock, [&] { return command.done; });
    return command.ok;
}

bool TcpHost::send(const std::string& bytes, int index) {
    Command c;
    c.index = index;
    c.bytes = bytes;
    return post(c);
}

void TcpHost::close_connection(int index) {
    Command c;
    c.index = index;
    c.close = true;
    post(c);
}

int TcpHost::connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(connections_.size());
}

int TcpHost::open_connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const Connection& c : connections_) {
        n += c.closed ? 0 : 1;
    }
    return n;
}

bool TcpHost::wait_for_open_connections(int count, Duration timeout) const {
    return wait_until(
        [&] {
            int n = 0;
            for (const Connection& c : connections_) {
                n += c.closed ? 0 : 1;
            }
            return n == count;
        },
        timeout);
}

std::string TcpHost::received(int index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int i = resolve_index(index);
    return i < 0 ? std::string() : connections_[static_cast<std::size_t>(i)].received;
}

bool TcpHost::peer_closed(int index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int i = resolve_index(index);
    return i >= 0 && connections_[static_cast<std::size_t>(i)].peer_closed;
}

bool TcpHost::wait_until(const std::function<bool()>& pred, Duration timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, pred);
}

bool TcpHost::wait_for_connections(int count, Duration timeout) const {
    return wait_until([&] { return static_cast<int>(connections_.size()) >= count; }, timeout);
}

bool TcpHost::wait_for_received(std::size_t bytes, int index, Duration timeout) const {
    return wait_until(
        [&] {
            int i = resolve_index(index);
            return i >= 0 && connections_[static_cast<std::size_t>(i)].received.size() >= bytes;
        },
        timeout);
}

bool TcpHost::wait_for_peer_close(int index, Duration timeout) const {
    return wait_until(
        [&] {
            int i = resolve_index(index);
            return i >= 0 && connections_[static_cast<std::size_t>(i)].peer_closed;
        },
        timeout);
}

void TcpHost::run() {
    std::vector<pollfd> fds;
    std::vector<int> owners;  // connection index of each polled descriptor
    for (;;) {
        fds.clear();
        owners.clear();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                return;
            }
            fds.push_back(pollfd{wake_fd_, POLLIN, 0});
            owners.push_back(-1);
            fds.push_back(pollfd{listen_fd_, POLLIN, 0});
            owners.push_back(-1);
            for (std::size_t i = 0; i < connections_.size() && reading_; ++i) {
                const Connection& c = connections_[i];
                if (!c.closed) {
                    fds.push_back(pollfd{c.fd, POLLIN, 0});
                    owners.push_back(static_cast<int>(i));
                }
            }
        }
        int r = ::poll(fds.data(), fds.size(), -1);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (fds[0].revents != 0) {
            std::uint64_t v = 0;
            while (::read(wake_fd_, &v, sizeof v) < 0 && errno == EINTR) {
            }
        }
        // Commands from the test thread.
        while (!commands_.empty()) {
            Command* cmd = commands_.front();
            commands_.pop_front();
            int i = resolve_index(cmd->index);
            cmd->ok = false;
            if (i >= 0) {
                Connection& c = connections_[static_cast<std::size_t>(i)];
                if (cmd->close) {
                    if (!c.closed) {
                        ::shutdown(c.fd, SHUT_RDWR);
                        ::close(c.fd);
                        c.fd = -1;
                        c.closed = true;
                    }
                    cmd->ok = true;
                } else if (!c.closed) {
                    cmd->ok = send_fully(c.fd, cmd->bytes);
                }
            }
            cmd->done = true;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                Connection c;
                c.fd = fd;
                if (!greeting_.empty()) {
                    send_fully(fd, greeting_);
                }
                if (close_after_greeting_) {
                    ::shutdown(fd, SHUT_RDWR);
                    ::close(fd);
                    c.fd = -1;
                    c.closed = true;
                }
                connections_.push_back(std::move(c));
            }
        }
        for (std::size_t k = 2; k < fds.size(); ++k) {
            if (fds[k].revents == 0) {
                continue;
            }
            Connection& c = connections_[static_cast<std::size_t>(owners[k])];
            if (c.closed) {
                continue;
            }
            char buf[4096];
            ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                c.received.append(buf, static_cast<std::size_t>(n));
                if (echo_) {
                    send_fully(c.fd, std::string(buf, static_cast<std::size_t>(n)));
                }
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                c.peer_closed = true;
                ::close(c.fd);
                c.fd = -1;
                c.closed = true;
            }
        }
        lock.unlock();
        changed_.notify_all();
    }
}

}  // namespace varolan::test
