// Load with integrity: many pipe users at once, each relaying its own random
// stream both ways through its own host connection, then escaping and
// quitting. Every byte must arrive once and in order, and afterwards the
// service holds exactly the descriptors and threads it held before.
//
//   VAROLAN_LOAD_CLIENTS  users at once (default 100; the documented run: 1000)
//   VAROLAN_LOAD_BYTES    bytes each way per user (default 32768)
//   VAROLAN_SOAK_SECONDS  enables the soak: users connect, relay and leave
//                         again and again for that long
//   VAROLAN_SOAK_CLIENTS  users at once during the soak (default 50)
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/store_layout.h"
#include "tests/robustness/tarnix_fixture.h"
#include "tests/robustness/tarnix_harness.h"

namespace varolan::robust {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStepTimeout = std::chrono::seconds(120);
constexpr std::size_t kIdSize = 8;

// Hands each accepted host connection to the user whose id it carries first.
class HostExchange {
  public:
    explicit HostExchange(RawHost& host) : host_(host) {
        thread_ = std::thread([this] { run(); });
    }
    ~HostExchange() {
        stop_.store(true);
        thread_.join();
        for (auto& [id, fd] : waiting_) {
            ::close(fd);
        }
    }
    // The host's end of user `id`'s connection (-1 on time-out).
    int take(int id, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, timeout, [&] { return waiting_.count(id) != 0; })) {
            return -1;
        }
        int fd = waiting_[id];
        waiting_.erase(id);
        return fd;
    }

  private:
    void run() {
        while (!stop_.load()) {
            int fd = host_.accept(std::chrono::milliseconds(100));
            if (fd < 0) {
                continue;
            }
            std::string seen;
            // The id is the first thing the user sends through the gateway.
            char buf[kIdSize];
            std::size_t got = 0;
            auto end = Clock::now() + kStepTimeout;
            while (got < kIdSize && Clock::now() < end) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 100) != 1) {
                    continue;
                }
                ssize_t n = ::read(fd, buf + got, kIdSize - got);
                if (n <= 0) {
                    break;
                }
                got += static_cast<std::size_t>(n);
            }
            if (got != kIdSize) {
                ::close(fd);
                continue;
            }
            int id = std::stoi(std::string(buf + 2, kIdSize - 2));
            {
                std::lock_guard lock(mutex_);
                waiting_[id] = fd;
            }
            changed_.notify_all();
        }
    }

    RawHost& host_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, int> waiting_;
};

struct Outcome {
    bool ok = false;
    std::string error;
    std::uint64_t bytes = 0;     // both ways
    std::uint32_t checksum = 0;  // of what arrived, both ways (FNV-1a)
};

std::uint32_t fnv(std::uint32_t h, const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        h = (h ^ static_cast<unsigned char>(p[i])) * 16777619u;
    }
    return h;
}

// Random bytes without `excluded` (the escape character one way, IAC the other).
std::string random_stream(std::mt19937& rng, std::size_t size, unsigned char excluded) {
    std::string s(size, '\0');
    for (auto& c : s) {
        unsigned char b;
        do {
            b = static_cast<unsigned char>(rng());
        } while (b == excluded);
        c = static_cast<char>(b);
    }
    return s;
}

// The user's bytes as the host gets them: a data byte 255 goes as IAC IAC.
std::string on_the_wire(const std::string& data) {
    std::string wire;
    wire.reserve(data.size() * 2);
    for (char c : data) {
        wire.push_back(c);
        if (static_cast<unsigned char>(c) == 0xff) {
            wire.push_back(c);
        }
    }
    return wire;
}

// One user from connecting to leaving; `id` must be unique among users at once.
Outcome one_user(HostExchange& exchange, int id, std::size_t size, std::uint32_t seed) {
    Outcome out;
    auto fail = [&](const std::string& what) {
        out.error = "user " + std::to_string(id) + ": " + what;
        return out;
    };
    PipeUser user;
    if (!user.connect()) {
        return fail("cannot connect to the pipe");
    }
    if (!user.got("Telnet >", kStepTimeout)) {
        return fail("no prompt");
    }
    if (!user.type("o 127.0.0.1\r") || !user.got("Trying... 127.0.0.1\r\n", kStepTimeout)) {
        return fail("no connection");
    }
    char idtext[kIdSize + 1];
    std::snprintf(idtext, sizeof idtext, "ID%06d", id);
    if (!user.send(std::string(idtext, kIdSize))) {
        return fail("id not sent");
    }
    int host = exchange.take(id, kStepTimeout);
    if (host < 0) {
        return fail("the host connection did not arrive");
    }

    std::mt19937 rng(seed);
    const std::string up = random_stream(rng, size, 0x1d);    // user -> host
    const std::string down = random_stream(rng, size, 0xff);  // host -> user
    const std::string up_wire = on_the_wire(up);
    std::size_t up_sent = 0, up_got = 0, down_sent = 0, down_got = 0;
    const int pipe_fd = user.fd();
    ::fcntl(pipe_fd, F_SETFL, ::fcntl(pipe_fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(host, F_SETFL, ::fcntl(host, F_GETFL) | O_NONBLOCK);
    std::uint32_t sum = 2166136261u;
    auto end = Clock::now() + kStepTimeout;
    std::vector<char> buf(65536);
    while (up_got < up_wire.size() || down_got < size) {
        if (Clock::now() > end) {
            ::close(host);
            return fail("stalled: " + std::to_string(up_got) + " up of " +
                        std::to_string(up_wire.size()) + ", " + std::to_string(down_got) +
                        " down of " + std::to_string(size));
        }
        pollfd p[2] = {{pipe_fd, static_cast<short>(POLLIN | (up_sent < size ? POLLOUT : 0)), 0},
                       {host, static_cast<short>(POLLIN | (down_sent < size ? POLLOUT : 0)), 0}};
        if (::poll(p, 2, 200) <= 0) {
            continue;
        }
        if ((p[0].revents & POLLOUT) != 0 && up_sent < size) {
            // Messages of 1 to 4096 bytes, as a user's client sends them.
            std::size_t n = 1 + rng() % 4096;
            n = std::min(n, size - up_sent);
            ssize_t w = ::send(pipe_fd, up.data() + up_sent, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w > 0) {
                up_sent += static_cast<std::size_t>(w);
            }
        }
        if ((p[1].revents & POLLOUT) != 0 && down_sent < size) {
            std::size_t n = std::min<std::size_t>(1 + rng() % 16384, size - down_sent);
            ssize_t w = ::send(host, down.data() + down_sent, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w > 0) {
                down_sent += static_cast<std::size_t>(w);
            }
        }
        if ((p[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ssize_t r = ::read(host, buf.data(), buf.size());
            if (r <= 0 && !(r < 0 && errno == EAGAIN)) {
                ::close(host);
                return fail("the host connection ended early");
            }
            if (r > 0) {
                if (up_got + static_cast<std::size_t>(r) > up_wire.size() ||
                    up_wire.compare(up_got, static_cast<std::size_t>(r), buf.data(),
                                    static_cast<std::size_t>(r)) != 0) {
                    ::close(host);
                    return fail("the host got bytes out of order, twice or corrupted at " +
                                std::to_string(up_got));
                }
                sum = fnv(sum, buf.data(), static_cast<std::size_t>(r));
                up_got += static_cast<std::size_t>(r);
            }
        }
        if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ssize_t r = ::recv(pipe_fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (r <= 0 && !(r < 0 && errno == EAGAIN)) {
                ::close(host);
                return fail("the pipe ended early");
            }
            if (r > 0) {
                if (down_got + static_cast<std::size_t>(r) > size ||
                    down.compare(down_got, static_cast<std::size_t>(r), buf.data(),
                                 static_cast<std::size_t>(r)) != 0) {
                    ::close(host);
                    return fail("the user got bytes out of order, twice or corrupted at " +
                                std::to_string(down_got));
                }
                sum = fnv(sum, buf.data(), static_cast<std::size_t>(r));
                down_got += static_cast<std::size_t>(r);
            }
        }
    }
    // Escape, back at the prompt, the host connection closed; then quit.
    bool escaped = user.type("\x1d") && user.got("Telnet >", kStepTimeout);
    bool host_closed = wait_eof(host, kStepTimeout);
    ::close(host);
    if (!escaped || !host_closed) {
        return fail("escape did not end the host connection");
    }
    if (!user.type("q\r") || !user.wait_closed(kStepTimeout)) {
        return fail("quit did not end the session");
    }
    out.ok = true;
    out.bytes = size + down_got;  // the user's bytes, not their doubled 255s
    out.checksum = sum;
    return out;
}

class LoadTest : public TarnixTest {
  protected:
    // Every user is this test's own account, and how many are served at once
    // depends on how fast the machine runs: the limits must hold them all.
    bool allow_sessions(long users) {
        const auto limit = static_cast<std::uint32_t>(users + 16);
        return tarnix.set_dword("", layout::VALUE_MAX_SESSIONS, limit) &&
               tarnix.set_dword("", layout::VALUE_MAX_SESSIONS_PER_USER, limit);
    }
};

TEST_F(LoadTest, ManyUsersRelayEveryByteOnceAndInOrder) {
    const long users = env_number("VAROLAN_LOAD_CLIENTS", 100);
    const auto size = static_cast<std::size_t>(env_number("VAROLAN_LOAD_BYTES", 32768));
    // Each user costs this process two descriptors and the service about five.
    ASSERT_GE(raise_fd_limit(8 * users + 1024), 3 * users + 64);
    ASSERT_TRUE(allow_sessions(users));
    ASSERT_TRUE(tarnix.start());
    const Census idle = tarnix.idle_census();

    HostExchange exchange(host);
    std::vector<Outcome> outcomes(static_cast<std::size_t>(users));
    std::vector<std::thread> threads;
    auto started = Clock::now();
    for (long i = 0; i < users; ++i) {
        threads.emplace_back([&, i] {
            outcomes[static_cast<std::size_t>(i)] =
                one_user(exchange, static_cast<int>(i), size, static_cast<std::uint32_t>(i + 1));
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    auto seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::uint64_t bytes = 0;
    int failed = 0;
    for (const Outcome& o : outcomes) {
        if (!o.ok) {
            if (++failed <= 5) {
                ADD_FAILURE() << o.error;
            }
        }
        bytes += o.bytes;
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(bytes, static_cast<std::uint64_t>(users) * size * 2);
    std::printf("load: %ld users, %zu bytes each way each, %llu bytes relayed in %.1f s\n", users,
                size, static_cast<unsigned long long>(bytes), seconds);
    EXPECT_TRUE(tarnix.settles_to(idle, std::chrono::seconds(60)))
        << to_string(tarnix.census()) << " vs " << to_string(idle);
}

TEST_F(LoadTest, SoakWithUsersComingAndGoing) {
    const long seconds = env_number("VAROLAN_SOAK_SECONDS", 0);
    if (seconds == 0) {
        GTEST_SKIP() << "set VAROLAN_SOAK_SECONDS to run the soak";
    }
    const long users = env_number("VAROLAN_SOAK_CLIENTS", 50);
    ASSERT_GE(raise_fd_limit(8 * users + 1024), 3 * users + 64);
    ASSERT_TRUE(allow_sessions(users));
    ASSERT_TRUE(tarnix.start());
    const Census idle = tarnix.idle_census();

    HostExchange exchange(host);
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::atomic<std::uint64_t> cycles{0}, bytes{0};
    std::atomic<int> failed{0};
    std::mutex first_error_mutex;
    std::string first_error;
    std::vector<std::thread> threads;
    for (long i = 0; i < users; ++i) {
        threads.emplace_back([&, i] {
            std::mt19937 rng(static_cast<std::uint32_t>(i) * 7919u);
            std::uint32_t round = 0;
            while (Clock::now() < end) {
                // Ids stay unique among the users at once: slot i of round r.
                int id = static_cast<int>(i + users * (round % 1000));
                std::size_t size = 1 + rng() % 65536;
                Outcome o = one_user(exchange, id, size, rng());
                ++round;
                if (!o.ok) {
                    if (failed.fetch_add(1) == 0) {
                        std::lock_guard lock(first_error_mutex);
                        first_error = o.error;
                    }
                    continue;
                }
                cycles.fetch_add(1);
                bytes.fetch_add(o.bytes);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::printf("soak: %ld s, %ld users at once, %llu sessions, %llu bytes relayed, %d failed\n",
                seconds, users, static_cast<unsigned long long>(cycles.load()),
                static_cast<unsigned long long>(bytes.load()), failed.load());
    EXPECT_EQ(failed.load(), 0) << first_error;
    EXPECT_TRUE(tarnix.settles_to(idle, std::chrono::seconds(60)))
        << to_string(tarnix.census()) << " vs " << to_string(idle);
}

// Users arriving while others leave: a session that ends before its
// successor has made its pipe instance must not take the listening socket with
// it, so nobody arriving in that window is refused.
TEST_F(LoadTest, UsersArrivingWhileOthersLeaveAreNeverRefused) {
    ASSERT_TRUE(tarnix.start());
    std::atomic<int> refused{0}, served{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                PipeUser user;
                if (!user.connect()) {
                    refused.fetch_add(1);
                    continue;
                }
                if (user.got("Telnet >", kStepTimeout) && user.type("q\r") &&
                    user.wait_closed(kStepTimeout)) {
                    served.fetch_add(1);
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(refused.load(), 0) << served.load() << " served";
    EXPECT_EQ(served.load(), 8 * 300);
}

}  // namespace
}  // namespace varolan::robust
