// The port session on a fake line against faults that pass the other tests: the
// hang-up's DTR under each flow control, a relay that spins or sleeps through
// a host block, and a store that another process keeps locked.
#include <algorithm>
#include <chrono>
#include <mutex>

#include "platform/core/log.h"
#include "tests/service/serial/port_session_fixture.h"
#include "tests/support/wait_until.h"

namespace varolan::test {
namespace {

using namespace varolan::serial;
using namespace varolan::layout;
using namespace std::chrono_literals;

// --- the hang-up --------------------------------------------------------------------

struct HangUpCase {
    std::uint32_t flow_control;
    bool dtr_while_connected;
    bool drops_dtr;  // before the port is closed, for a while
};

class HangUpDtr : public PortSessionTest, public ::testing::WithParamInterface<HangUpCase> {};

// Only the hardware handshake (the modem setting) drops DTR to hang up; under
// every other flow control the line is closed as it stands, at once.
TEST_P(HangUpDtr, FollowsTheFlowControl) {
    const HangUpCase& c = GetParam();
    set_dword(VALUE_FLOW_CONTROL, c.flow_control);
    set_string(VALUE_XON_CHAR, "\x11");
    set_string(VALUE_XOFF_CHAR, "\x13");
    start();
    ASSERT_TRUE(wait_prompt());
    ASSERT_TRUE(open_host());
    ASSERT_TRUE(line_->wait_for_log(LineEvent::timeouts_set, 2));  // relaying
    EXPECT_EQ(line_->dtr(), c.dtr_while_connected);
    const std::size_t relaying = line_->log().size();

    host_.close_connection();
    ASSERT_TRUE(line_->wait_for_log(LineEvent::closed));
    const auto log = line_->log();
    std::size_t changes = 0;
    std::uint64_t dropped_at = 0;
    std::uint64_t closed_at = 0;
    for (std::size_t i = relaying; i < log.size() && closed_at == 0; ++i) {
        if (log[i].kind == LineEvent::state_set) {
            ++changes;
            EXPECT_EQ(log[i].dcb.fDtrControl, DTR_CONTROL_DISABLE);
        }
        if (log[i].kind == LineEvent::dtr && log[i].value == 0) {
            dropped_at = log[i].at_ms;
        }
        if (log[i].kind == LineEvent::closed) {
            closed_at = log[i].at_ms;
        }
    }
    ASSERT_NE(closed_at, 0u);
    EXPECT_EQ(changes, c.drops_dtr ? 1u : 0u) << "line state changed at the hang-up";
    EXPECT_EQ(dropped_at != 0, c.drops_dtr);
    if (c.drops_dtr) {
        EXPECT_EQ(closed_at - dropped_at, 1000u) << "DTR stays low for a second";
    }
}

INSTANTIATE_TEST_SUITE_P(FlowControls, HangUpDtr,
                         ::testing::Values(HangUpCase{FLOW_NONE, false, false},
                                           HangUpCase{FLOW_XON_XOFF, false, false},
                                           HangUpCase{FLOW_DTR_DSR, true, false},
                                           HangUpCase{FLOW_RTS_CTS, false, false},
                                           HangUpCase{FLOW_HARDWARE, true, true}));

// --- the relay's pace -----------------------------------------------------------------

// With nothing to move, each relay pass waits for the port or the host,
// without a time limit, instead of reading the port over and over; a host
// block ends the wait at once.
TEST_F(PortSessionTest, AnIdleRelayWaitsAndAHostBlockWakesIt) {
    start();
    ASSERT_TRUE(wait_prompt());
    ASSERT_TRUE(open_host());
    ASSERT_TRUE(line_->wait_for_log(LineEvent::timeouts_set, 2));  // relaying
    line_->push_input("a");
    ASSERT_TRUE(host_.wait_for_received(1));

    // A relay that does not wait makes thousands of passes in 500 ms.
    const std::uint64_t reads = line_->read_calls();
    EXPECT_FALSE(wait_until([&] { return line_->read_calls() > reads + 20; }, 500ms))
        << "the relay reads an idle port over and over: " << line_->read_calls() - reads;

    const std::size_t before = line_->output().size();
    ASSERT_TRUE(host_.send("from host"));
    EXPECT_TRUE(line_->wait_for_output("from host", 10000, before));
}

// --- a locked store -------------------------------------------------------------------

// The log lines of the test, collected from any thread.
class LogLines {
  public:
    LogLines() {
        set_log_sink([this](LogLevel level, const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.emplace_back(level, line);
        });
    }
    ~LogLines() { set_log_sink({}); }
    std::size_t count(LogLevel level, const std::string& part) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](auto& l) {
            return l.first == level && l.second.find(part) != std::string::npos;
        }));
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::pair<LogLevel, std::string>> lines_;
};

// Reading a line parameter finds the store locked past its busy timeout, five
// times running: the session waits with growing pauses, says so once, and
// serves the port when the store is free; nothing is given up.
TEST_F(PortSessionTest, AStoreLockedWhileReadingIsWaitedFor) {
    LogLines log;
    reg::inject_fault(reg::Op::query_value, key_path_, VALUE_DATA_BITS, ERROR_SHARING_VIOLATION, 5);
    start();
    ASSERT_TRUE(wait_prompt());
    EXPECT_EQ(device_flags(), 0u);
    EXPECT_EQ(line_->state().ByteSize, 8);
    EXPECT_EQ(clock_.sleeps(), (std::vector<std::uint32_t>{1000, 2000, 4000, 8000, 8000}));
    EXPECT_EQ(log.count(LogLevel::warning, "\"Data Bits\" waits"), 1u);
    EXPECT_EQ(log.count(LogLevel::notice, "\"Data Bits\" goes on"), 1u);
}

// Injects a locked store for the next writes of "Device Flags" once the port
// is being opened, that is after the session wrote 0 there.
class LockingOpener final : public CommOpener {
  public:
    LockingOpener(std::string key_path, unsigned times)
        : key_path_(std::move(key_path)), times_(times) {
        previous_ = set_comm_opener(this);
    }
    ~LockingOpener() override { set_comm_opener(previous_); }
    DWORD open(const char* name, std::unique_ptr<CommPort>& out) override {
        reg::inject_fault(reg::Op::set_value, key_path_, VALUE_DEVICE_FLAGS,
                          ERROR_SHARING_VIOLATION, times_);
        return previous_->open(name, out);
    }

  private:
    std::string key_path_;
    unsigned times_;
    CommOpener* previous_ = nullptr;
};

// A value that is really missing still gives the port up, and its cause is
// recorded even when the store is locked at that moment.
TEST_F(PortSessionTest, TheCauseOfAPortGivenUpOutlastsALockedStore) {
    LockingOpener locking(key_path_, 2);
    remove(VALUE_DATA_BITS);
    ASSERT_TRUE(run_to_end());
    EXPECT_EQ(device_flags(), DEVICE_DATABITS_ERROR);
    EXPECT_EQ(clock_.sleeps(), (std::vector<std::uint32_t>{1000, 2000}));
}

}  // namespace
}  // namespace varolan::test
