// `tarnix sessions` and the session count of `tarnix status` on the real
// service: a serial user and pipe users at the prompt, connected over telnet
// or SSH and held by pause, their destinations and byte counts, as a table
// and as JSON.
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "common/store_layout.h"
#include "tests/robustness/tarnix_fixture.h"
#include "tests/robustness/tarnix_harness.h"
#include "tests/support/serial_pty.h"
#include "tests/support/ssh_test_server.h"

namespace varolan::robust {
namespace {

class SessionsTest : public TarnixTest {
  protected:
    // `tarnix sessions --json` with every time replaced by "T".
    std::string json() {
        int status = -1;
        const std::string out = tarnix.output("sessions --json", &status);
        EXPECT_EQ(status, 0) << out;
        static const std::regex time("\"since\":\"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z\"");
        return std::regex_replace(out, time, "\"since\":\"T\"");
    }
    // Waits until the JSON listing is `expected`; false (with the last seen) if it never is.
    bool listing_becomes(const std::string& expected) {
        std::string seen;
        const bool ok = eventually([&] { return (seen = json()) == expected; }, 20s);
        EXPECT_EQ(seen, expected);
        return ok;
    }
};

std::string me() {
    const passwd* pw = ::getpwuid(::geteuid());
    return pw != nullptr ? pw->pw_name : "uid " + std::to_string(::geteuid());
}

std::string row(const std::string& kind, const std::string& place, const std::string& state,
                const std::string& destination, int to_host, int to_user) {
    return "{\"kind\":\"" + kind + "\",\"place\":\"" + place + "\",\"state\":\"" + state +
           "\",\"destination\":" + destination + ",\"bytes_to_host\":" + std::to_string(to_host) +
           ",\"bytes_to_user\":" + std::to_string(to_user) + ",\"since\":\"T\"}";
}

TEST_F(SessionsTest, EachSessionWithItsStateDestinationAndBytes) {
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(serve_pty_port("pty0", pty));
    ASSERT_TRUE(tarnix.start());
    ASSERT_TRUE(pty.read_until("Telnet >"));

    PipeUser at_prompt;
    ASSERT_TRUE(at_prompt.open_session());
    PipeUser connected;
    ASSERT_TRUE(connected.open_session());
    ASSERT_TRUE(connected.type("o 127.0.0.1\r"));
    const int h = host.accept();
    ASSERT_GE(h, 0);
    ASSERT_TRUE(connected.send("hello"));
    std::string seen;
    ASSERT_TRUE(read_until(h, seen, "hello"));
    ASSERT_EQ(::send(h, "world\r\n", 7, MSG_NOSIGNAL), 7);
    ASSERT_TRUE(connected.got("world\r\n"));

    const std::string serial = row("serial", pty.port_path(), "prompt", "null", 0, 0);
    const std::string prompt = row("pipe", me(), "prompt", "null", 0, 0);
    const std::string destination =
        "{\"protocol\":\"telnet\",\"host\":\"127.0.0.1\",\"port\":" + std::to_string(host.port()) +
        ",\"since\":\"T\"}";
    EXPECT_TRUE(listing_becomes("{\"sessions\":[" + serial + "," + prompt + "," +
                                row("pipe", me(), "connected", destination, 5, 7) + "]}\n"));
    int status = -1;
    const std::string table = tarnix.output("sessions", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(table.find("KIND"), std::string::npos) << table;
    EXPECT_NE(table.find("127.0.0.1:" + std::to_string(host.port())), std::string::npos) << table;
    EXPECT_EQ(tarnix.output("status", &status), "RUNNING\n3 sessions\n");

    // Paused: the connected session holds at its next step; the ones waiting
    // for a command line do not get there.
    EXPECT_EQ(tarnix.output("pause", &status), "PAUSED\n");
    EXPECT_TRUE(listing_becomes("{\"sessions\":[" + serial + "," + prompt + "," +
                                row("pipe", me(), "held", destination, 5, 7) + "]}\n"));
    EXPECT_EQ(tarnix.output("continue", &status), "RUNNING\n");

    // A user who leaves is gone from the listing; the escape takes the other
    // back to the prompt with its counts.
    ASSERT_TRUE(at_prompt.type("q\r"));
    ASSERT_TRUE(at_prompt.wait_closed());
    ASSERT_TRUE(connected.send("\x1d"));
    EXPECT_TRUE(listing_becomes("{\"sessions\":[" + serial + "," +
                                row("pipe", me(), "prompt", "null", 5, 7) + "]}\n"));
    ::close(h);
}

// An SSH shell is listed with its protocol and destination; what the SSH
// dialogue exchanged is not counted, the shell's bytes are.
TEST_F(SessionsTest, AnSshShellIsListedLikeATelnetConnection) {
    test::SshTestServer server(test::SshTestServer::Fault::stop_reading);
    ASSERT_TRUE(server.ok());
    ASSERT_TRUE(tarnix.set_dword("", layout::VALUE_SSH, 1));
    ASSERT_TRUE(tarnix.start());
    PipeUser user;
    ASSERT_TRUE(user.open_session());
    ASSERT_TRUE(user.type("ssh x@127.0.0.1 " + std::to_string(server.port()) + "\r"));
    ASSERT_TRUE(user.got("(yes/no)? "));
    ASSERT_TRUE(user.type("yes\r"));
    ASSERT_TRUE(user.got("password: "));
    ASSERT_TRUE(user.type("any\r"));
    ASSERT_TRUE(user.got("ready\r\n"));
    ASSERT_TRUE(user.send("ls\n"));

    const std::string destination =
        "{\"protocol\":\"ssh\",\"host\":\"127.0.0.1\",\"port\":" + std::to_string(server.port()) +
        ",\"since\":\"T\"}";
    EXPECT_TRUE(listing_becomes("{\"sessions\":[" +
                                row("pipe", me(), "connected", destination, 3, 7) + "]}\n"));
    int status = -1;
    const std::string table = tarnix.output("sessions", &status);
    EXPECT_NE(table.find(" ssh "), std::string::npos) << table;
    ASSERT_TRUE(user.send("\x1d"));
    EXPECT_TRUE(
        listing_becomes("{\"sessions\":[" + row("pipe", me(), "prompt", "null", 3, 7) + "]}\n"));
}

TEST_F(SessionsTest, NoServiceNoListing) {
    int status = -1;
    EXPECT_EQ(tarnix.output("sessions", &status),
              "tarnix sessions: the service is not running (error 1062)\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(tarnix.output("sessions --xml", &status).substr(0, 7), "usage: ");
    EXPECT_EQ(status, 2);
}

}  // namespace
}  // namespace varolan::robust
