// The port session's relay against peers that stop taking data, on the fake
// line with the fake clock: a host that takes nothing, and a line whose flow
// control holds the output.
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "service/session/relay.h"
#include "tests/service/serial/port_session_fixture.h"
#include "tests/support/wait_until.h"

namespace varolan::test {
namespace {

using namespace std::chrono_literals;
using namespace varolan::serial;

// Bytes without the escape character or 255, in a pattern that shows order.
std::string typed_text(std::size_t size, char first) {
    std::string s(size, first);
    for (std::size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>(first + i % 23);
    }
    return s;
}

class PortRelayTest : public PortSessionTest {
  protected:
    // Starts a session and opens a host connection from its prompt.
    void relaying() {
        set_escape("\x1d");
        start();
        ASSERT_TRUE(wait_prompt());
        ASSERT_TRUE(open_host());
        ASSERT_TRUE(line_->wait_for_log(LineEvent::timeouts_set, 2));
    }
    // True once typed input stays waiting in the line: the relay has stopped
    // reading it (nothing taken for a while). False when it was all read.
    bool input_held() {
        std::size_t left = line_->input_left();
        for (int still = 0; still < 10;) {
            std::this_thread::sleep_for(50ms);
            const std::size_t now = line_->input_left();
            if (now == 0) {
                return false;
            }
            still = now == left ? still + 1 : 0;
            left = now;
        }
        return true;
    }
    // Types until the relay stops reading the line; returns what was typed.
    std::string type_until_held(char first) {
        std::string typed;
        do {
            const std::string chunk = typed_text(256 * 1024, first);
            line_->push_input(chunk);
            typed += chunk;
        } while (!input_held() && typed.size() < (256u << 20));
        return typed;
    }
};

// A host that takes nothing makes the relay stop reading the line; as long as
// the host has not been silent for the stuck-host time, nothing is thrown
// away, and once it reads again everything arrives in order. A host silent
// for that time is stuck: the input is read to find the escape and the rest is
// thrown away and counted.
TEST_F(PortRelayTest, ASlowHostLosesNothingAndAStuckOneStillLetsTheEscapeThrough) {
    relaying();
    host_.set_reading(false);
    const std::string slow = type_until_held('a');
    clock_.advance(service::STUCK_MS - 1);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(service::discarded_count.load(), 0) << "not stuck yet";
    host_.set_reading(true);
    ASSERT_TRUE(host_.wait_for_received(slow.size(), -1, 60s));
    EXPECT_EQ(host_.received(), slow);
    EXPECT_EQ(service::discarded_count.load(), 0);

    host_.set_reading(false);
    const std::string stuck = type_until_held('A');
    // Stuck once it has taken nothing for the stuck-host time (the kernel may
    // still take a little now and then, which starts that time anew).
    ASSERT_TRUE(wait_until([&] {
        clock_.advance(service::STUCK_MS);
        return wait_until([&] { return line_->input_left() == 0; }, 1s);
    })) << "stuck: the input is read to look for the escape";
    line_->push_input("\x1d");
    host_.set_reading(true);
    ASSERT_TRUE(host_.wait_for_peer_close(-1, 30s));
    ASSERT_TRUE(line_->wait_for_log(LineEvent::opened, 2)) << "the port is reopened";
    const std::string got = host_.received().substr(slow.size());
    EXPECT_EQ(got, stuck.substr(0, got.size())) << "what went went in order";
    const auto discarded = static_cast<std::size_t>(service::discarded_count.load());
    EXPECT_GT(discarded, 0u);
    EXPECT_LE(got.size() + discarded, stuck.size());
    EXPECT_GE(got.size() + discarded + service::HOST_QUEUE_SIZE, stuck.size())
        << "only what still waited for the host at the end is neither sent nor counted";
}

// While the line's flow control holds the output, each write waits a bounded
// time: the host's data waits (and arrives whole once the line lets go), the
// user's typing still reaches the host, and the escape, the host closing and a
// line drop are all noticed.
TEST_F(PortRelayTest, FlowControlHeldForSecondsLosesNothingAndTheRelayStillHearsEverything) {
    set_dword(layout::VALUE_AUTO_OPEN, 1);  // CTS: the line signal is watched while relaying
    line_->set_modem_status(MS_CTS_ON);
    relaying();
    std::size_t before = line_->output().size();
    line_->hold_output(true);
    const std::uint64_t held_at = clock_.now_ms();
    const std::string data = typed_text(64 * 1024, 'a');
    ASSERT_TRUE(host_.send(data));
    ASSERT_TRUE(wait_until([&] { return clock_.now_ms() - held_at >= 10000; }))
        << "each held write waits its time";
    EXPECT_EQ(line_->output().size(), before);
    line_->push_input("typed");
    ASSERT_TRUE(host_.wait_for_received(5)) << "the other direction goes on";
    line_->hold_output(false);
    ASSERT_TRUE(line_->wait_for_output(data, 30000, before));
    EXPECT_EQ(line_->output().substr(before), data) << "nothing lost, nothing doubled";

    struct End {
        const char* what;
        std::function<void()> act;
    } ends[] = {
        {"escape", [&] { line_->push_input("\x1d"); }},
        {"host closes", [&] { host_.close_connection(); }},
        {"line drops", [&] { line_->drop_modem(MS_CTS_ON); }},
    };
    int connections = 1;
    for (const End& end : ends) {
        SCOPED_TRACE(end.what);
        if (connections > 1) {
            ASSERT_TRUE(wait_prompt(line_->output().size()));
            ASSERT_TRUE(open_host(connections - 1));
        }
        const int opened = static_cast<int>(line_->log_of(LineEvent::opened).size());
        line_->hold_output(true);
        ASSERT_TRUE(host_.send(data));
        const std::uint64_t t = clock_.now_ms();
        ASSERT_TRUE(wait_until([&] { return clock_.now_ms() - t >= 1000; })) << "held";
        end.act();
        // The connection ends and the port is reopened while the line still
        // holds its output.
        ASSERT_TRUE(line_->wait_for_log(LineEvent::opened, opened + 1, 30000))
            << "noticed while held";
        EXPECT_TRUE(host_.wait_for_open_connections(0)) << "the host connection is closed";
        line_->hold_output(false);
        line_->set_modem_status(MS_CTS_ON);
        ++connections;
    }
}

}  // namespace
}  // namespace varolan::test
