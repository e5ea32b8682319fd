#include "bench/load/clients.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace varolan::bench {

namespace {

constexpr const char* PROMPT_END = "Telnet >";
constexpr const char* OPEN_COMMAND = "O 127.0.0.1\r";
constexpr char KEY = 'k';

char recv_buffer[256 * 1024];

}  // namespace

const char* path_name(Path path) {
    switch (path) {
        case Path::tarnix:
            return "tarnix";
        case Path::socat:
            return "socat";
        case Path::direct:
            return "direct";
    }
    return "?";
}

ClientSet::ClientSet(Path path, std::string socket_path, BenchHost& host)
    : path_(path), socket_path_(std::move(socket_path)), host_(host) {
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
}

ClientSet::~ClientSet() {
    close_all();
    if (epoll_fd_ >= 0) {
        ::close(epoll_fd_);
    }
}

void ClientSet::close_all() {
    for (Client& c : clients_) {
        if (c.fd >= 0) {
            ::close(c.fd);
            c.fd = -1;
        }
    }
    clients_.clear();
    retry_list_.clear();
    timers_ = {};
}

int ClientSet::live() const {
    int n = 0;
    for (const Client& c : clients_) {
        n += c.state == State::ready ? 1 : 0;
    }
    return n;
}

void ClientSet::fail(int id, State state) {
    Client& c = clients_[id];
    if (c.fd >= 0) {
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, c.fd, nullptr);
        ::close(c.fd);
        c.fd = -1;
    }
    c.state = state;
    c.typing = false;
    c.awaiting = false;
}

void ClientSet::begin_connect(int id) {
    Client& c = clients_[id];
    c.retry = false;
    int rc = 0;
    if (path_ == Path::direct) {
        c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c.fd < 0) {
            fail(id, State::failed);
            return;
        }
        int on = 1;
        ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(host_.port());
        rc = ::connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } else {
        c.fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c.fd < 0) {
            fail(id, State::failed);
            return;
        }
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socket_path_.c_str(), sizeof addr.sun_path - 1);
        rc = ::connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    std::uint32_t events = EPOLLIN;
    if (rc == 0) {
        c.state = path_ == Path::tarnix ? State::prompt : State::greeting;
    } else if (errno == EINPROGRESS) {
        c.state = State::connecting;
        events |= EPOLLOUT;
    } else if (errno == EAGAIN && path_ != Path::direct) {
        // The listen queue is full: try again shortly with a fresh socket.
        ::close(c.fd);
        c.fd = -1;
        c.retry = true;
        c.retries += 1;
        retry_list_.push_back(id);
        return;
    } else {
        fail(id, State::failed);
        return;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.u32 = static_cast<std::uint32_t>(id);
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, c.fd, &ev);
}

SetupResult ClientSet::connect(int count, int timeout_ms, std::vector<int>* ids) {
    SetupResult r;
    r.requested = count;
    ids->clear();
    std::size_t first = clients_.size();
    clients_.resize(first + static_cast<std::size_t>(count));
    const std::int64_t t0 = monotonic_ns();
    for (int i = 0; i < count; ++i) {
        int id = static_cast<int>(first) + i;
        ids->push_back(id);
        clients_[id].t_start = monotonic_ns();
        clients_[id].hold = hold_at_prompt_;
        begin_connect(id);
    }
    const std::int64_t deadline = t0 + static_cast<std::int64_t>(timeout_ms) * 1000000;
    auto pending = [&] {
        for (int id : *ids) {
            State s = clients_[id].state;
            if (s == State::connecting || s == State::prompt || s == State::greeting) {
                return true;
            }
        }
        return false;
    };
    while (pending() && monotonic_ns() < deadline) {
        poll_once(5);
    }
    std::int64_t last = t0;
    for (int id : *ids) {
        Client& c = clients_[id];
        r.retries += c.retries;
        switch (c.state) {
            case State::ready:
                r.served += 1;
                if (c.setup_ms >= 0) {
                    r.setup_ms.push_back(c.setup_ms);
                }
                if (c.t_prompt > 0) {
                    r.prompt_ms.push_back(static_cast<double>(c.t_prompt - c.t_start) / 1e6);
                }
                last = std::max(last, c.t_ready);
                break;
            case State::failed:
            case State::closed:
                r.refused += 1;
                break;
            default:
                r.timed_out += 1;
                fail(id, State::failed);
                break;
        }
    }
    r.wall_ms = static_cast<double>(last - t0) / 1e6;
    return r;
}

void ClientSet::poll_once(int timeout_ms) {
    std::int64_t now = monotonic_ns();
    if (!retry_list_.empty()) {
        std::vector<int> retry;
        retry.swap(retry_list_);
        for (int id : retry) {
            if (clients_[id].retry) {
                begin_connect(id);
            }
        }
        timeout_ms = std::min(timeout_ms, 1);
    }
    while (!timers_.empty() && timers_.top().first <= now) {
        auto [when, id] = timers_.top();
        timers_.pop();
        Client& c = clients_[id];
        if (c.typing && !c.awaiting && c.next_send == when && c.state == State::ready) {
            send_key(id);
        }
    }
    if (!timers_.empty()) {
        std::int64_t wait_ns = timers_.top().first - monotonic_ns();
        int wait_ms = wait_ns <= 0 ? 0 : static_cast<int>((wait_ns + 999999) / 1000000);
        timeout_ms = std::min(timeout_ms, wait_ms);
    }
    epoll_event events[512];
    int n = ::epoll_wait(epoll_fd_, events, 512, timeout_ms);
    for (int i = 0; i < n; ++i) {
        on_event(static_cast<int>(events[i].data.u32), events[i].events);
    }
}

void ClientSet::on_event(int id, std::uint32_t events) {
    Client& c = clients_[id];
    if (c.fd < 0) {
        return;
    }
    if (c.state == State::connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            fail(id, State::failed);
            return;
        }
        if (!(events & EPOLLOUT)) {
            return;
        }
        c.state = State::greeting;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<std::uint32_t>(id);
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &ev);
        return;
    }
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
        return;
    }
    // Seqpacket: one message per receive. Read what is there, a bounded number of
    // times, so one busy client does not hold up the others.
    for (int round = 0; round < 64 && clients_[id].fd >= 0; ++round) {
        ssize_t got = ::recv(clients_[id].fd, recv_buffer, sizeof recv_buffer, MSG_DONTWAIT);
        if (got > 0) {
            on_data(id, recv_buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            break;
        }
        if (got == 0 && path_ != Path::direct && !(events & EPOLLHUP)) {
            continue;  // an empty message, not the end
        }
        fail(id, State::closed);
        break;
    }
}

void ClientSet::on_data(int id, const char* data, std::size_t n) {
    Client& c = clients_[id];
    const std::int64_t now = monotonic_ns();
    if (c.state == State::prompt) {
        c.text.append(data, n);
        std::size_t at = c.text.find(PROMPT_END);
        if (at == std::string::npos) {
            return;
        }
        c.t_prompt = now;
        c.text.erase(0, at + std::strlen(PROMPT_END));
        if (c.hold) {
            c.t_ready = now;
            c.state = State::ready;
            c.text.clear();
            c.text.shrink_to_fit();
            return;
        }
        // At the prompt the gateway reads one byte per message.
        for (const char* p = OPEN_COMMAND; *p != '\0'; ++p) {
            if (::send(c.fd, p, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
                fail(id, State::failed);
                return;
            }
        }
        c.state = State::greeting;
        data = nullptr;
        n = 0;
    }
    if (c.state == State::greeting) {
        c.text.append(data == nullptr ? "" : data, n);
        std::size_t hash = c.text.find('#');
        std::size_t end = hash == std::string::npos ? hash : c.text.find('\n', hash);
        if (end == std::string::npos) {
            return;
        }
        unsigned long number = std::strtoul(c.text.c_str() + hash + 1, nullptr, 10);
        std::int64_t accepted = host_.accept_time(static_cast<std::uint32_t>(number));
        c.setup_ms = accepted > 0 ? static_cast<double>(accepted - c.t_start) / 1e6 : -1;
        c.t_ready = now;
        c.state = State::ready;
        stray_bytes_ += static_cast<long>(c.text.size() - end - 1);
        c.text.clear();
        c.text.shrink_to_fit();
        return;
    }
    if (c.state != State::ready) {
        return;
    }
    if (c.bulk_want > 0 && c.bulk_got < c.bulk_want) {
        c.bulk_got += n;
        if (c.bulk_got >= c.bulk_want) {
            c.bulk_done = now;
        }
        return;
    }
    if (c.awaiting) {
        samples_.push_back({c.t_sent, static_cast<double>(now - c.t_sent) / 1e3});
        c.awaiting = false;
        stray_bytes_ += static_cast<long>(n) - 1;
        if (c.typing) {
            schedule(id, now);
        }
        return;
    }
    stray_bytes_ += static_cast<long>(n);
}

void ClientSet::send_key(int id) {
    Client& c = clients_[id];
    c.t_sent = monotonic_ns();
    if (::send(c.fd, &KEY, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
        fail(id, State::failed);
        return;
    }
    c.awaiting = true;
}

void ClientSet::schedule(int id, std::int64_t now) {
    Client& c = clients_[id];
    if (c.think_ms <= 0) {
        send_key(id);
        return;
    }
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 7;
    rng_ ^= rng_ << 17;
    std::int64_t think_ns = static_cast<std::int64_t>(c.think_ms) * 1000000;
    std::int64_t delay = think_ns / 2 + static_cast<std::int64_t>(rng_ % (think_ns + 1));
    c.next_send = now + delay;
    timers_.push({c.next_send, id});
}

void ClientSet::start_typing(const std::vector<int>& ids, int think_ms) {
    std::int64_t now = monotonic_ns();
    for (int id : ids) {
        Client& c = clients_[id];
        if (c.state != State::ready) {
            continue;
        }
        c.typing = true;
        c.think_ms = think_ms;
        if (!c.awaiting) {
            // Spread the first keys over one think time so clients do not march in step.
            if (think_ms > 0) {
                schedule(id, now - static_cast<std::int64_t>(think_ms) * 1000000 / 2);
            } else {
                send_key(id);
            }
        }
    }
}

void ClientSet::stop_typing(const std::vector<int>& ids) {
    for (int id : ids) {
        clients_[id].typing = false;
    }
}

void ClientSet::settle(const std::vector<int>& ids, int timeout_ms) {
    const std::int64_t deadline = monotonic_ns() + static_cast<std::int64_t>(timeout_ms) * 1000000;
    auto busy = [&] {
        return std::any_of(ids.begin(), ids.end(), [&](int id) { return clients_[id].awaiting; });
    };
    while (busy() && monotonic_ns() < deadline) {
        poll_once(5);
    }
}

void ClientSet::run_for(int ms) {
    const std::int64_t end = monotonic_ns() + static_cast<std::int64_t>(ms) * 1000000;
    for (std::int64_t now = monotonic_ns(); now < end; now = monotonic_ns()) {
        int left = static_cast<int>((end - now + 999999) / 1000000);
        poll_once(std::min(left, 50));
    }
}

std::vector<RttSample> ClientSet::take_samples() {
    std::vector<RttSample> out;
    out.swap(samples_);
    return out;
}

bool ClientSet::bulk(const std::vector<int>& ids, std::uint64_t bytes, int timeout_ms,
                     double* seconds) {
    host_.set_bulk_bytes(bytes);
    const std::int64_t t0 = monotonic_ns();
    for (int id : ids) {
        Client& c = clients_[id];
        c.bulk_want = bytes;
        c.bulk_got = 0;
        c.bulk_done = 0;
        if (c.state != State::ready ||
            ::send(c.fd, &BULK_REQUEST, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
            return false;
        }
    }
    const std::int64_t deadline = t0 + static_cast<std::int64_t>(timeout_ms) * 1000000;
    auto done = [&] {
        return std::all_of(ids.begin(), ids.end(), [&](int id) {
            const Client& c = clients_[id];
            return c.bulk_got >= c.bulk_want || c.state != State::ready;
        });
    };
    while (!done() && monotonic_ns() < deadline) {
        poll_once(20);
    }
    std::int64_t last = t0;
    bool ok = true;
    for (int id : ids) {
        Client& c = clients_[id];
        if (c.bulk_got < c.bulk_want || c.state != State::ready) {
            ok = false;
        }
        last = std::max(last, c.bulk_done);
        c.bulk_want = 0;
        c.bulk_got = 0;
    }
    *seconds = static_cast<double>(last - t0) / 1e9;
    return ok;
}

}  // namespace varolan::bench
