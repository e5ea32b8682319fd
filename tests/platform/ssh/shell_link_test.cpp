// The link that carries an open shell as a local stream, against a scripted
// host: bytes both ways, a host that stops taking input holds the local end
// back without losing anything, output or a window the library took in
// unseen, BREAKs, and the ends of either side.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <string>

#include "platform/ssh/fake_ssh.h"
#include "tests/support/session_user_side.h"
#include "tests/support/wait_until.h"

namespace varolan::ssh {
namespace {

std::unique_ptr<Client> open_client() {
    std::unique_ptr<Client> client = new_client();
    EXPECT_TRUE(client->handshake(UniqueFd(), "host", 22));
    EXPECT_TRUE(client->open_shell("vt100", 80, 24));
    return client;
}

// Writes without waiting; the bytes the socket took.
std::size_t write_now(int fd, const std::string& bytes) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

TEST(ShellLinkTest, BothWaysWithBackpressureBreakAndEnd) {
    FakeSshHost host;
    UniqueFd local;
    auto link = ShellLink::start(open_client(), &local);
    ASSERT_TRUE(link);

    const std::string binary("hello\xff\x00world", 12);
    host.shell_write(binary);
    EXPECT_EQ(test::terminal_read_until(local.get(), "world"), binary);

    // The host takes nothing: the local end fills up and then takes nothing
    // either; once the host takes again, every byte arrives in order.
    host.set_taking_input(false);
    std::string sent;
    std::string chunk(4096, '\0');
    constexpr std::size_t too_much = 8 * 1024 * 1024;
    for (int idle = 0; idle < 50 && sent.size() < too_much;) {
        for (auto& c : chunk) {
            c = static_cast<char>('a' + sent.size() % 26);
            sent += c;
        }
        std::size_t n = write_now(local.get(), chunk);
        sent.resize(sent.size() - (chunk.size() - n));
        if (n == 0) {
            ++idle;
            pollfd p{local.get(), POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
    ASSERT_LT(sent.size(), too_much) << "the link must not keep taking";
    EXPECT_TRUE(host.shell_input().empty());
    host.set_taking_input(true);
    EXPECT_TRUE(test::wait_until([&] { return host.shell_input().size() >= sent.size(); }));
    EXPECT_EQ(host.shell_input(), sent);

    link->request_break();
    EXPECT_TRUE(test::wait_until([&] { return link->breaks_sent() == 1; }));
    {
        auto l = host.lock();
        EXPECT_EQ(host.breaks, 1);
    }

    // The shell ends: the local end reads its last output, then end-of-file.
    host.shell_write("bye");
    host.end_shell();
    EXPECT_EQ(test::terminal_read_to_end(local.get()), "bye");
    link.reset();
    auto l = host.lock();
    EXPECT_EQ(host.clients_alive, 0);
}

// The library can take the shell's output in while a write waits for the
// host's window, or the window itself (or the end of a key exchange) while
// the link looks for output after a refused write; no descriptor shows either
// then, and the link must still act on it (else both sides wait for each
// other: the host for a window the link opens only by reading, or for input
// the link holds, and the link for the host).
TEST(ShellLinkTest, WhatTheLibraryTookInAroundARefusedWriteIsActedOn) {
    FakeSshHost host;
    UniqueFd local;
    auto link = ShellLink::start(open_client(), &local);
    ASSERT_TRUE(link);
    host.set_taking_input(false);
    ASSERT_EQ(write_now(local.get(), "x"), 1u);
    // Refused once when taken, once more before the link waits; a BREAK
    // wakes it for one more try, which brings the output.
    ASSERT_TRUE(host.wait_for([&] { return host.refused_writes >= 2; }));
    host.shell_write_with_next_refused_write("late");
    link->request_break();
    EXPECT_EQ(test::terminal_read_until(local.get(), "late"), "late");

    host.take_input_at_read_after_next_refused_write();
    link->request_break();
    EXPECT_TRUE(
        test::wait_until([&] { return host.shell_input() == "x"; }, std::chrono::seconds(10)));
}

TEST(ShellLinkTest, ClosingTheLocalEndEndsTheConnection) {
    FakeSshHost host;
    UniqueFd local;
    auto link = ShellLink::start(open_client(), &local);
    ASSERT_TRUE(link);
    ::shutdown(local.get(), SHUT_RDWR);
    EXPECT_TRUE(host.wait_for([&] { return host.clients_alive == 0; }))
        << "the connection ends without waiting for the link's owner";
}

}  // namespace
}  // namespace varolan::ssh
