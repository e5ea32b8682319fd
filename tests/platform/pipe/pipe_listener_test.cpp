// The listening socket of a pipe name kept between instances: what the pipe
// sessions rely on so that no client is refused while one session has ended
// and its successor has not yet made its instance.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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

}  // namespace
}  // namespace varolan::pipe
