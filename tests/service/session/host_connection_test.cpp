// The host reader and the hand-over of host blocks, ending connections, and
// the absence of leaks over many connections.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/core/clock.h"
#include "service/session/globals.h"
#include "service/session/relay.h"
#include "service/session/session.h"
#include "service/session/user_side.h"
#include "tests/support/process.h"
#include "tests/support/tcp_host.h"
#include "tests/support/wait_until.h"

namespace varolan::service {
namespace {

// Waits (bounded) for the reader to hand over a block; returns its count.
std::int32_t wait_for_block(const SessionRecord& record) {
    const std::uint64_t deadline = monotonic_ms() + 10000;
    for (;;) {
        std::int32_t n = host_block_count(record);
        if (n != 0 || monotonic_ms() > deadline) {
            return n;
        }
        const_cast<SessionRecord&>(record).block_event.wait(100);
    }
}

bool wait_for_host_closed(const SessionRecord& record) {
    const std::uint64_t deadline = monotonic_ms() + 10000;
    while (!host_connection_closed(record)) {
        if (monotonic_ms() > deadline) {
            return false;
        }
        const_cast<SessionRecord&>(record).block_event.wait(100);
    }
    return true;
}

// Collects the host's data until `bytes` have been handed over.
std::string collect(SessionRecord& record, std::size_t bytes) {
    std::string got;
    while (got.size() < bytes) {
        std::int32_t n = wait_for_block(record);
        if (n <= 0) {
            break;
        }
        EXPECT_LE(n, static_cast<std::int32_t>(BLOCK_SIZE));
        EXPECT_EQ(record.receive_buffer[n], '\0') << "each block is terminated";
        got.append(record.receive_buffer, static_cast<std::size_t>(n));
        drain_host_block(record);
    }
    return got;
}

class HostConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_globals();
        ASSERT_TRUE(host.start());
        telnet_port.store(host.port());
    }
    void TearDown() override {
        end_host_connection(record);
        reset_globals();
    }
    int connect() {
        char name[LINE_SIZE] = "127.0.0.1";
        return connect_host(record, name);
    }

    test::TcpHost host;
    SessionRecord record;
};

TEST_F(HostConnectionTest, BlocksAreHandedOverOneAtATimeAndCloseComesLast) {
    set_terminal_type(record, "VT100");
    ASSERT_EQ(connect(), 1);
    ASSERT_TRUE(host.wait_for_connections(1));

    // More than one block's worth: every block fits, is terminated, and never
    // reaches terminal_type.
    std::string big;
    for (int i = 0; i < 3 * 4096 + 100; ++i) {
        big.push_back(static_cast<char>('a' + i % 26));
    }
    ASSERT_TRUE(host.send(big));
    EXPECT_EQ(collect(record, big.size()), big);
    EXPECT_STREQ(record.terminal_type, "VT100");

    // The host closes after a last block: host_closed waits until it is drained.
    ASSERT_TRUE(host.send("bye"));
    ASSERT_EQ(wait_for_block(record), 3);
    host.close_connection();
    EXPECT_FALSE(host_connection_closed(record)) << "the reader waits for the drain first";
    EXPECT_EQ(std::string(record.receive_buffer, 3), "bye");
    drain_host_block(record);
    EXPECT_TRUE(wait_for_host_closed(record));
    EXPECT_EQ(host_block_count(record), 0);
    end_host_connection(record);
    EXPECT_FALSE(record.host_socket.valid());
    EXPECT_FALSE(record.drained_event.valid());
}

// The reader may find a block drained before it comes to wait for it, and its
// next wait then starts with a wake-up already spent: it must still never
// receive into a block the session has not drained. Data arriving in many
// small pieces, drained as soon as each is seen, comes out whole and in order
// (and a reader writing over an undrained block is a race the thread
// sanitizer reports).
TEST_F(HostConnectionTest, ManySmallBlocksComeOutWholeAndInOrder) {
    ASSERT_EQ(connect(), 1);
    ASSERT_TRUE(host.wait_for_connections(1));
    std::string sent;
    std::thread sender([&] {
        for (int i = 0; i < 400; ++i) {
            std::string piece =
                std::to_string(i) + std::string(static_cast<std::size_t>(i % 7), '.') + ";";
            sent += piece;
            if (!host.send(piece)) {
                break;
            }
        }
    });
    std::string expected;
    for (int i = 0; i < 400; ++i) {
        expected += std::to_string(i) + std::string(static_cast<std::size_t>(i % 7), '.') + ";";
    }
    std::string got = collect(record, expected.size());
    sender.join();
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(got, expected);
}

TEST_F(HostConnectionTest, UserDataReachesTheHost) {
    ASSERT_EQ(connect(), 1);
    ASSERT_TRUE(host.wait_for_connections(1));
    EXPECT_TRUE(record.host_socket.send_all("hello\r\n", 7));
    EXPECT_TRUE(host.wait_for_received(7));
    EXPECT_EQ(host.received(), "hello\r\n");
}

// Ending a connection never needs the reader's help: it may be blocked in its
// receive or in its wait for a drain that never comes.
TEST_F(HostConnectionTest, EndingWakesAReaderWhereverItWaits) {
    // Blocked in recv: nothing was sent.
    ASSERT_EQ(connect(), 1);
    ASSERT_TRUE(host.wait_for_connections(1));
    end_host_connection(record);
    EXPECT_TRUE(host.wait_for_peer_close(0));

    // Waiting for the drain of a block the session never consumed, with more
    // data queued behind it.
    ASSERT_EQ(connect(), 1);
    ASSERT_TRUE(host.wait_for_connections(2));
    ASSERT_TRUE(host.send(std::string(20000, 'x')));
    ASSERT_GT(wait_for_block(record), 0);
    end_host_connection(record);
    EXPECT_TRUE(host.wait_for_peer_close(1));
    EXPECT_FALSE(record.reader_thread.joinable());

    // Ending twice, or with nothing open, is harmless.
    end_host_connection(record);
}

// Counts are compared once they have settled: a joined thread may still be
// listed by the kernel for a moment, and the host's end of a connection is
// closed by the host's own thread.
TEST_F(HostConnectionTest, NoDescriptorOrThreadOutlivesItsConnection) {
    // No thread is ending now: the host's thread is the only one started.
    const int threads_before = test::count_threads();
    // One connection first, so that lazily made process resources exist. The
    // host's end is counted too: it must have been taken and closed.
    ASSERT_EQ(connect(), 1);
    end_host_connection(record);
    ASSERT_TRUE(host.wait_for_connections(1));
    ASSERT_TRUE(host.wait_for_open_connections(0));
    const int fds_before = test::count_open_fds();
    host.set_echo(true);
    for (int i = 0; i < 60; ++i) {
        ASSERT_EQ(connect(), 1) << i;
        switch (i % 3) {
            case 0:  // ended while idle
                break;
            case 1:  // ended with a block pending
                ASSERT_TRUE(record.host_socket.send_all("ping", 4));
                ASSERT_GT(wait_for_block(record), 0);
                break;
            case 2:  // the host closed first
                ASSERT_TRUE(host.wait_for_connections(i + 2));
                host.close_connection();
                ASSERT_TRUE(wait_for_host_closed(record));
                break;
        }
        end_host_connection(record);
    }
    EXPECT_TRUE(host.wait_for_connections(61));
    EXPECT_TRUE(host.wait_for_open_connections(0));
    EXPECT_EQ(test::count_open_fds(), fds_before);
    EXPECT_TRUE(test::wait_until([&] { return test::count_threads() == threads_before; }))
        << test::count_threads() << " threads, " << threads_before << " before";
}

// A user side that takes all, a part or nothing of a write, the way a pipe
// whose reader falls behind now and then does.
class UnevenSide final : public UserSide {
  public:
    bool read(void*, std::uint32_t, std::uint32_t*) override { return false; }
    bool write(const void* data, std::uint32_t size) override {
        taken.append(static_cast<const char*>(data), size);
        return true;
    }
    bool write_available(const void* data, std::uint32_t size, std::uint32_t* done) override {
        // Long runs of whole takes, then a part, then nothing.
        const unsigned at = turn++ % 40;
        *done = at < 38 ? size : at == 38 ? size / 3 : 0;
        taken.append(static_cast<const char*>(data), *done);
        return true;
    }
    void close() override {}
    std::string taken;
    unsigned turn = 0;
};

// A host that keeps sending full blocks: the session thread goes on to
// receive the next blocks itself while the reader stays parked, and hands the
// buffer back when the host pauses or closes. Every byte reaches the user
// once and in order, over pauses, partial writes and runs longer than one
// call delivers; a wake-up is never lost (each wait below would time out),
// and the close is seen only after the last byte (a reader and a session
// thread receiving at once is a race the thread sanitizer reports).
TEST_F(HostConnectionTest, AStreamOfFullBlocksReachesTheUserWholeAndInOrder) {
    ASSERT_EQ(connect(), 1);
    ASSERT_TRUE(host.wait_for_connections(1));
    auto* side = new UnevenSide;
    record.user_handle.reset(side);
    std::string expected;
    for (int i = 0; expected.size() < 600 * 1024; ++i) {
        expected += std::to_string(i) + ",";
    }
    std::thread sender([&] {
        // Pauses between the pieces let the host run dry now and then.
        for (std::size_t at = 0; at < expected.size(); at += 96 * 1024) {
            if (!host.send(expected.substr(at, 96 * 1024))) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        host.close_connection();
    });
    bool lost_wake_up = false;
    while (!host_connection_closed(record)) {
        std::uint32_t written = 0;
        const HostBlock got = deliver_host_block(record, &written);
        ASSERT_NE(got, HostBlock::user_failed);
        if (got != HostBlock::waiting && record.block_event.wait(10000) != WaitResult::signaled) {
            lost_wake_up = true;
            break;
        }
    }
    sender.join();
    EXPECT_FALSE(lost_wake_up);
    EXPECT_EQ(side->taken.size(), expected.size());
    EXPECT_TRUE(side->taken == expected);
    EXPECT_EQ(host_block_count(record), 0);
}

// A host block of the full size is terminated inside the buffer; the filter
// of a full block never writes past it either.
TEST_F(HostConnectionTest, FullBlockLeavesTerminalTypeAlone) {
    set_terminal_type(record, "ANSI");
    std::memset(record.receive_buffer, 'x', BLOCK_SIZE);
    record.receive_buffer[BLOCK_SIZE - 1] = static_cast<char>(255);
    record.receive_buffer[BLOCK_SIZE] = 'y';
    record.received_count.store(BLOCK_SIZE);
    EXPECT_EQ(filter_telnet(record), static_cast<std::int32_t>(BLOCK_SIZE - 1));
    EXPECT_EQ(record.receive_buffer[BLOCK_SIZE - 1], '\0');
    EXPECT_STREQ(record.terminal_type, "ANSI");
}

}  // namespace
}  // namespace varolan::service
