#include "tests/service/pipe/pipe_client.h"

#include <poll.h>

#include <gtest/gtest.h>

#include "platform/net/net.h"
#include "tests/support/pending_text.h"

namespace varolan::test {

using Clock = std::chrono::steady_clock;

bool PipeClient::connect(const std::string& path) {
    closed_ = false;
    pending_.clear();
    return pipe::connect_pipe_client(path, &pipe_) == ERROR_SUCCESS;
}

bool PipeClient::send(const std::string& message) {
    // Waits for room at most 20 s: a gateway that reads nothing fails the send.
    const auto end = Clock::now() + std::chrono::seconds(20);
    for (;;) {
        DWORD n = 0;
        if (pipe_.write_nowait(message.data(), static_cast<DWORD>(message.size()), &n) !=
            ERROR_SUCCESS) {
            return false;
        }
        if (n == message.size()) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        pollfd fd{pipe_.poll_fd(), POLLOUT, 0};
        if (left.count() <= 0) {
            return false;
        }
        poll(&fd, 1, static_cast<int>(left.count()));
    }
}

bool PipeClient::type(const std::string& keys) {
    for (char c : keys) {
        if (!send(std::string(1, c))) {
            return false;
        }
    }
    return true;
}

bool PipeClient::pump(int wait_ms) {
    if (closed_) {
        return false;
    }
    pollfd fd{pipe_.poll_fd(), POLLIN, 0};
    if (poll(&fd, 1, wait_ms) <= 0) {
        return false;
    }
    char buffer[8192];
    DWORD n = 0;
    DWORD status;
    do {
        status = pipe_.read(buffer, sizeof buffer, &n);
        pending_.append(buffer, n);
    } while (status == ERROR_MORE_DATA);
    if (status != ERROR_SUCCESS) {
        closed_ = true;
    }
    return true;
}

std::string PipeClient::read_until(const std::string& needle, std::chrono::milliseconds timeout) {
    auto end = Clock::now() + timeout;
    for (;;) {
        if (std::string out; test::take_through(pending_, needle, &out)) {
            return out;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (closed_ || left.count() <= 0) {
            std::string out;
            out.swap(pending_);
            return out;
        }
        pump(static_cast<int>(left.count()));
    }
}

std::string PipeClient::read_quiet(std::chrono::milliseconds quiet) {
    while (pump(static_cast<int>(quiet.count()))) {
    }
    std::string out;
    out.swap(pending_);
    return out;
}

bool PipeClient::wait_closed(std::chrono::milliseconds timeout) {
    auto end = Clock::now() + timeout;
    while (!closed_ && Clock::now() < end) {
        pump(50);
    }
    return closed_;
}

PipeClient& connect_client(std::deque<PipeClient>& clients, const std::string& pipe,
                           std::string* first_prompt) {
    clients.emplace_back();
    PipeClient& c = clients.back();
    EXPECT_TRUE(c.connect(pipe));
    std::string text = c.read_until("Telnet >");
    if (first_prompt != nullptr) {
        *first_prompt = text;
    }
    return c;
}

bool open_test_host(PipeClient& c, const TcpHost& host, int connections_after) {
    if (!c.type("o 127.0.0.1\r")) {
        return false;
    }
    EXPECT_EQ(c.read_until("Trying... 127.0.0.1\r\n"), "o 127.0.0.1\r\nTrying... 127.0.0.1\r\n");
    return host.wait_for_connections(connections_after);
}

std::string pipe_default_prompt() {
    char name[LOCAL_HOST_NAME_SIZE];
    local_host_name(name, sizeof name);
    return std::string("\r\n(") + name + " \\\\.\\PIPE\\Tarnix)\r\nTelnet >";
}

}  // namespace varolan::test
