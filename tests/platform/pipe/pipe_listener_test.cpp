// The listening socket of a pipe name kept between instances: what the pipe
// sessions rely on so that no client is refused while one session has ended
// and its successor has not yet made its instance.
#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/pipe/pipe.h"
#include "tests/support/process.h"

namespace varolan::pipe {
namespace {

constexpr const char* NAME = "\\\\.\\PIPE\\Tarnix";

class PipeListenerTest : public ::testing::Test {
  protected:
    DWORD create(NamedPipe* out) {
        return create_named_pipe(NAME, PIPE_ACCESS_DUPLEX,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                 PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr, out);
    }

    test::TempDir dir;
    test::ScopedEnv env{"VAROLAN_RUNTIME_DIR", dir.str("run")};
};

TEST_F(PipeListenerTest, ARetainedListenerQueuesClientsWhileNoInstanceExists) {
    EXPECT_FALSE(retain_pipe_listener(NAME)) << "nothing to retain yet";
    NamedPipe first;
    ASSERT_EQ(create(&first), ERROR_SUCCESS);
    ASSERT_TRUE(retain_pipe_listener(NAME));
    first.close();

    // No instance exists: the client is queued, and its message waits with it.
    NamedPipe client;
    ASSERT_EQ(connect_pipe_client(NAME, &client), ERROR_SUCCESS);
    DWORD n = 0;
    ASSERT_EQ(client.write("early", 5, &n), ERROR_SUCCESS);

    NamedPipe next;
    ASSERT_EQ(create(&next), ERROR_SUCCESS);
    ASSERT_EQ(next.connect(), ERROR_SUCCESS);
    char buffer[16];
    ASSERT_EQ(next.read(buffer, sizeof buffer, &n), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buffer, n), "early");
    next.close();

    // Shutting it down ends the retention: the path goes and clients are refused.
    EXPECT_TRUE(shutdown_pipe_listener(NAME));
    EXPECT_FALSE(std::filesystem::exists(pipe_socket_path(NAME)));
    NamedPipe late;
    EXPECT_EQ(connect_pipe_client(NAME, &late), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(retain_pipe_listener(NAME));
}

TEST_F(PipeListenerTest, WithoutRetentionTheLastInstanceTakesTheListenerAlong) {
    NamedPipe only;
    ASSERT_EQ(create(&only), ERROR_SUCCESS);
    only.close();
    EXPECT_FALSE(std::filesystem::exists(pipe_socket_path(NAME)));
    NamedPipe client;
    EXPECT_EQ(connect_pipe_client(NAME, &client), ERROR_FILE_NOT_FOUND);
}

// A client that finds the path finds a listener: the path never exists
// before its socket listens. A client tries again and again while listeners
// are made and closed; only a refusal while the listener is being made or is
// there counts (one while it goes away is what going away means).
TEST_F(PipeListenerTest, ThePathAppearsOnlyOnceItsSocketListens) {
    NamedPipe warm_up;  // the directory exists from now on
    ASSERT_EQ(create(&warm_up), ERROR_SUCCESS);
    warm_up.close();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = pipe_socket_path(NAME);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    // Cycle number times 2, plus 1 while the listener is being made or is there.
    std::atomic<int> phase{0};
    std::atomic<bool> done{false};
    std::atomic<int> refused{0};
    std::atomic<int> connected{0};
    std::thread client([&] {
        while (!done.load()) {
            const int before = phase.load();
            const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            const int err = errno;
            ::close(fd);
            const int after = phase.load();
            if (rc == 0) {
                connected.fetch_add(1);
            } else if (err == ECONNREFUSED && before % 2 == 1 && after == before) {
                refused.fetch_add(1);
            }
        }
    });
    for (int cycle = 0; cycle < 2000 && refused.load() == 0; ++cycle) {
        phase.store(2 * cycle + 1);
        NamedPipe instance;
        ASSERT_EQ(create(&instance), ERROR_SUCCESS);
        phase.store(2 * cycle + 2);
        instance.close();
    }
    done.store(true);
    client.join();
    EXPECT_EQ(refused.load(), 0) << "clients found the path of a socket not yet listening";
    RecordProperty("connected", connected.load());
}

// A listener made by another process is not taken over, whatever name its
// socket was bound under before it was put in place.
TEST_F(PipeListenerTest, AnotherProcesssListenerIsNotTakenOver) {
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        NamedPipe held;
        char byte = create(&held) == ERROR_SUCCESS ? 'y' : 'n';
        if (::write(ready[1], &byte, 1) == 1) {
            ssize_t n = ::read(release[0], &byte, 1);  // until the parent closes it
            (void)n;
        }
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'y');
    NamedPipe mine;
    EXPECT_EQ(create(&mine), ERROR_ACCESS_DENIED);
    EXPECT_NE(last_create_error().find("another process serves it"), std::string::npos)
        << last_create_error();
    NamedPipe client;
    EXPECT_EQ(connect_pipe_client(NAME, &client), ERROR_SUCCESS) << "still the other's";
    ::close(release[1]);
    ::close(ready[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
}

}  // namespace
}  // namespace varolan::pipe
