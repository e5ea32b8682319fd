// Pipe sessions served in this process: the chain of session threads started
// as the service starts it, real pipe clients, and a loopback telnet host.
#include "service/pipe/pipe_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "common/store_layout.h"
#include "platform/core/event.h"
#include "platform/core/thread.h"
#include "platform/net/net.h"
#include "platform/pipe/pipe.h"
#include "platform/registry/registry.h"
#include "service/pipe/admission.h"
#include "service/session/globals.h"
#include "service/session/policy.h"
#include "tests/service/pipe/pipe_client.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "tests/support/tcp_host.h"
#include "tests/support/wait_until.h"

namespace varolan::service {
namespace {

using namespace std::chrono_literals;
using test::PipeClient;
using test::wait_until;

const std::string IAC = "\xff";

void set_store_string(const char* name, const std::string& value) {
    reg::Key key;
    ASSERT_EQ(reg::create_key(reg::hklm(), layout::PRODUCT_KEY, reg::KEY_ALL_ACCESS, key),
              ERROR_SUCCESS);
    ASSERT_EQ(
        reg::set_value(key, name, reg::REG_SZ, reinterpret_cast<const std::uint8_t*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1)),
        ERROR_SUCCESS);
}

class PipeSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reg::reset_store();
        reset_globals();
        reset_policy();
        reset_pipe_listener();
        ASSERT_TRUE(host.start());
        telnet_port.store(host.port());
        std::strcpy(escape_set, "\x1d");
    }
    void TearDown() override {
        for (auto& c : clients) {
            c.close();
        }
        // Every served session ends once its client has gone; then the one
        // waiting for a client is stopped.
        EXPECT_TRUE(wait_until([] { return pipe_sessions_running() <= 1; }));
        if (started) {
            EXPECT_TRUE(wait_until([] { return pipe_sessions_waiting() == 1; }));
        }
        stop_pipe_listener();
        EXPECT_TRUE(wait_until([] { return pipe_sessions_running() == 0; }));
        fail_next_thread_starts(0);
        reset_policy();
        reg::reset_store();
    }
    void start() {
        ASSERT_TRUE(start_detached([] { pipe_session(); }, session_stack_size));
        started = true;
        ASSERT_TRUE(wait_until([] { return pipe_sessions_waiting() == 1; }));
    }
    // Connects a new client and reads its first prompt.
    PipeClient& connect(std::string* first_prompt = nullptr) {
        return test::connect_client(clients, PIPE_NAME, first_prompt);
    }
    // Opens a connection to the test host from the prompt.
    void open_host(PipeClient& c, int host_connections_after) {
        ASSERT_TRUE(test::open_test_host(c, host, host_connections_after));
    }
    std::string prompt() const { return test::pipe_default_prompt(); }

    test::TempDir dir;
    test::ScopedEnv runtime{"VAROLAN_RUNTIME_DIR", dir.str("run")};
    test::ScopedEnv store{"VAROLAN_REGISTRY", dir.str("registry.db")};
    test::TcpHost host;
    std::deque<PipeClient> clients;
    bool started = false;
};

TEST_F(PipeSessionTest, PromptNamesTheMachineAndThePipeOrShowsTheConfiguredText) {
    start();
    std::string text;
    PipeClient& c = connect(&text);
    EXPECT_EQ(text, prompt());
    EXPECT_EQ(connection_count.load(), 1);

    std::strcpy(global_prompt, "Welcome to the gateway");
    PipeClient& d = connect(&text);
    EXPECT_EQ(text, "\r\nWelcome to the gateway\r\nTelnet >");
    (void)c;
    (void)d;
}

TEST_F(PipeSessionTest, HelpStatusAndQuitAtThePrompt) {
    start();
    PipeClient& c = connect();
    ASSERT_TRUE(c.type("?\r"));
    EXPECT_EQ(
        c.read_until("Telnet >"),
        "?\r\nCommands\r\n\nO    Open\r\nQ    Quit\r\nS    Status\r\n?    Help\r\n" + prompt());
    ASSERT_TRUE(c.type("s\r"));
    EXPECT_EQ(c.read_until("Telnet >"),
              "s\r\nThere have been 1 connections\r\nWith 0 bytes transported\r\n" + prompt())
        << "the session counts itself";
    ASSERT_TRUE(c.type("q\r"));
    EXPECT_TRUE(c.wait_closed());
    EXPECT_EQ(c.read_quiet(0ms), "q\r\n") << "Q writes nothing but its echo";
    EXPECT_TRUE(wait_until([] { return pipe_sessions_running() == 1; }));
}

TEST_F(PipeSessionTest, AMessageOfSeveralBytesAtThePromptEndsTheSession) {
    start();
    PipeClient& c = connect();
    // The prompt reads one byte per message: a longer message fails that read.
    ASSERT_TRUE(c.send("s\r"));
    EXPECT_TRUE(c.wait_closed());
    EXPECT_EQ(c.read_quiet(0ms), "") << "neither echo nor status";
    EXPECT_TRUE(wait_until([] { return pipe_sessions_running() == 1; }));
    std::string text;
    connect(&text);
    EXPECT_EQ(text, prompt()) << "the next client is served";
}

// An idle pass waits without a time limit and ends only when the client
// sends or the host reader hands over a block (or ends): a relay that moved
// data only when some wait timed out would stall at the first step here.
TEST_F(PipeSessionTest, RelayNeedsNoIdleTimeoutToMoveData) {
    start();
    PipeClient& c = connect();
    open_host(c, 1);
    std::string sent;
    for (int i = 0; i < 5; ++i) {
        const std::string up = "ping " + std::to_string(i);
        const std::string down = "pong " + std::to_string(i);
        ASSERT_TRUE(c.send(up));
        sent += up;
        ASSERT_TRUE(host.wait_for_received(sent.size())) << i;
        ASSERT_TRUE(host.send(down));
        ASSERT_EQ(c.read_until(down), down) << i;
    }
    // A message read in pieces over several passes, and negotiation answered.
    std::string big(10000, 'b');
    ASSERT_TRUE(c.send(big));
    sent += big;
    ASSERT_TRUE(host.wait_for_received(sent.size()));
    ASSERT_TRUE(host.send(IAC + "\xfd\x01" + "after"));
    EXPECT_EQ(c.read_until("after"), "after");
    ASSERT_TRUE(host.wait_for_received(sent.size() + 3));
    EXPECT_EQ(host.received().substr(sent.size()), IAC + "\xfb\x01");

    // Each way out of the relay: the host closing, the escape, the client going.
    host.close_connection();
    EXPECT_EQ(c.read_until("Telnet >"), prompt());
    open_host(c, 2);
    ASSERT_TRUE(c.send("\x1d"));
    EXPECT_EQ(c.read_until("Telnet >"), prompt());
    EXPECT_TRUE(host.wait_for_peer_close());
    open_host(c, 3);
    c.close();
    EXPECT_TRUE(host.wait_for_peer_close());
    EXPECT_TRUE(wait_until([] { return pipe_sessions_running() == 1; }));
}

TEST_F(PipeSessionTest, RelaysBothWaysAndCountsTheBytes) {
    start();
    PipeClient& c = connect();
    open_host(c, 1);
    ASSERT_TRUE(c.send("hello host"));
    ASSERT_TRUE(host.wait_for_received(10));
    EXPECT_EQ(host.received(), "hello host");
    ASSERT_TRUE(host.send("hello user"));
    EXPECT_EQ(c.read_until("user"), "hello user");
    // A block with a NUL byte and bytes from 128 up passes whole.
    std::string binary("a\0b\x80\xfe", 5);
    ASSERT_TRUE(host.send(binary));
    EXPECT_EQ(c.read_until("\xfe"), binary);
    // A data byte 255 is IAC IAC on the host connection, in both directions.
    ASSERT_TRUE(c.send("x\xffy"));
    ASSERT_TRUE(host.wait_for_received(10 + 4));
    EXPECT_EQ(host.received().substr(10), "x\xff\xffy");
    ASSERT_TRUE(host.send("p\xff\xffq"));
    EXPECT_EQ(c.read_until("q"), "p\xffq");
    EXPECT_EQ(byte_count.load(), 10 + 10 + 5 + 3 + 4);
}

TEST_F(PipeSessionTest, AnswersNegotiationWithTheTerminalTypeReadAtListenTime) {
    set_store_string(layout::VALUE_TERMINAL_TYPE, "VT100");
    start();
    // Changed while the first thread listens: its client still gets VT100; the
    // successor, started after that client connected, reads the new value.
    set_store_string(layout::VALUE_TERMINAL_TYPE, "ANSI");
    const std::string negotiation = IAC + "\xfd\x01" + IAC + "\xfb\x03" + IAC + "\xfd\x18" + IAC +
                                    "\xfa\x18\x01" + IAC + "\xf0" + "visible";
    const std::string answers_head = IAC + "\xfb\x01" + IAC + "\xfd\x03" + IAC + "\xfb\x18";
    int n = 0;
    for (const char* type : {"VT100", "ANSI"}) {
        PipeClient& c = connect();
        open_host(c, ++n);
        ASSERT_TRUE(host.send(negotiation));
        EXPECT_EQ(c.read_until("visible"), "visible") << "commands are hidden from the user";
        std::string expected =
            answers_head + IAC + "\xfa\x18" + std::string(1, '\0') + type + IAC + "\xf0";
        EXPECT_TRUE(host.wait_for_received(expected.size()));
        EXPECT_EQ(host.received(), expected) << type;
    }
}

TEST_F(PipeSessionTest, EscapeAnywhereInABlockDropsItAndReturnsToThePrompt) {
    std::strcpy(escape_set, "\x1d\x01");
    start();
    PipeClient& c = connect();
    int n = 0;
    for (std::string block : {std::string("\x1d"), std::string("abc\x1d"), std::string("\x01xyz"),
                              std::string("ab\x1d"
                                          "cd")}) {
        open_host(c, ++n);
        ASSERT_TRUE(c.send(block));
        EXPECT_EQ(c.read_until("Telnet >"), prompt()) << "no message, only the prompt";
        EXPECT_TRUE(host.wait_for_peer_close());
        EXPECT_EQ(host.received(), "") << "nothing of the block reaches the host";
    }
}

TEST_F(PipeSessionTest, HostClosingReturnsToThePromptSilently) {
    start();
    PipeClient& c = connect();
    open_host(c, 1);
    ASSERT_TRUE(host.send("last words"));
    host.close_connection();
    EXPECT_EQ(c.read_until("Telnet >"), "last words" + prompt());
    // The session goes on at the prompt.
    ASSERT_TRUE(c.type("s\r"));
    EXPECT_NE(c.read_until("Telnet >").find("There have been 1 connections"), std::string::npos);
}

TEST_F(PipeSessionTest, EmptyEscapeSetCannotEscapeButTheHostCanClose) {
    escape_set[0] = '\0';
    start();
    PipeClient& c = connect();
    open_host(c, 1);
    ASSERT_TRUE(c.send(std::string("\x1d\x00q", 3)));
    ASSERT_TRUE(host.wait_for_received(3));
    EXPECT_EQ(host.received(), std::string("\x1d\x00q", 3));
    EXPECT_FALSE(host.peer_closed());
    host.close_connection();
    EXPECT_EQ(c.read_until("Telnet >"), prompt());
}

TEST_F(PipeSessionTest, ClientVanishingMidRelayReleasesTheHostConnection) {
    start();
    PipeClient& c = connect();
    open_host(c, 1);
    ASSERT_TRUE(c.send("x"));
    ASSERT_TRUE(host.wait_for_received(1));
    c.close();
    EXPECT_TRUE(host.wait_for_peer_close());
    EXPECT_TRUE(wait_until([] { return pipe_sessions_running() == 1; }));
}

TEST_F(PipeSessionTest, LongMessageReachesTheHostWholeAndEmptyMessagesAreHarmless) {
    start();
    PipeClient& c = connect();
    open_host(c, 1);
    std::string big(10000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>('a' + i % 26);
    }
    ASSERT_TRUE(c.send(""));
    ASSERT_TRUE(c.send(big));
    ASSERT_TRUE(c.send(""));
    ASSERT_TRUE(c.send("!"));
    ASSERT_TRUE(host.wait_for_received(big.size() + 1));
    EXPECT_EQ(host.received(), big + "!");
    EXPECT_EQ(byte_count.load(), static_cast<int>(big.size()) + 1);
}

TEST_F(PipeSessionTest, SeveralClientsEachHaveTheirOwnSession) {
    start();
    constexpr int N = 3;
    PipeClient* c[N];
    for (int i = 0; i < N; ++i) {
        c[i] = &connect();
    }
    EXPECT_EQ(connection_count.load(), N);
    EXPECT_TRUE(wait_until([] { return pipe_sessions_running() == N + 1; }));
    for (int i = 0; i < N; ++i) {
        open_host(*c[i], i + 1);
    }
    for (int i = 0; i < N; ++i) {
        ASSERT_TRUE(c[i]->send("from " + std::to_string(i)));
        ASSERT_TRUE(host.send("to " + std::to_string(i), i));
    }
    for (int i = 0; i < N; ++i) {
        EXPECT_TRUE(host.wait_for_received(6, i));
        EXPECT_EQ(host.received(i), "from " + std::to_string(i));
        EXPECT_EQ(c[i]->read_until("to " + std::to_string(i)), "to " + std::to_string(i));
    }
}

TEST_F(PipeSessionTest, PausedSessionsHoldTheirDataUntilContinued) {
    start();
    PipeClient& c = connect();
    open_host(c, 1);
    gate_hold();
    // The idle relay comes to the gate at once, woken by the pause; the session waiting
    // for the next client does not pass it.
    ASSERT_TRUE(wait_until([] { return gate_waiters() == 1; }));
    ASSERT_TRUE(host.send("held"));
    ASSERT_TRUE(c.send("also held"));
    EXPECT_EQ(c.read_quiet(300ms), "") << "nothing reaches the client while paused";
    EXPECT_EQ(host.received(), "") << "nothing reaches the host while paused";
    EXPECT_EQ(gate_waiters(), 1);
    gate_release();
    EXPECT_EQ(c.read_until("held"), "held");
    EXPECT_TRUE(host.wait_for_received(9));
    EXPECT_EQ(host.received(), "also held");
    EXPECT_EQ(gate_waiters(), 0);
}

TEST_F(PipeSessionTest, EndedSessionsLeaveNoDescriptorOrThreadBehind) {
    const int fds = test::count_open_fds();
    const int threads = test::count_threads();
    start();
    for (int round = 0; round < 3; ++round) {
        PipeClient& c = connect();
        open_host(c, round + 1);
        ASSERT_TRUE(c.send("x"));
        ASSERT_TRUE(host.wait_for_received(1));
        if (round == 0) {
            c.close();  // vanishes mid-relay
        } else if (round == 1) {
            ASSERT_TRUE(c.type("\x1d"));  // escapes, then quits
            c.read_until("Telnet >");
            ASSERT_TRUE(c.type("q\r"));
            EXPECT_TRUE(c.wait_closed());
        } else {
            host.close_connection();  // host closes, then the client goes at the prompt
            c.read_until("Telnet >");
            c.close();
            continue;
        }
        EXPECT_TRUE(host.wait_for_peer_close());
    }
    EXPECT_TRUE(wait_until([] { return pipe_sessions_running() == 1; }));
    stop_pipe_listener();
    EXPECT_TRUE(wait_until([] { return pipe_sessions_running() == 0; }));
    clients.clear();
    EXPECT_TRUE(wait_until([&] { return test::count_threads() == threads; }));
    reg::reset_store();  // the store keeps one connection for the process
    EXPECT_TRUE(wait_until([&] { return test::count_open_fds() == fds; }))
        << test::count_open_fds() << " open, " << fds << " before";
    started = false;
}

TEST_F(PipeSessionTest, StoppedListenerEndsTheWaitingThreadWithoutSuccessor) {
    start();
    stop_pipe_listener();
    EXPECT_TRUE(wait_until([] { return pipe_sessions_running() == 0; }));
    PipeClient c;
    EXPECT_FALSE(c.connect(PIPE_NAME));
    // A successor that comes to make its instance only after the stop (its
    // client connected just before) ends too, instead of listening anew.
    Event done;
    ASSERT_TRUE(done.create(true, false));
    Thread late;
    ASSERT_TRUE(late.start(
        [&done] {
            pipe_session();
            done.set();
        },
        session_stack_size));
    EXPECT_EQ(done.wait(10000), WaitResult::signaled) << "the late successor listens";
    EXPECT_FALSE(c.connect(PIPE_NAME));
    if (done.wait(0) != WaitResult::signaled) {
        pipe::shutdown_pipe_listener(PIPE_NAME);  // frees it, so that the join ends
        c.close();
    }
    late.join();
    started = false;
}

TEST_F(PipeSessionTest, ClientsArrivingAsTheLastSessionEndsAreServed) {
    start();
    // Each client quits at once and the next connects at once: whether or not
    // the successor has made its instance yet, the client is queued and served.
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        std::string text;
        PipeClient& c = connect(&text);
        ASSERT_EQ(text, prompt());
        ASSERT_TRUE(c.type("q\r"));
        ASSERT_TRUE(c.wait_closed());
        clients.clear();
    }
    EXPECT_EQ(connection_count.load(), 20);
}

const std::string FULL = "Varolan: too many sessions, try again later.\r\n";

// A client over either limit gets the one line and is closed at once, and is
// logged; the listener goes on, and once a session has ended a client is
// served again.
TEST_F(PipeSessionTest, ClientsOverALimitAreToldAndClosed) {
    test::LogCapture log;
    set_session_limits({3, 2});  // this test is one account: 2 sessions
    start();
    connect();
    connect();
    PipeClient& third = clients.emplace_back();
    ASSERT_TRUE(third.connect(PIPE_NAME));
    EXPECT_TRUE(third.wait_closed());
    EXPECT_EQ(third.read_until(FULL), FULL);
    EXPECT_EQ(pipe_sessions_admitted(), 2u);

    set_session_limits({2, 5});  // now the total is reached first
    PipeClient& fourth = clients.emplace_back();
    ASSERT_TRUE(fourth.connect(PIPE_NAME));
    EXPECT_TRUE(fourth.wait_closed());
    EXPECT_EQ(fourth.read_until(FULL), FULL);

    ASSERT_TRUE(clients.front().type("q\r"));
    ASSERT_TRUE(clients.front().wait_closed());
    ASSERT_TRUE(wait_until([] { return pipe_sessions_admitted() == 1; }));
    std::string text;
    connect(&text);
    EXPECT_EQ(text, prompt());
    EXPECT_EQ(connection_count.load(), 3) << "refused clients are not counted as served";
    EXPECT_EQ(log.count("refused: Maximum Sessions Per User reached"), 1);
    EXPECT_EQ(log.count("refused: Maximum Sessions reached"), 1);
    EXPECT_EQ(log.count(") connected"), 3);
    EXPECT_EQ(log.count("<6>pipe session 1: account "), 2) << "connected and ended";
}

// No thread for the next listener: the client that would have needed it is
// told and closed, the thread that took it stays the listener and tries again
// with the next client; the trouble is logged once, and once when it clears.
TEST_F(PipeSessionTest, ASuccessorThatCannotStartIsTriedAgainWithTheNextClient) {
    test::LogCapture log;
    start();
    fail_next_thread_starts(3);
    for (int i = 0; i < 3; ++i) {
        PipeClient& c = clients.emplace_back();
        ASSERT_TRUE(c.connect(PIPE_NAME));
        EXPECT_TRUE(c.wait_closed()) << i;
        EXPECT_EQ(c.read_until(FULL), FULL) << i;
    }
    std::string text;
    connect(&text);
    EXPECT_EQ(text, prompt());
    std::string second_text;
    connect(&second_text);
    EXPECT_EQ(second_text, prompt()) << "the successor of the served client listens";
    EXPECT_EQ(log.count("<4>pipe listener: cannot start a thread for the next client: "), 1);
    EXPECT_EQ(log.count("<5>pipe listener: taking clients again"), 1);
    EXPECT_EQ(pipe_sessions_admitted(), 2u);
}

}  // namespace
}  // namespace varolan::service
