// The port session with the real opener: a pty stands for the serial port (a
// line without modem signals, as a three-wire cable or an adapter without modem
// lines is), with the fake clock and the loopback host.
#include <atomic>

#include "tests/service/serial/port_session_fixture.h"
#include "tests/support/serial_pty.h"

namespace varolan::test {
namespace {

using namespace varolan::serial;
using namespace varolan::layout;

// The real opener, until refuse() makes every later open fail as a port held
// elsewhere would (the session then gives the port up and its thread ends).
class RealOpener final : public CommOpener {
  public:
    RealOpener() {
        outer_ = set_comm_opener(nullptr);
        real_ = &comm_opener();
        set_comm_opener(this);
    }
    ~RealOpener() override { set_comm_opener(outer_); }
    void refuse() { refused_.store(true); }
    DWORD open(const char* name, std::unique_ptr<CommPort>& out) override {
        if (refused_.load()) {
            return ERROR_ACCESS_DENIED;
        }
        return real_->open(name, out);
    }

  private:
    CommOpener* outer_ = nullptr;
    CommOpener* real_ = nullptr;
    std::atomic<bool> refused_{false};
};

class PortOnPty : public PortSessionTest {
  public:
    PortOnPty() { set_string(VALUE_PORT_NAME, pty_.port_path()); }
    ~PortOnPty() override { end(); }

    // Ends the session: later opens are refused, and the line goes away so
    // whatever the session waits for on it ends.
    void end() {
        if (!thread_.joinable()) {
            return;
        }
        opener_real_.refuse();
        pty_.close_master();
        thread_.join();
    }

    PtyPair pty_;
    RealOpener opener_real_;
};

// A "Port Name" that is empty or missing names no device: the port is given up
// as not openable at the first try, not retried as an absent one.
TEST_F(PortOnPty, AnEmptyOrMissingPortNameIsGivenUp) {
    for (bool missing : {false, true}) {
        SCOPED_TRACE(missing ? "missing" : "empty");
        if (missing) {
            remove(VALUE_PORT_NAME);
        } else {
            set_string(VALUE_PORT_NAME, "");
        }
        set_dword(VALUE_DEVICE_FLAGS, 0);
        start();
        const bool ended = done_.wait(10000) == WaitResult::signaled;
        EXPECT_TRUE(ended) << "the thread ends";
        if (!ended) {
            opener_real_.refuse();
        }
        thread_.join();
        done_ = Event();
        EXPECT_EQ(device_flags(), DEVICE_OPEN_FAILED);
        EXPECT_TRUE(sleeps_of(1000).empty()) << "retried as an absent port";
    }
}

class AutoOpenOnPty : public PortOnPty, public ::testing::WithParamInterface<std::uint32_t> {};

// A pty has no modem lines: the awaited signal can never show, so it is taken
// as present. One connection is made and relays both ways; it is not ended for
// want of the signal and made again.
TEST_P(AutoOpenOnPty, ConnectsOnceAndStays) {
    ASSERT_TRUE(pty_.ok());
    set_dword(VALUE_AUTO_OPEN, GetParam());
    set_string(VALUE_AUTO_OPEN_COMPUTER_NAME, "127.0.0.1");
    start();
    ASSERT_TRUE(host_.wait_for_connections(1));
    ASSERT_TRUE(pty_.read_until("Trying... 127.0.0.1\r\n")) << pty_.seen();
    for (int i = 0; i < 3; ++i) {
        const std::string up = "up " + std::to_string(i);
        const std::string down = "down " + std::to_string(i);
        ASSERT_TRUE(pty_.type(up));
        ASSERT_TRUE(host_.wait_for_received((i + 1) * up.size())) << i;
        ASSERT_TRUE(host_.send(down));
        ASSERT_TRUE(pty_.read_until(down)) << pty_.seen();
    }
    EXPECT_EQ(host_.connections(), 1);
    EXPECT_FALSE(host_.peer_closed());
    EXPECT_TRUE(clock_.sleeps().empty()) << "no settle time, no line-drop wait";
    EXPECT_EQ(device_flags(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, AutoOpenOnPty,
                         ::testing::Values(AUTO_OPEN_CTS, AUTO_OPEN_DSR, AUTO_OPEN_CARRIER));

}  // namespace
}  // namespace varolan::test
