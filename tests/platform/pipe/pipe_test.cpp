#include "platform/pipe/pipe.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/event.h"
#include "tests/support/process.h"

namespace varolan::pipe {
namespace {

constexpr const char* NAME = "\\\\.\\PIPE\\Tarnix";

class PipeTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    test::ScopedEnv env{"VAROLAN_RUNTIME_DIR", dir.str("run")};

    SecurityAttributes open_to_all() {
        EXPECT_TRUE(initialize_security_descriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        EXPECT_TRUE(set_security_descriptor_dacl(&sd, true, nullptr, false));
        SecurityAttributes sa;
        sa.descriptor = &sd;
        sa.inherit_handle = true;
        return sa;
    }
    DWORD create(NamedPipe* out, DWORD max = PIPE_UNLIMITED_INSTANCES) {
        SecurityAttributes sa = open_to_all();
        return create_named_pipe(NAME, PIPE_ACCESS_DUPLEX,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, max, 4096,
                                 4096, 0, &sa, out);
    }
    // A created and connected instance with its client.
    void pair(NamedPipe* server, NamedPipe* client) {
        ASSERT_EQ(create(server), ERROR_SUCCESS);
        ASSERT_EQ(connect_pipe_client(pipe_socket_path(NAME), client), ERROR_SUCCESS);
        ASSERT_EQ(server->connect(), ERROR_SUCCESS);
    }
    static void send(NamedPipe& p, const std::string& s) {
        DWORD n = 0;
        ASSERT_EQ(p.write(s.data(), static_cast<DWORD>(s.size()), &n), ERROR_SUCCESS);
        ASSERT_EQ(n, s.size());
    }

    SecurityDescriptor sd;
};

TEST(PipePath, MapsPipeNamesIntoTheRuntimeDirectory) {
    test::ScopedEnv env("VAROLAN_RUNTIME_DIR", "/tmp/rt");
    struct Case {
        const char* name;
        const char* path;
    } cases[] = {
        {"\\\\.\\PIPE\\Tarnix", "/tmp/rt/pipe/Tarnix"},
        {"\\\\.\\pipe\\other", "/tmp/rt/pipe/other"},
        {"\\\\.\\PIPE\\", ""},
        {"\\\\.\\PIPE\\a/b", ""},
        {"\\\\.\\PIPE\\..", ""},
        {"COM1", ""},
        {"/tmp/x", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pipe_socket_path(c.name), c.path) << c.name;
    }
    test::ScopedEnv unset("VAROLAN_RUNTIME_DIR", std::nullopt);
    EXPECT_EQ(pipe_socket_path(NAME), "/run/varolan/pipe/Tarnix");
}

TEST_F(PipeTest, CreatesTheSocketOpenToEverybodyOnlyWithANullDacl) {
    NamedPipe a;
    ASSERT_EQ(create(&a), ERROR_SUCCESS);
    struct stat st {};
    ASSERT_EQ(::stat(pipe_socket_path(NAME).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    a.close();
    EXPECT_FALSE(std::filesystem::exists(pipe_socket_path(NAME))) << "last instance removes it";

    NamedPipe b;
    ASSERT_EQ(create_named_pipe(NAME, PIPE_ACCESS_DUPLEX, 6, 255, 4096, 4096, 0, nullptr, &b),
              ERROR_SUCCESS);
    ASSERT_EQ(::stat(pipe_socket_path(NAME).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(PipeTest, RefusesUnsupportedModesAndNames) {
    NamedPipe p;
    SecurityAttributes sa = open_to_all();
    EXPECT_EQ(create_named_pipe(NAME, PIPE_ACCESS_INBOUND, 6, 255, 0, 0, 0, &sa, &p),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(create_named_pipe(NAME, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 255, 0, 0, 0, &sa, &p),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(create_named_pipe("Tarnix", PIPE_ACCESS_DUPLEX, 6, 255, 0, 0, 0, &sa, &p),
              ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(p.valid());
}

TEST_F(PipeTest, KeepsMessageBoundariesInBothDirections) {
    NamedPipe server, client;
    pair(&server, &client);
    const std::vector<std::string> messages = {"a", "hello", std::string(4096, 'x'), "\xff\x00z"};
    for (const auto& m : messages) {
        send(client, m);
        send(server, m + "!");
    }
    for (const auto& m : messages) {
        char buf[8192];
        DWORD n = 0;
        ASSERT_EQ(server.read(buf, sizeof buf, &n), ERROR_SUCCESS);
        EXPECT_EQ(std::string(buf, n), m);
        ASSERT_EQ(client.read(buf, sizeof buf, &n), ERROR_SUCCESS);
        EXPECT_EQ(std::string(buf, n), m + "!");
    }
}

TEST_F(PipeTest, ShortReadReturnsWhatFitsAndKeepsTheRest) {
    NamedPipe server, client;
    pair(&server, &client);
    send(client, "0123456789");
    send(client, "next");
    char buf[4];
    DWORD n = 0, total = 0;
    ASSERT_EQ(server.read(buf, 4, &n), ERROR_MORE_DATA);
    EXPECT_EQ(std::string(buf, n), "0123");
    ASSERT_EQ(server.peek(&total), ERROR_SUCCESS);
    EXPECT_EQ(total, 6u + 4u) << "rest of the message plus the next one";
    EXPECT_EQ(server.buffered(), 6u);
    ASSERT_EQ(server.read(buf, 4, &n), ERROR_MORE_DATA);
    EXPECT_EQ(std::string(buf, n), "4567");
    ASSERT_EQ(server.read(buf, 4, &n), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buf, n), "89");
    ASSERT_EQ(server.read(buf, 4, &n), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buf, n), "next");
}

// The rest of a long message waits in memory only until it has been read:
// then its pages go back, so a long message does not hold memory for the life
// of the connection.
TEST_F(PipeTest, LongMessageIsReadWholeIn4096BytePiecesAndItsMemoryGivenBack) {
    NamedPipe server, client;
    pair(&server, &client);
    for (std::size_t size : {10000u, 150000u}) {
        std::string big(size, '\0');
        for (std::size_t i = 0; i < big.size(); ++i) {
            big[i] = static_cast<char>(i * 7 + size);
        }
        send(client, big);
        std::string got;
        DWORD status = ERROR_MORE_DATA;
        std::size_t pieces = 0;
        while (status == ERROR_MORE_DATA) {
            char buf[4096];
            DWORD n = 0;
            status = server.read(buf, sizeof buf, &n);
            got.append(buf, n);
            ++pieces;
            if (status == ERROR_MORE_DATA) {
                EXPECT_GE(server.spill_resident(), server.buffered()) << pieces;
            }
        }
        EXPECT_EQ(status, ERROR_SUCCESS);
        EXPECT_EQ(pieces, (size + 4095) / 4096);
        EXPECT_EQ(got, big);
        EXPECT_EQ(server.buffered(), 0u);
        EXPECT_EQ(server.spill_resident(), 0u) << "given back once read";
    }
}

// Reads and writes that never wait: nothing there is ERROR_NO_DATA, a pipe
// without room takes nothing of a message (never a part of it), and a gone
// peer is told as by the waiting calls.
TEST_F(PipeTest, NonBlockingReadsAndWritesNeverWait) {
    NamedPipe server, client;
    pair(&server, &client);
    char buf[4096];
    DWORD n = 99;
    EXPECT_EQ(server.read_nowait(buf, sizeof buf, &n), ERROR_NO_DATA);
    EXPECT_EQ(n, 0u);
    const std::string message(4000, 'm');
    std::size_t sent = 0;
    for (;;) {
        ASSERT_EQ(server.write_nowait(message.data(), static_cast<DWORD>(message.size()), &n),
                  ERROR_SUCCESS);
        if (n == 0) {
            break;
        }
        ASSERT_EQ(n, message.size());
        ++sent;
        ASSERT_LT(sent, 100000u) << "the client reads nothing: the pipe must fill";
    }
    std::size_t received = 0;
    DWORD status = ERROR_SUCCESS;
    while ((status = client.read_nowait(buf, sizeof buf, &n)) == ERROR_SUCCESS) {
        EXPECT_EQ(std::string(buf, n), message) << "whole messages only";
        ++received;
    }
    EXPECT_EQ(status, ERROR_NO_DATA);
    EXPECT_EQ(received, sent);
    send(client, "last");
    client.close();
    ASSERT_EQ(server.read_nowait(buf, sizeof buf, &n), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buf, n), "last");
    EXPECT_EQ(server.read_nowait(buf, sizeof buf, &n), ERROR_BROKEN_PIPE);
    EXPECT_EQ(server.write_nowait("x", 1, &n), ERROR_NO_DATA);
}

TEST_F(PipeTest, ZeroLengthMessageIsNotEndOfFile) {
    NamedPipe server, client;
    pair(&server, &client);
    send(client, "");
    send(client, "x");
    char buf[16];
    DWORD n = 99, total = 99;
    bool waiting = false;
    ASSERT_EQ(server.peek(&total, &waiting), ERROR_SUCCESS);
    EXPECT_EQ(total, 1u);
    EXPECT_TRUE(waiting);
    ASSERT_EQ(server.read(buf, sizeof buf, &n), ERROR_SUCCESS);
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(server.read(buf, sizeof buf, &n), ERROR_SUCCESS);
    EXPECT_EQ(n, 1u);
    ASSERT_EQ(server.peek(&total, &waiting), ERROR_SUCCESS);
    EXPECT_FALSE(waiting);
    send(client, "");
    ASSERT_EQ(server.peek(&total, &waiting), ERROR_SUCCESS);
    EXPECT_EQ(total, 0u);
    EXPECT_TRUE(waiting) << "an empty message counts no bytes but waits";
    client.close();
    ASSERT_EQ(server.peek(&total), ERROR_SUCCESS) << "an empty message still waits";
    ASSERT_EQ(server.read(buf, sizeof buf, &n), ERROR_SUCCESS);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(server.read(buf, sizeof buf, &n), ERROR_BROKEN_PIPE);
}

TEST_F(PipeTest, ClosedPeerFailsPeekAndReadOnlyAfterItsDataAndWriteRaisesNoSignal) {
    NamedPipe server, client;
    pair(&server, &client);
    DWORD total = 0, n = 0;
    ASSERT_EQ(server.peek(&total), ERROR_SUCCESS);
    EXPECT_EQ(total, 0u);
    send(client, "bye");
    client.close();
    ASSERT_EQ(server.peek(&total), ERROR_SUCCESS);
    EXPECT_EQ(total, 3u);
    char buf[16];
    ASSERT_EQ(server.read(buf, sizeof buf, &n), ERROR_SUCCESS);
    EXPECT_EQ(server.peek(&total), ERROR_BROKEN_PIPE);
    EXPECT_EQ(server.read(buf, sizeof buf, &n), ERROR_BROKEN_PIPE);
    // Writing to the gone client must fail, not kill the process with SIGPIPE.
    EXPECT_EQ(server.write("x", 1, &n), ERROR_NO_DATA);
    EXPECT_EQ(n, 0u);
}

TEST_F(PipeTest, ServerCloseEndsTheClientRead) {
    NamedPipe server, client;
    pair(&server, &client);
    std::thread closer([&] { server.close(); });
    char buf[4];
    DWORD n = 0;
    EXPECT_EQ(client.read(buf, sizeof buf, &n), ERROR_BROKEN_PIPE);
    closer.join();
}

TEST_F(PipeTest, PollFdSignalsAWaitingMessage) {
    NamedPipe server, client;
    pair(&server, &client);
    PollFd fd{server.poll_fd(), poll_in, 0};
    EXPECT_EQ(poll_fds(&fd, 1, 0), 0);
    send(client, "k");
    EXPECT_EQ(poll_fds(&fd, 1, 10000), 1);
    EXPECT_TRUE(fd.revents & poll_in);
}

TEST_F(PipeTest, EachInstanceTakesOneClientOfTheSharedListener) {
    NamedPipe first, second;
    ASSERT_EQ(create(&first), ERROR_SUCCESS);
    ASSERT_EQ(create(&second), ERROR_SUCCESS);
    NamedPipe c1, c2;
    ASSERT_EQ(connect_pipe_client(pipe_socket_path(NAME), &c1), ERROR_SUCCESS);
    ASSERT_EQ(first.connect(), ERROR_SUCCESS);
    ASSERT_EQ(connect_pipe_client(NAME, &c2), ERROR_SUCCESS);
    ASSERT_EQ(second.connect(), ERROR_SUCCESS);
    send(c1, "one");
    send(c2, "two");
    char buf[8];
    DWORD n = 0;
    ASSERT_EQ(second.read(buf, sizeof buf, &n), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buf, n), "two");
    ASSERT_EQ(first.read(buf, sizeof buf, &n), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buf, n), "one");
    first.close();
    // The path stays while another instance exists.
    NamedPipe c3;
    EXPECT_EQ(connect_pipe_client(NAME, &c3), ERROR_SUCCESS);
}

TEST_F(PipeTest, InstanceLimitAndMissingPipe) {
    NamedPipe client;
    EXPECT_EQ(connect_pipe_client(NAME, &client), ERROR_FILE_NOT_FOUND);
    NamedPipe a, b;
    ASSERT_EQ(create(&a, 1), ERROR_SUCCESS);
    EXPECT_EQ(create(&b, 1), ERROR_PIPE_BUSY);
    a.close();
    EXPECT_EQ(create(&b, 1), ERROR_SUCCESS);
}

TEST_F(PipeTest, ConnectBlocksUntilAClientArrivesAndShutdownWakesIt) {
    NamedPipe server;
    ASSERT_EQ(create(&server), ERROR_SUCCESS);
    std::atomic<DWORD> result{0xFFFF};
    std::thread waiter([&] { result = server.connect(); });
    NamedPipe client;
    ASSERT_EQ(connect_pipe_client(NAME, &client), ERROR_SUCCESS);
    waiter.join();
    EXPECT_EQ(result.load(), ERROR_SUCCESS);

    NamedPipe idle;
    ASSERT_EQ(create(&idle), ERROR_SUCCESS);
    std::thread blocked([&] { result = idle.connect(); });
    EXPECT_TRUE(shutdown_pipe_listener(NAME));
    blocked.join();
    EXPECT_EQ(result.load(), ERROR_PIPE_NOT_CONNECTED);
    EXPECT_EQ(idle.connect(), ERROR_PIPE_NOT_CONNECTED);
    // The connected instance is untouched, and a new listener can be made.
    send(client, "still");
    char buf[8];
    DWORD n = 0;
    EXPECT_EQ(server.read(buf, sizeof buf, &n), ERROR_SUCCESS);
    NamedPipe fresh;
    EXPECT_EQ(create(&fresh), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(pipe_socket_path(NAME)));
    server.close();
    idle.close();
    EXPECT_TRUE(std::filesystem::exists(pipe_socket_path(NAME)))
        << "old instances must not remove the new listener's socket";
}

TEST_F(PipeTest, ReplacesAStaleSocketButNotALiveOne) {
    std::string path = pipe_socket_path(NAME);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    {
        int s = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(s);  // leaves the file behind, nobody listening
    }
    NamedPipe p;
    ASSERT_EQ(create(&p), ERROR_SUCCESS);
    p.close();

    int live = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_EQ(::bind(live, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(live, 1), 0);
    EXPECT_EQ(create(&p), ERROR_ACCESS_DENIED);
    ::close(live);
}

}  // namespace
}  // namespace varolan::pipe
