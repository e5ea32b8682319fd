// The port session on a fake line with the fake clock: opening and configuring
// (with the "Device Flags" bit of each failure), the flow-control rows, modem
// initialisation and line-signal waits, the prompt, and the relay.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

#include "platform/net/net.h"
#include "tests/service/serial/port_session_fixture.h"
#include "tests/support/log_capture.h"

namespace varolan::test {
namespace {

using namespace varolan::serial;
using namespace varolan::layout;

std::string host_name() {
    char name[service::HOST_NAME_SIZE] = {};
    local_host_name(name, sizeof name);
    return name;
}

std::size_t count_of(const std::vector<LineEvent>& log, LineEvent::Kind kind) {
    return static_cast<std::size_t>(
        std::count_if(log.begin(), log.end(), [&](const LineEvent& e) { return e.kind == kind; }));
}

// --- opening and configuring ------------------------------------------------------

TEST_F(PortSessionTest, AppliesTheLineParametersOneByOneInOrder) {
    // A device state that differs in every parameter shows which step set what.
    DCB initial;
    initial.BaudRate = 1200;
    initial.ByteSize = 7;
    initial.Parity = EVENPARITY;
    initial.StopBits = TWOSTOPBITS;
    initial.fDtrControl = DTR_CONTROL_ENABLE;
    initial.fRtsControl = RTS_CONTROL_ENABLE;
    initial.fOutxCtsFlow = 1;
    initial.fInX = 1;
    line_->set_initial_state(initial);
    start();
    ASSERT_TRUE(wait_prompt());
    EXPECT_EQ(device_flags(), 0u);

    auto sets = line_->log_of(LineEvent::state_set);
    ASSERT_EQ(sets.size(), 6u);
    EXPECT_EQ(sets[0].dcb.fBinary, 1u);
    EXPECT_EQ(sets[0].dcb.fParity, 1u);
    EXPECT_EQ(sets[0].dcb.ByteSize, 7);
    EXPECT_EQ(sets[1].dcb.ByteSize, 8);
    EXPECT_EQ(sets[1].dcb.Parity, EVENPARITY);
    EXPECT_EQ(sets[2].dcb.Parity, NOPARITY);
    EXPECT_EQ(sets[2].dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(sets[3].dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(sets[3].dcb.BaudRate, 1200u);
    EXPECT_EQ(sets[4].dcb.BaudRate, 9600u);
    EXPECT_EQ(sets[4].dcb.fOutxCtsFlow, 1u);
    const DCB& last = sets[5].dcb;
    EXPECT_EQ(last.fOutxCtsFlow, 0u);
    EXPECT_EQ(last.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(last.fRtsControl, RTS_CONTROL_DISABLE);
    EXPECT_EQ(last.fInX, 1u);  // kept as the device reported it

    auto timeouts = line_->log_of(LineEvent::timeouts_set);
    ASSERT_EQ(timeouts.size(), 1u);
    const COMMTIMEOUTS& t = timeouts[0].timeouts;
    EXPECT_EQ(t.ReadIntervalTimeout + t.ReadTotalTimeoutMultiplier + t.ReadTotalTimeoutConstant +
                  t.WriteTotalTimeoutMultiplier + t.WriteTotalTimeoutConstant,
              0u);
}

struct GiveUpCase {
    const char* what;
    void (*arrange)(PortSessionTest&);
    std::uint32_t flags;
    std::size_t states_taken;  // SetCommState calls that succeeded (-1: not checked)
};

class PortGivesUp : public PortSessionTest, public ::testing::WithParamInterface<GiveUpCase> {
  public:
    void arrange_refusal(DcbField field, DWORD value) { line_->refuse(field, value); }
};

TEST_P(PortGivesUp, RecordsTheCauseAndEnds) {
    test::LogCapture log;
    const GiveUpCase& c = GetParam();
    c.arrange(*this);
    ASSERT_TRUE(run_to_end()) << c.what;
    EXPECT_EQ(device_flags(), c.flags) << c.what;
    // The cause reaches the log too, with the flags the utility shows.
    char flags[32];
    std::snprintf(flags, sizeof flags, "(Device Flags 0x%X)", static_cast<unsigned>(c.flags));
    ASSERT_EQ(log.count(" given up: "), 1) << c.what;
    for (const std::string& line : log.lines()) {
        if (line.find(" given up: ") != std::string::npos) {
            EXPECT_EQ(line.rfind(std::string("<4>port ") + kSubkey + " (", 0), 0u) << line;
            EXPECT_NE(line.find(flags), std::string::npos) << line;
        }
    }
    EXPECT_FALSE(line_->is_open()) << c.what;
    if (c.states_taken != static_cast<std::size_t>(-1)) {
        EXPECT_EQ(line_->log_of(LineEvent::state_set).size(), c.states_taken) << c.what;
    }
    EXPECT_EQ(line_->output(), "") << c.what;
}

constexpr std::size_t kAny = static_cast<std::size_t>(-1);

INSTANTIATE_TEST_SUITE_P(
    Causes, PortGivesUp,
    ::testing::Values(
        GiveUpCase{"held by another program",
                   [](PortSessionTest& t) { t.opener_.script_open("COM2", {ERROR_ACCESS_DENIED}); },
                   DEVICE_ACCESS_DENIED, 0},
        GiveUpCase{"other open failure",
                   [](PortSessionTest& t) { t.opener_.script_open("COM2", {ERROR_GEN_FAILURE}); },
                   DEVICE_OPEN_FAILED, 0},
        GiveUpCase{"empty Port Name", [](PortSessionTest& t) { t.set_string(VALUE_PORT_NAME, ""); },
                   DEVICE_OPEN_FAILED, 0},
        GiveUpCase{"queue sizes refused",
                   [](PortSessionTest& t) { t.line_->fail_call(CommCall::SetupComm, 1); },
                   DEVICE_SETUP_ERROR, 0},
        GiveUpCase{"first line state refused",
                   [](PortSessionTest& t) { t.line_->fail_call(CommCall::SetCommState, 1); },
                   DEVICE_SETUP_ERROR, 0},
        GiveUpCase{"Data Bits missing (Parity never applied)",
                   [](PortSessionTest& t) { t.remove(VALUE_DATA_BITS); }, DEVICE_DATABITS_ERROR, 1},
        GiveUpCase{"Parity missing", [](PortSessionTest& t) { t.remove(VALUE_PARITY); },
                   DEVICE_PARITY_ERROR, 2},
        GiveUpCase{"Stop Bits missing", [](PortSessionTest& t) { t.remove(VALUE_STOP_BITS); },
                   DEVICE_STOPBITS_ERROR, 3},
        GiveUpCase{"Baud Rate missing", [](PortSessionTest& t) { t.remove(VALUE_BAUD_RATE); },
                   DEVICE_BAUD_ERROR, 4},
        GiveUpCase{"Flow Control missing", [](PortSessionTest& t) { t.remove(VALUE_FLOW_CONTROL); },
                   DEVICE_FLOW_ERROR, 5},
        GiveUpCase{"Xoff Char missing with Xon/Xoff",
                   [](PortSessionTest& t) {
                       t.set_dword(VALUE_FLOW_CONTROL, 1);
                       t.set_string(VALUE_XON_CHAR, "\x11");
                   },
                   DEVICE_FLOW_ERROR, 5},
        GiveUpCase{"empty Xon Char with Xon/Xoff",
                   [](PortSessionTest& t) {
                       t.set_dword(VALUE_FLOW_CONTROL, 1);
                       t.set_string(VALUE_XON_CHAR, "");
                       t.set_string(VALUE_XOFF_CHAR, "\x13");
                   },
                   DEVICE_FLOW_ERROR, 5},
        GiveUpCase{"7 data bits refused",
                   [](PortSessionTest& t) {
                       t.set_dword(VALUE_DATA_BITS, 7);
                       t.line_->refuse(DcbField::ByteSize, 7);
                   },
                   DEVICE_DATABITS_ERROR, 1},
        GiveUpCase{"only the low byte of Data Bits counts",
                   [](PortSessionTest& t) {
                       t.set_dword(VALUE_DATA_BITS, 0x107);
                       t.line_->refuse(DcbField::ByteSize, 7);
                   },
                   DEVICE_DATABITS_ERROR, 1},
        GiveUpCase{"even parity refused",
                   [](PortSessionTest& t) {
                       t.set_dword(VALUE_PARITY, 2);
                       t.line_->refuse(DcbField::Parity, 2);
                   },
                   DEVICE_PARITY_ERROR, 2},
        GiveUpCase{"two stop bits refused",
                   [](PortSessionTest& t) {
                       t.set_dword(VALUE_STOP_BITS, 2);
                       t.line_->refuse(DcbField::StopBits, 2);
                   },
                   DEVICE_STOPBITS_ERROR, 3},
        GiveUpCase{"128000 baud refused",
                   [](PortSessionTest& t) {
                       t.set_dword(VALUE_BAUD_RATE, 128000);
                       t.line_->refuse(DcbField::BaudRate, 128000);
                   },
                   DEVICE_BAUD_ERROR, 4},
        GiveUpCase{"RTS/CTS refused",
                   [](PortSessionTest& t) {
                       t.set_dword(VALUE_FLOW_CONTROL, 3);
                       t.line_->refuse(DcbField::fOutxCtsFlow, 1);
                   },
                   DEVICE_FLOW_ERROR, 5},
        GiveUpCase{"time-outs refused",
                   [](PortSessionTest& t) { t.line_->fail_call(CommCall::SetCommTimeouts, 1); },
                   DEVICE_SETUP_ERROR, kAny}),
    [](const ::testing::TestParamInfo<GiveUpCase>& info) {
        std::string name;
        for (const char* p = info.param.what; *p != '\0'; ++p) {
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        }
        return name;
    });

struct FlowCase {
    std::uint32_t code;
    DWORD dtr, rts, cts, dsr, outx;
};

class FlowRows : public PortSessionTest, public ::testing::WithParamInterface<FlowCase> {};

TEST_P(FlowRows, SetTheHandshakeFields) {
    const FlowCase& c = GetParam();
    DCB initial;
    initial.fDtrControl = DTR_CONTROL_ENABLE;
    initial.fRtsControl = RTS_CONTROL_HANDSHAKE;
    initial.fOutxCtsFlow = 1;
    initial.fOutxDsrFlow = 1;
    initial.fOutX = 1;
    initial.XonChar = 0x21;
    initial.XoffChar = 0x22;
    line_->set_initial_state(initial);
    set_dword(VALUE_FLOW_CONTROL, c.code);
    set_string(VALUE_XON_CHAR, "\x01zz");
    set_string(VALUE_XOFF_CHAR, "\x02");
    start();
    ASSERT_TRUE(wait_prompt());
    const DCB d = line_->state();
    EXPECT_EQ(d.fDtrControl, c.dtr);
    EXPECT_EQ(d.fRtsControl, c.rts);
    EXPECT_EQ(d.fOutxCtsFlow, c.cts);
    EXPECT_EQ(d.fOutxDsrFlow, c.dsr);
    EXPECT_EQ(d.fOutX, c.outx);
    EXPECT_EQ(d.XonChar, c.code == 1 ? 0x01 : 0x21);
    EXPECT_EQ(d.XoffChar, c.code == 1 ? 0x02 : 0x22);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FlowRows,
    ::testing::Values(FlowCase{0, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, 0, 0, 0},
                      FlowCase{1, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, 0, 0, 1},
                      FlowCase{2, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE, 0, 1, 0},
                      FlowCase{3, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, 1, 0, 0},
                      FlowCase{4, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, 1, 1, 0},
                      FlowCase{9, DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, 0, 0, 0}));

// Reads "Device Flags" at every open attempt, and after a failed one sets it to
// a marker: each attempt then shows whether the session wrote 0 again before it.
class FlagRecordingOpener final : public CommOpener {
  public:
    explicit FlagRecordingOpener(std::string key_path) : key_path_(std::move(key_path)) {
        previous_ = set_comm_opener(this);
    }
    ~FlagRecordingOpener() override { set_comm_opener(previous_); }

    DWORD open(const char* name, std::unique_ptr<CommPort>& out) override {
        std::uint32_t flags = 0xDEAD;
        if (!reg_read_dword(key_path_.c_str(), VALUE_DEVICE_FLAGS, &flags)) {
            flags = 0xDEAD;
        }
        DWORD result = previous_->open(name, out);
        if (result != ERROR_SUCCESS) {
            reg_write_dword(key_path_.c_str(), VALUE_DEVICE_FLAGS, MARKER);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(flags);
        return result;
    }
    std::vector<std::uint32_t> seen() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

    static constexpr std::uint32_t MARKER = 0x5A5A;

  private:
    std::string key_path_;
    CommOpener* previous_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<std::uint32_t> seen_;
};

TEST_F(PortSessionTest, AnAbsentPortIsRetriedEverySecondUntilItAppears) {
    FlagRecordingOpener flags(key_path_);
    opener_.script_open("COM2", {ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND});
    start();
    ASSERT_TRUE(wait_prompt());
    auto attempts = opener_.attempts();
    ASSERT_EQ(attempts.size(), 4u);
    for (std::size_t i = 1; i < attempts.size(); ++i) {
        EXPECT_EQ(attempts[i].second - attempts[i - 1].second, 1000u);
    }
    EXPECT_EQ(flags.seen(), (std::vector<std::uint32_t>{0, 0, 0, 0}))
        << "\"Device Flags\" is 0 before each try";
    EXPECT_EQ(device_flags(), 0u);
    stop();  // while the recording opener is still in place
}

// --- the prompt ---------------------------------------------------------------------

TEST_F(PortSessionTest, DefaultPromptNamesHostAndDevicePath) {
    start();
    ASSERT_TRUE(wait_prompt());
    EXPECT_EQ(line_->output(), "\r\n(" + host_name() + " /dev/COM2)\r\nTelnet >");
}

TEST_F(PortSessionTest, GlobalPromptReplacesTheDefaultAndALongOneIsCut) {
    std::string long_prompt(255, 'p');
    service::bounded_copy(service::global_prompt, service::PROMPT_SIZE, long_prompt.c_str());
    start();
    ASSERT_TRUE(wait_prompt());
    std::string out = line_->output();
    EXPECT_EQ(out.size(), service::PROMPT_SIZE - 1);
    EXPECT_EQ(out.substr(0, 3), "\r\np");
    EXPECT_EQ(out.substr(out.size() - 10), "\r\nTelnet >");
}

TEST_F(PortSessionTest, ALongPortNameIsCutToTheDevicePathBuffer) {
    std::string name(100, 'n');
    set_string(VALUE_PORT_NAME, name);
    std::string cut = ("/dev/" + name).substr(0, 63);
    device_name_ = cut;
    line_ = opener_.add_line(cut);
    start();
    ASSERT_TRUE(wait_prompt());
    EXPECT_NE(line_->output().find(" " + cut + ")\r\nTelnet >"), std::string::npos);
}

TEST_F(PortSessionTest, QuitReopensAndReconfiguresThePort) {
    start();
    ASSERT_TRUE(wait_prompt());
    line_->push_input("q\r");
    ASSERT_TRUE(line_->wait_for_log(LineEvent::opened, 2));
    ASSERT_TRUE(wait_prompt(line_->output().find("Telnet >") + 1));
    EXPECT_EQ(count_of(line_->log(), LineEvent::state_set), 12u);
    EXPECT_EQ(device_flags(), 0u);
}

// --- modem initialisation and line signals -----------------------------------------

TEST_F(PortSessionTest, ModemWithHardwareFlowWaitsForCarrierAndHangsUp) {
    test::LogCapture logged;
    set_dword(VALUE_FLOW_CONTROL, 4);
    set_multi(VALUE_MODEM_INIT, {"ATZ", "ATS0=1"});
    set_dword(VALUE_MODEM_DELAY, 0);
    set_dword(VALUE_AUTO_OPEN, 0);
    start();
    ASSERT_TRUE(line_->wait_for_log(LineEvent::wait_started));
    auto log = line_->log();
    std::uint64_t opened = 0, atz = 0, ats = 0, purge = 0;
    DWORD purge_flags = 0, mask = 0;
    for (const auto& e : log) {
        if (e.kind == LineEvent::opened)
            opened = e.at_ms;
        if (e.kind == LineEvent::written && e.text == "ATZ\r")
            atz = e.at_ms;
        if (e.kind == LineEvent::written && e.text == "ATS0=1\r")
            ats = e.at_ms;
        if (e.kind == LineEvent::purged)
            purge = e.at_ms, purge_flags = e.value;
        if (e.kind == LineEvent::mask_set && e.value != 0)
            mask = e.value;
    }
    EXPECT_EQ(atz - opened, 2000u);
    EXPECT_EQ(ats - atz, 2000u);
    EXPECT_EQ(purge - ats, 2000u);
    EXPECT_EQ(purge_flags, PURGE_TXCLEAR | PURGE_RXCLEAR);
    EXPECT_EQ(mask, EV_RLSD);
    EXPECT_EQ(line_->output(), "ATZ\rATS0=1\r");  // no prompt before carrier

    clock_.clear_sleeps();
    line_->raise_modem(MS_RLSD_ON);
    ASSERT_TRUE(wait_prompt());
    EXPECT_EQ(clock_.sleeps().at(0), 2000u);  // settle time after the signal
    EXPECT_TRUE(line_->dtr());

    ASSERT_TRUE(open_host());
    line_->push_input("hi");
    ASSERT_TRUE(host_.wait_for_received(2));
    clock_.clear_sleeps();
    // Only what follows the carrier's loss counts: the reopened port drops DTR
    // again while it is configured, at the same clock time as the close.
    const std::size_t before_drop = line_->log().size();
    const std::uint64_t dropped_at = clock_.now_ms();
    // The host learns of the drop at once, not after the line's wait.
    // Shared with the hook: an assertion below may leave before the hook is
    // taken away, while the session still sleeps.
    auto closed_before_wait = std::make_shared<std::atomic<int>>(-1);  // -1: no wait yet
    clock_.set_sleep_hook([this, closed_before_wait](std::uint32_t ms) {
        if (ms == 2000 && closed_before_wait->load() < 0) {
            *closed_before_wait = host_.wait_for_open_connections(0) ? 1 : 0;
        }
    });
    line_->drop_modem(MS_RLSD_ON);
    ASSERT_TRUE(host_.wait_for_peer_close());
    ASSERT_TRUE(line_->wait_for_log(LineEvent::opened, 2));
    EXPECT_EQ(logged.count("ended: line dropped; 2 bytes to the host, 0 from the host"), 1);
    auto sleeps = clock_.sleeps();
    ASSERT_GE(sleeps.size(), 2u);
    EXPECT_EQ(sleeps[0], 2000u);  // the line dropped: wait, then end
    EXPECT_EQ(sleeps[1], 1000u);  // DTR low
    clock_.set_sleep_hook(nullptr);
    EXPECT_EQ(closed_before_wait->load(), 1) << "the host connection ended before the wait";
    const auto after = line_->log();
    std::size_t at = before_drop;
    while (at < after.size() && !(after[at].kind == LineEvent::dtr && after[at].value == 0)) {
        ++at;
    }
    ASSERT_LT(at, after.size()) << "DTR never dropped";
    const std::uint64_t dtr_low = after[at].at_ms;
    while (at < after.size() && after[at].kind != LineEvent::closed) {
        ++at;
    }
    ASSERT_LT(at, after.size()) << "the port was never closed";
    EXPECT_EQ(dtr_low - dropped_at, 2000u);
    EXPECT_EQ(after[at].at_ms - dtr_low, 1000u);
    EXPECT_EQ(service::connection_count.load(), 1);
}

TEST_F(PortSessionTest, ModemInitWithoutHardwareFlowDoesNotWait) {
    set_multi(VALUE_MODEM_INIT, {"ATZ"});
    start();
    ASSERT_TRUE(wait_prompt());
    EXPECT_EQ(line_->log_of(LineEvent::wait_started).size(), 0u);
    EXPECT_EQ(line_->output().substr(0, 4), "ATZ\r");
}

TEST_F(PortSessionTest, AutoOpenWaitsForCtsThenConnectsWithoutPrompt) {
    set_dword(VALUE_AUTO_OPEN, 1);
    set_string(VALUE_AUTO_OPEN_COMPUTER_NAME, "127.0.0.1");
    start();
    ASSERT_TRUE(line_->wait_for_log(LineEvent::wait_started));
    EXPECT_EQ(host_.connections(), 0);
    line_->raise_modem(MS_DSR_ON);  // not the awaited line
    line_->raise_modem(MS_CTS_ON);
    ASSERT_TRUE(host_.wait_for_connections(1));
    ASSERT_TRUE(line_->wait_for_output("Trying... 127.0.0.1\r\n"));
    EXPECT_EQ(line_->output().find("Telnet >"), std::string::npos);
    host_.send("welcome");
    ASSERT_TRUE(line_->wait_for_output("welcome"));
}

TEST_F(PortSessionTest, AutoOpenWithTheSignalAlreadyOnDoesNotWait) {
    line_->raise_modem(MS_DSR_ON);
    set_dword(VALUE_AUTO_OPEN, 2);
    start();
    ASSERT_TRUE(wait_prompt());  // no computer name: the prompt
    EXPECT_EQ(line_->log_of(LineEvent::wait_started).size(), 0u);
    auto masks = line_->log_of(LineEvent::mask_set);
    ASSERT_EQ(masks.size(), 2u);
    EXPECT_EQ(masks[0].value, EV_DSR);
    EXPECT_EQ(masks[1].value, 0u);
}

TEST_F(PortSessionTest, AFailedAutomaticConnectionReopensThePortAfterAPause) {
    line_->raise_modem(MS_CTS_ON);
    set_dword(VALUE_AUTO_OPEN, 1);
    set_string(VALUE_AUTO_OPEN_COMPUTER_NAME, "nowhere");
    start();
    ASSERT_TRUE(line_->wait_for_output("nowhere: Unknown Host\r\n"));
    ASSERT_TRUE(line_->wait_for_log(LineEvent::opened, 2));
    std::uint64_t text_at = 0, first_close = 0;
    for (const auto& e : line_->log()) {
        if (e.kind == LineEvent::written && e.text.find("Unknown Host") != std::string::npos &&
            text_at == 0) {
            text_at = e.at_ms;
        }
        if (e.kind == LineEvent::closed && first_close == 0)
            first_close = e.at_ms;
    }
    ASSERT_NE(text_at, 0u);
    EXPECT_EQ(first_close - text_at, 2000u);  // the text stays readable, then the port closes
    EXPECT_EQ(host_.connections(), 0);
    EXPECT_EQ(line_->output().find("Telnet >"), std::string::npos);
}

// --- the relay -------------------------------------------------------------------------

TEST_F(PortSessionTest, RelaysBothWaysAndFiltersTelnetCommands) {
    start();
    ASSERT_TRUE(wait_prompt());
    ASSERT_TRUE(open_host());
    ASSERT_TRUE(line_->wait_for_output("Trying... 127.0.0.1\r\n"));
    ASSERT_TRUE(line_->wait_for_log(LineEvent::timeouts_set, 2));
    EXPECT_EQ(line_->timeouts().ReadIntervalTimeout, MAXDWORD);

    line_->push_input("ls -l\r");
    ASSERT_TRUE(host_.wait_for_received(6));
    EXPECT_EQ(host_.received(), "ls -l\r");

    std::size_t before = line_->output().size();
    host_.send(std::string("total 0\r\n\xff\xfd\x01", 12) + "done");
    ASSERT_TRUE(line_->wait_for_output("total 0\r\ndone", 10000, before));
    ASSERT_TRUE(host_.wait_for_received(9));  // the answer to DO ECHO
    EXPECT_EQ(host_.received().substr(6, 1), "\xff");
    EXPECT_EQ(service::connection_count.load(), 1);
    EXPECT_GE(service::byte_count.load(), 6 + 16);
}

// An idle pass waits without a time limit and ends only when the port has
// input (a break brings a NUL byte) or the host reader hands over a block (or
// ends): a relay that moved data only when its wait timed out would stall here.
TEST_F(PortSessionTest, RelayNeedsNoIdleTimeoutToMoveData) {
    set_escape("\x1d");
    start();
    ASSERT_TRUE(wait_prompt());
    ASSERT_TRUE(open_host());
    ASSERT_TRUE(line_->wait_for_log(LineEvent::timeouts_set, 2));  // relaying
    std::string sent;
    for (int i = 0; i < 5; ++i) {
        const std::string up = "ping " + std::to_string(i);
        const std::string down = "pong " + std::to_string(i);
        const std::size_t before = line_->output().size();
        line_->push_input(up);
        sent += up;
        ASSERT_TRUE(host_.wait_for_received(sent.size())) << i;
        ASSERT_TRUE(host_.send(down));
        ASSERT_TRUE(line_->wait_for_output(down, 10000, before)) << i;
    }
    line_->inject_break();
    sent += "\xff\xf3";
    ASSERT_TRUE(host_.wait_for_received(sent.size()));
    EXPECT_EQ(host_.received(), sent);

    // The host closing, then the escape character: each ends the connection.
    host_.close_connection();
    ASSERT_TRUE(line_->wait_for_log(LineEvent::opened, 2));
    ASSERT_TRUE(line_->wait_until([](const std::string& out, const std::vector<LineEvent>&) {
        return out.rfind("Telnet >") > out.find("Telnet >");
    }));
    ASSERT_TRUE(open_host(1));
    ASSERT_TRUE(line_->wait_for_log(LineEvent::timeouts_set, 4));
    line_->push_input("\x1d");
    EXPECT_TRUE(host_.wait_for_peer_close());
    EXPECT_TRUE(line_->wait_for_log(LineEvent::opened, 3));
}

TEST_F(PortSessionTest, HostCloseReopensThePortWithoutAMessage) {
    start();
    ASSERT_TRUE(wait_prompt());
    ASSERT_TRUE(open_host());
    ASSERT_TRUE(line_->wait_for_output("Trying... 127.0.0.1\r\n"));
    std::size_t before = line_->output().size();
    host_.close_connection();
    ASSERT_TRUE(line_->wait_for_log(LineEvent::opened, 2));
    ASSERT_TRUE(wait_prompt(before));
    EXPECT_EQ(line_->output().substr(before), "\r\n(" + host_name() + " /dev/COM2)\r\nTelnet >");
    EXPECT_TRUE(clock_.sleeps().empty());  // no DTR hang-up without hardware flow
}

TEST_F(PortSessionTest, AnEscapeCharacterDiscardsTheBlockAndReopens) {
    set_escape("\x1d\x05");
    set_string(VALUE_ESCAPE_CHAR, "x");  // per-port value: no effect
    start();
    ASSERT_TRUE(wait_prompt());
    ASSERT_TRUE(open_host());
    line_->push_input("abcx");
    ASSERT_TRUE(host_.wait_for_received(4));
    line_->push_input("more\x05text");
    ASSERT_TRUE(host_.wait_for_peer_close());
    EXPECT_EQ(host_.received(), "abcx");
    ASSERT_TRUE(line_->wait_for_log(LineEvent::opened, 2));
    // Reconfigured from the port key before the next prompt.
    ASSERT_TRUE(line_->wait_until([](const std::string& out, const std::vector<LineEvent>& log) {
        return count_of(log, LineEvent::state_set) >= 12 &&
               out.rfind("Telnet >") > out.find("Telnet >");
    }));
}

TEST_F(PortSessionTest, ABreakReachesTheHostAsIacBrk) {
    start();
    ASSERT_TRUE(wait_prompt());
    ASSERT_TRUE(open_host());
    line_->push_input("y");  // the relay loop is running once this arrives
    ASSERT_TRUE(host_.wait_for_received(1));
    line_->inject_break();  // also leaves a NUL byte in the input
    ASSERT_TRUE(host_.wait_for_received(3));
    // The NUL block is read and dropped before more is typed (typed bytes
    // behind a NUL in the same block would go with it).
    for (int i = 0; i < 2000 && line_->input_left() != 0; ++i) {
        ::usleep(5000);
    }
    ASSERT_EQ(line_->input_left(), 0u);
    line_->push_input("z");
    ASSERT_TRUE(host_.wait_for_received(4));
    EXPECT_EQ(host_.received(), "y\xff\xf3z");
}

TEST_F(PortSessionTest, LoginScriptIsSentOnceAfterTheHostsFirstData) {
    set_multi(VALUE_LOGIN_SCRIPT, {"user",
                                   "s\xff"
                                   "cret"});
    set_dword(VALUE_LOGIN_SCRIPT_DELAY, 0);
    start();
    ASSERT_TRUE(wait_prompt());
    ASSERT_TRUE(open_host());
    line_->push_input("a");
    ASSERT_TRUE(host_.wait_for_received(1));
    clock_.clear_sleeps();
    host_.send("login: ");
    ASSERT_TRUE(host_.wait_for_received(1 + 13));
    EXPECT_EQ(host_.received(),
              "auser\rs\xff\xff"
              "cret\r")
        << "a script's 255 is doubled";
    EXPECT_EQ(clock_.sleeps(), (std::vector<std::uint32_t>{2000, 2000}));
    EXPECT_NE(line_->output().find("login: "), std::string::npos);

    std::size_t before = line_->output().size();
    host_.send("again");
    ASSERT_TRUE(line_->wait_for_output("again", 10000, before));
    line_->push_input("b\xff");
    ASSERT_TRUE(host_.wait_for_received(17));
    EXPECT_EQ(host_.received(),
              "auser\rs\xff\xff"
              "cret\rb\xff\xff")
        << "typed 255 is doubled";
}

TEST_F(PortSessionTest, ALoginScriptDelayIsUsedBeforeEachLine) {
    set_multi(VALUE_LOGIN_SCRIPT, {"go"});
    set_dword(VALUE_LOGIN_SCRIPT_DELAY, 50);
    start();
    ASSERT_TRUE(wait_prompt());
    ASSERT_TRUE(open_host());
    ASSERT_TRUE(line_->wait_for_log(LineEvent::timeouts_set, 2));
    line_->push_input("typed");
    host_.send("x");
    ASSERT_TRUE(host_.wait_for_received(8));
    EXPECT_EQ(host_.received(), "typedgo\r");
    EXPECT_EQ(clock_.sleeps(), (std::vector<std::uint32_t>{50}));
}

TEST_F(PortSessionTest, ABrokenLineEndsTheConnectionAndThePortIsRetried) {
    start();
    ASSERT_TRUE(wait_prompt());
    ASSERT_TRUE(open_host());
    ASSERT_TRUE(line_->wait_for_log(LineEvent::timeouts_set, 2));
    opener_.script_open("COM2", {ERROR_FILE_NOT_FOUND});
    line_->hang_up();
    ASSERT_TRUE(host_.wait_for_peer_close());
    ASSERT_TRUE(opener_.wait_for_attempts("COM2", 3));
    line_->reconnect();
    ASSERT_TRUE(line_->wait_for_log(LineEvent::opened, 2));
    EXPECT_EQ(device_flags(), 0u);
}

}  // namespace
}  // namespace varolan::test
