// The serial layer against a real pseudo-terminal (data, exclusivity, read-back
// refusals, time-out modes, properties), and the fake line's own contract.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/serial/comm.h"
#include "platform/serial/fake_comm.h"
#include "tests/support/fake_clock.h"
#include "tests/support/serial_pty.h"

namespace varolan::serial {
namespace {

using test::PtyPair;

TEST(CommDevicePath, NamesBecomeDevicePaths) {
    struct Case {
        const char* name;
        const char* path;
    } cases[] = {
        {"ttyS0", "/dev/ttyS0"},  {"pts/3", "/dev/pts/3"},
        {"/tmp/x", "/tmp/x"},     {"\\\\.\\ttyUSB0", "/dev/ttyUSB0"},
        {"ttyS1:", "/dev/ttyS1"}, {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(comm_device_path(c.name), c.path) << c.name;
    }
    EXPECT_EQ(comm_device_path(nullptr), "");
}

TEST(BaudBit, DesignRatesHaveTheirBits) {
    EXPECT_EQ(baud_bit(9600), BAUD_9600);
    EXPECT_EQ(baud_bit(56000), BAUD_56K);
    EXPECT_EQ(baud_bit(128000), BAUD_128K);
    EXPECT_EQ(baud_bit(57600), BAUD_57600);
    EXPECT_EQ(baud_bit(12345), 0u);
}

class PtyPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        ASSERT_EQ(comm_opener().open(pty.slave_name().c_str(), port), ERROR_SUCCESS);
        ASSERT_NE(port, nullptr);
    }
    DCB state() {
        DCB d;
        EXPECT_TRUE(port->GetCommState(&d));
        return d;
    }
    void set_timeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t;
        t.ReadIntervalTimeout = interval;
        t.ReadTotalTimeoutMultiplier = multiplier;
        t.ReadTotalTimeoutConstant = constant;
        ASSERT_TRUE(port->SetCommTimeouts(&t));
    }

    PtyPair pty;
    std::unique_ptr<CommPort> port;
};

TEST_F(PtyPort, OpenOutcomes) {
    std::unique_ptr<CommPort> other;
    // Held: a second open is refused until the first is closed.
    EXPECT_EQ(comm_opener().open(pty.slave_path().c_str(), other), ERROR_ACCESS_DENIED);
    EXPECT_EQ(other, nullptr);
    port->close();
    EXPECT_EQ(comm_opener().open(pty.slave_path().c_str(), other), ERROR_SUCCESS);
    other.reset();

    EXPECT_EQ(comm_opener().open("/dev/pts/no-such-port", other), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(comm_opener().open("ttyNoSuchPort99", other), ERROR_FILE_NOT_FOUND);
    DWORD not_a_line = comm_opener().open("/dev/null", other);
    EXPECT_NE(not_a_line, ERROR_SUCCESS);
    EXPECT_NE(not_a_line, ERROR_FILE_NOT_FOUND);
    EXPECT_NE(not_a_line, ERROR_ACCESS_DENIED);
    EXPECT_NE(comm_opener().open("", other), ERROR_SUCCESS);
}

TEST_F(PtyPort, DataBothWaysAndFullCountReads) {
    ASSERT_TRUE(pty.type("hello"));
    char buf[16] = {};
    DWORD n = 0;
    // All-zero time-outs: the read waits for the whole count.
    ASSERT_TRUE(port->ReadFile(buf, 5, &n));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(buf, n), "hello");

    std::thread late([&] {
        pty.type("ab");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty.type("cde");
    });
    ASSERT_TRUE(port->ReadFile(buf, 5, &n));
    late.join();
    EXPECT_EQ(std::string(buf, n), "abcde");

    // Binary data passes untouched: CR, LF, NUL, 0xFF, XON/XOFF, ^C.
    const std::string binary("\r\n\0\xff\x11\x13\x03x", 8);
    DWORD written = 0;
    ASSERT_TRUE(port->WriteFile(binary.data(), binary.size(), &written));
    EXPECT_EQ(written, binary.size());
    EXPECT_TRUE(pty.read_until(binary));
    ASSERT_TRUE(pty.type(binary));
    ASSERT_TRUE(port->ReadFile(buf, binary.size(), &n));
    EXPECT_EQ(std::string(buf, n), binary);
}

TEST_F(PtyPort, ReadTimeoutModes) {
    char buf[64];
    DWORD n = 99;
    // Return at once: nothing waiting is a successful read of 0 bytes.
    set_timeouts(MAXDWORD, 0, 0);
    ASSERT_TRUE(port->ReadFile(buf, sizeof buf, &n));
    EXPECT_EQ(n, 0u);
    ASSERT_TRUE(pty.type("xyz"));
    pollfd p{port->poll_fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);  // the port's descriptor shows the input
    std::string got;
    for (int i = 0; i < 1000 && got.size() < 3; ++i) {
        ASSERT_TRUE(port->ReadFile(buf, sizeof buf, &n));
        got.append(buf, n);
    }
    EXPECT_EQ(got, "xyz");

    // A total time-out returns what came (here nothing) instead of waiting on.
    set_timeouts(0, 0, 20);
    ASSERT_TRUE(port->ReadFile(buf, 10, &n));
    EXPECT_EQ(n, 0u);
    ASSERT_TRUE(pty.type("12"));
    ASSERT_TRUE(port->ReadFile(buf, 2, &n));
    EXPECT_EQ(std::string(buf, n), "12");

    // Wait for the first byte, then return what is there.
    set_timeouts(MAXDWORD, MAXDWORD, 10000);
    std::thread later([&] { pty.type("Q"); });
    ASSERT_TRUE(port->ReadFile(buf, sizeof buf, &n));
    later.join();
    EXPECT_EQ(std::string(buf, n), "Q");
}

TEST_F(PtyPort, ReadFailsWhenTheLineGoesAway) {
    pty.close_master();
    char c;
    DWORD n = 0;
    EXPECT_FALSE(port->ReadFile(&c, 1, &n));
    EXPECT_EQ(port->last_error(), ERROR_BROKEN_PIPE);
}

TEST_F(PtyPort, SettingsThePtyDoesNotTakeAreRefusedAndUndone) {
    DCB d = state();
    d.BaudRate = 9600;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    d.fDtrControl = DTR_CONTROL_DISABLE;
    d.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(port->SetCommState(&d));
    const DCB good = state();
    EXPECT_EQ(good.BaudRate, 9600u);
    EXPECT_EQ(good.ByteSize, 8);

    struct Case {
        const char* what;
        void (*change)(DCB&);
    } refused[] = {
        {"7 data bits", [](DCB& x) { x.ByteSize = 7; }},
        {"5 data bits", [](DCB& x) { x.ByteSize = 5; }},
        {"16 data bits", [](DCB& x) { x.ByteSize = 16; }},
        {"even parity", [](DCB& x) { x.Parity = EVENPARITY; }},
        {"mark parity", [](DCB& x) { x.Parity = MARKPARITY; }},
        {"1.5 stop bits with 8 data bits", [](DCB& x) { x.StopBits = ONE5STOPBITS; }},
        {"RTS/CTS", [](DCB& x) { x.fOutxCtsFlow = 1, x.fRtsControl = RTS_CONTROL_HANDSHAKE; }},
        {"DTR/DSR", [](DCB& x) { x.fOutxDsrFlow = 1, x.fDtrControl = DTR_CONTROL_HANDSHAKE; }},
        {"equal Xon and Xoff", [](DCB& x) { x.fOutX = 1, x.XonChar = x.XoffChar = 0x11; }},
        {"rate 0", [](DCB& x) { x.BaudRate = 0; }},
    };
    for (const auto& c : refused) {
        DCB bad = good;
        bad.BaudRate = 19200;  // a change the pty would take, refused with the rest
        c.change(bad);
        EXPECT_FALSE(port->SetCommState(&bad)) << c.what;
        EXPECT_EQ(port->last_error(), ERROR_INVALID_PARAMETER) << c.what;
        DCB after = state();
        EXPECT_EQ(after.BaudRate, 9600u) << c.what;
        EXPECT_EQ(after.ByteSize, 8) << c.what;
        EXPECT_EQ(after.Parity, NOPARITY) << c.what;
    }
}

TEST_F(PtyPort, RatesAndSettingsThePtyTakes) {
    for (DWORD rate : {75u, 300u, 7200u, 9600u, 14400u, 56000u, 57600u, 115200u, 128000u}) {
        DCB d = state();
        d.BaudRate = rate;
        ASSERT_TRUE(port->SetCommState(&d)) << rate;
        EXPECT_EQ(state().BaudRate, rate);
    }
    DCB d = state();
    d.StopBits = TWOSTOPBITS;
    d.fOutX = 1;
    d.fInX = 1;
    d.XonChar = 0x01;
    d.XoffChar = 0x02;
    ASSERT_TRUE(port->SetCommState(&d));
    DCB got = state();
    EXPECT_EQ(got.StopBits, TWOSTOPBITS);
    EXPECT_EQ(got.fOutX, 1u);
    EXPECT_EQ(got.fInX, 1u);
    EXPECT_EQ(got.XonChar, 0x01);
    EXPECT_EQ(got.XoffChar, 0x02);
    EXPECT_EQ(got.BaudRate, 128000u);  // a custom rate survives later changes
}

TEST_F(PtyPort, PropertiesDescribeAPtyAndLeaveTheLineAsItWas) {
    DCB d = state();
    d.BaudRate = 14400;
    d.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(port->SetCommState(&d));
    COMMPROP p;
    ASSERT_TRUE(port->GetCommProperties(&p));
    EXPECT_EQ(p.wSettableData, DATABITS_8);
    EXPECT_TRUE(p.wSettableStopParity & STOPBITS_10);
    EXPECT_TRUE(p.wSettableStopParity & PARITY_NONE);
    EXPECT_FALSE(p.wSettableStopParity & (PARITY_ODD | PARITY_EVEN | STOPBITS_15));
    for (DWORD bit :
         {BAUD_075, BAUD_7200, BAUD_9600, BAUD_14400, BAUD_56K, BAUD_115200, BAUD_128K}) {
        EXPECT_TRUE(p.dwSettableBaud & bit) << bit;
    }
    EXPECT_EQ(p.dwProvCapabilities & (PCF_DTRDSR | PCF_RTSCTS | PCF_RLSD), 0u);
    EXPECT_EQ(p.dwSettableParams & (SP_HANDSHAKING | SP_RLSD | SP_DATABITS | SP_PARITY), 0u);
    EXPECT_TRUE(p.dwSettableParams & SP_BAUD);
    DCB after = state();
    EXPECT_EQ(after.BaudRate, 14400u);
    EXPECT_EQ(after.StopBits, TWOSTOPBITS);
}

TEST_F(PtyPort, NoModemLinesOnAPty) {
    DWORD ms = 0xFF;
    ASSERT_TRUE(port->GetCommModemStatus(&ms));
    EXPECT_EQ(ms, 0u);
    EXPECT_FALSE(port->EscapeCommFunction(SETDTR));
    ASSERT_TRUE(port->SetCommMask(EV_RLSD));
    DWORD ev = 0;
    EXPECT_FALSE(port->WaitCommEvent(&ev));  // cannot be reported: fails, never hangs
    ASSERT_TRUE(port->SetCommMask(0));
    EXPECT_FALSE(port->WaitCommEvent(&ev));
    // Input can be waited for.
    ASSERT_TRUE(port->SetCommMask(EV_RXCHAR | EV_RLSD));
    ASSERT_TRUE(pty.type("!"));
    ASSERT_TRUE(port->WaitCommEvent(&ev));
    EXPECT_EQ(ev, EV_RXCHAR);
}

TEST_F(PtyPort, PurgeDiscardsInputAndClearCommErrorCountsIt) {
    ASSERT_TRUE(pty.type("stale"));
    COMSTAT stat;
    DWORD errors = 0xFF;
    for (int i = 0; i < 1000 && stat.cbInQue < 5; ++i) {
        ASSERT_TRUE(port->ClearCommError(&errors, &stat));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(stat.cbInQue, 5u);
    EXPECT_EQ(errors, 0u);
    ASSERT_TRUE(port->PurgeComm(PURGE_RXCLEAR | PURGE_TXCLEAR));
    ASSERT_TRUE(port->ClearCommError(nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_FALSE(port->PurgeComm(0));
}

TEST_F(PtyPort, ClosedPortRefusesEverything) {
    port->close();
    DCB d;
    DWORD n = 0;
    char c = 0;
    EXPECT_FALSE(port->GetCommState(&d));
    EXPECT_FALSE(port->ReadFile(&c, 1, &n));
    EXPECT_FALSE(port->WriteFile(&c, 1, &n));
    EXPECT_EQ(port->last_error(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(port->poll_fd(), -1);
}

// --- the fake line ------------------------------------------------------------

class FakeLineTest : public ::testing::Test {
  protected:
    test::FakeClock clock;
    FakeCommOpener opener;
};

TEST_F(FakeLineTest, OpenResultsFollowTheScriptThenPresence) {
    std::unique_ptr<CommPort> port;
    EXPECT_EQ(comm_opener().open("COM7", port), ERROR_FILE_NOT_FOUND);
    auto line = opener.add_line("COM7");
    opener.script_open("COM7", {ERROR_FILE_NOT_FOUND, ERROR_GEN_FAILURE});
    EXPECT_EQ(comm_opener().open("/dev/COM7", port), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(comm_opener().open("COM7", port), ERROR_GEN_FAILURE);
    ASSERT_EQ(comm_opener().open("COM7", port), ERROR_SUCCESS);
    std::unique_ptr<CommPort> second;
    EXPECT_EQ(comm_opener().open("COM7", second), ERROR_ACCESS_DENIED);
    EXPECT_EQ(opener.attempts_of("COM7"), 5);
    EXPECT_EQ(line->open_count(), 1);
    EXPECT_TRUE(line->dtr());
    port.reset();
    EXPECT_FALSE(line->is_open());
}

TEST_F(FakeLineTest, RefusalsWakeupsBreaksAndRecords) {
    auto line = opener.add_line("COM1");
    std::unique_ptr<CommPort> port;
    ASSERT_EQ(comm_opener().open("COM1", port), ERROR_SUCCESS);

    line->refuse(DcbField::ByteSize, 7);
    DCB d;
    ASSERT_TRUE(port->GetCommState(&d));
    d.ByteSize = 7;
    EXPECT_FALSE(port->SetCommState(&d));
    d.ByteSize = 8;
    d.fDtrControl = DTR_CONTROL_DISABLE;
    EXPECT_TRUE(port->SetCommState(&d));
    EXPECT_FALSE(line->dtr());
    EXPECT_EQ(line->log_of(LineEvent::state_refused).size(), 1u);

    ASSERT_TRUE(port->SetCommMask(EV_RLSD));
    DWORD ev = 0;
    std::thread waiter([&] { EXPECT_TRUE(port->WaitCommEvent(&ev)); });
    ASSERT_TRUE(line->wait_for_log(LineEvent::wait_started));
    line->raise_modem(MS_CTS_ON);  // not in the mask: no wake-up
    line->raise_modem(MS_RLSD_ON);
    waiter.join();
    EXPECT_EQ(ev, EV_RLSD);

    line->inject_break();
    DWORD errors = 0;
    ASSERT_TRUE(port->ClearCommError(&errors, nullptr));
    EXPECT_EQ(errors, CE_BREAK);
    ASSERT_TRUE(port->ClearCommError(&errors, nullptr));
    EXPECT_EQ(errors, 0u);

    line->push_input("xy");
    ASSERT_TRUE(port->PurgeComm(PURGE_RXCLEAR));
    EXPECT_EQ(line->input_left(), 0u);
    EXPECT_EQ(line->log_of(LineEvent::purged).at(0).value, PURGE_RXCLEAR);

    // A blocked read ends when the line goes away.
    std::thread reader([&] {
        char c;
        DWORD n = 0;
        EXPECT_FALSE(port->ReadFile(&c, 1, &n));
    });
    while (!line->reading())
        std::this_thread::yield();
    line->hang_up();
    reader.join();
}

}  // namespace
}  // namespace varolan::serial
