// The SSH dialogue on a user line against a scripted host: the host key
// question, the user's name, the order of methods, answers never echoed,
// three failures, no questions for automatic connections; and the link that
// carries an open shell.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "platform/ssh/fake_ssh.h"
#include "service/session/globals.h"
#include "service/session/policy.h"
#include "service/session/ssh_session.h"
#include "tests/service/session/fake_resolver.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "tests/support/session_user_side.h"
#include "tests/support/tcp_host.h"

namespace varolan::service {
namespace {

using test::file_text;

using test::terminal_read_available;
using test::terminal_write;

const std::string QUESTION_END = "Continue connecting (yes/no)? ";
const std::string DENIED = "Access denied.\r\n";

class SshDialogueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_globals();
        ASSERT_TRUE(tcp.start());
        resolver.names["gw-host"] = "127.0.0.1";
        configure_ssh(true, dir.str("registry.db").c_str());
        auto line = test::make_user_line();
        side = std::move(line.side);
        terminal = std::move(line.terminal);
    }
    void TearDown() override { configure_ssh(false, ""); }

    // Types `input`, runs one attempt and returns what the user saw.
    std::string attempt(const std::string& command, const std::string& input, SshOpen expected,
                        bool interactive = true) {
        EXPECT_TRUE(terminal_write(terminal.get(), input));
        SshTarget target;
        EXPECT_TRUE(parse_ssh_command(command.c_str(), &target)) << command;
        target.port = tcp.port();
        client.reset();
        EXPECT_EQ(ssh_open(side.get(), target, interactive, "UNKNOWN", "test", &client), expected);
        return terminal_read_available(terminal.get());
    }

    test::TempDir dir;
    test::FakeResolver resolver;
    test::TcpHost tcp;
    ssh::FakeSshHost host;
    std::unique_ptr<test::FdUserSide> side;
    UniqueFd terminal;
    std::unique_ptr<ssh::Client> client;
};

TEST_F(SshDialogueTest, FirstContactAsksRecordsAndLogsIn) {
    test::LogCapture log;
    host.offered = ssh::METHOD_PUBLICKEY | ssh::METHOD_KBDINT | ssh::METHOD_PASSWORD;
    const std::string question =
        "Trying... gw-host\r\nThe host key of gw-host is not known.\r\n"
        "ssh-ed25519 key fingerprint is " +
        host.fingerprint + ".\r\n" + QUESTION_END;

    // Anything but "yes" refuses and records nothing.
    std::string out = attempt("ssh gw-host", "yess\r", SshOpen::refused);
    EXPECT_EQ(out, question + "yess\r\n");
    struct stat st {};
    EXPECT_NE(stat(ssh_known_hosts_file(), &st), 0);
    EXPECT_EQ(log.count("unknown host key not accepted: ssh-ed25519 SHA256:"), 1);

    // "yes": recorded owner-only; the name is asked for (echoed); the
    // gateway's key is tried first, then keyboard-interactive, not echoed.
    out = attempt("ssh gw-host", "YES\ralice\rsecret\r", SshOpen::open);
    EXPECT_EQ(out, question + "YES\r\nlogin as: alice\r\nPassword: \r\n");
    ASSERT_EQ(stat(ssh_known_hosts_file(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(file_text(ssh_known_hosts_file()), "[gw-host]:" + std::to_string(tcp.port()) +
                                                     " ssh-ed25519 " + host.fingerprint + "\n");
    {
        auto l = host.lock();
        EXPECT_EQ(host.attempts, (std::vector<std::string>{
                                     "none alice", std::string("publickey ") + ssh_identity_file(),
                                     "kbdint secret"}));
        EXPECT_EQ(host.terminal_type, "vt100");
        EXPECT_EQ(host.columns, 80);
        EXPECT_EQ(host.rows, 24);
    }
    EXPECT_EQ(log.count("authenticated by keyboard-interactive"), 1);
    EXPECT_EQ(log.count("password"), 0) << "no secret is ever logged";
    EXPECT_EQ(log.count("secret"), 0);

    // Known now: no question; the user named in the command is not asked for.
    out = attempt("SSH alice@gw-host", "secret\r", SshOpen::open);
    EXPECT_EQ(out, "Trying... gw-host\r\nPassword: \r\n");
}

TEST_F(SshDialogueTest, ThreeFailuresChangedKeyAndPasswordOnlyHosts) {
    std::ofstream(ssh_known_hosts_file())
        << "[gw-host]:" << tcp.port() << " ssh-ed25519 " << host.fingerprint << "\n";
    host.offered = ssh::METHOD_PASSWORD;
    // Backspace and DEL erase (unseen); the third wrong answer ends it.
    std::string out =
        attempt("ssh bob@gw-host", "x\bsecret\rsecreT\x7ft\rnope\r", SshOpen::refused);
    const std::string ask = "bob@gw-host's password: ";
    EXPECT_EQ(out, "Trying... gw-host\r\n" + ask + "\r\nPermission denied, please try again.\r\n" +
                       ask + "\r\nPermission denied, please try again.\r\n" + ask + "\r\n" +
                       DENIED);
    {
        auto l = host.lock();
        EXPECT_EQ(host.attempts, (std::vector<std::string>{"none bob", "password secret",
                                                           "password secret", "password nope"}));
    }
    // The user side going while a password is typed ends it quietly.
    ASSERT_TRUE(terminal_write(terminal.get(), std::string("sec\0", 4)));
    SshTarget target;
    ASSERT_TRUE(parse_ssh_command("ssh bob@gw-host", &target));
    target.port = tcp.port();
    EXPECT_EQ(ssh_open(side.get(), target, true, "", "test", &client), SshOpen::user_gone);
    EXPECT_EQ(terminal_read_available(terminal.get()), "Trying... gw-host\r\n" + ask);

    // A changed key: two lines, refused before anything is typed.
    host.fingerprint = "SHA256:anotheranotheranotheranotheranotheranother";
    out = attempt("ssh alice@gw-host", "", SshOpen::refused);
    EXPECT_EQ(out,
              "Trying... gw-host\r\nWARNING: THE HOST KEY OF gw-host HAS CHANGED (now "
              "ssh-ed25519 " +
                  host.fingerprint +
                  ").\r\nConnection refused; only the gateway's administrator can accept "
                  "the new key.\r\n");
    auto l = host.lock();
    EXPECT_EQ(host.attempts.size(), 5u) << "no authentication after a changed key";
}

TEST_F(SshDialogueTest, AutomaticConnectionsAskNothing) {
    // Unknown key: refused, no question.
    std::string out = attempt("ssh alice@gw-host", "", SshOpen::refused, false);
    EXPECT_EQ(out,
              "Trying... gw-host\r\nThe host key of gw-host is not known; connection "
              "refused.\r\n");
    std::ofstream(ssh_known_hosts_file())
        << "[gw-host]:" << tcp.port() << " ssh-ed25519 " << host.fingerprint << "\n";

    // The gateway's key refused: no password is asked for.
    out = attempt("ssh alice@gw-host", "", SshOpen::refused, false);
    EXPECT_EQ(out, "Trying... gw-host\r\n" + DENIED);
    host.accepted_key = ssh_identity_file();
    out = attempt("ssh alice@gw-host", "", SshOpen::open, false);
    EXPECT_EQ(out, "Trying... gw-host\r\n");

    // The host closing during authentication.
    host.fail_during_auth = true;
    host.accepted_key.clear();
    out = attempt("ssh alice@gw-host", "", SshOpen::refused, true);
    EXPECT_EQ(out, "Trying... gw-host\r\nConnect Failed.\r\n");

    // A destination the administrator does not permit is not even connected to.
    DestinationRule elsewhere;
    ASSERT_TRUE(parse_destination_rule("10.9.9.9", &elsewhere));
    set_permitted_destinations(true, {elsewhere});
    const int connections = tcp.connections();
    out = attempt("ssh alice@gw-host", "", SshOpen::refused, true);
    reset_policy();
    EXPECT_EQ(out, "Trying... gw-host\r\nConnect Failed.\r\n");
    EXPECT_EQ(tcp.connections(), connections);
}

TEST(SshTargetTest, CommandsAndUrls) {
    struct Case {
        const char* text;
        bool ok;
        const char* user;
        const char* host;
        std::uint16_t port;
    } commands[] = {
        {"ssh host", true, "", "host", 22},
        {"SSH Bob@Host.Example 2222", true, "Bob", "Host.Example", 2222},
        {"Ssh a@b@c", true, "a@b", "c", 22},
        {"ssh [::1] 2022", true, "", "::1", 2022},
        {"ssh fe80::1%eth0", true, "", "fe80::1%eth0", 22},
        {"ssh", false, "", "", 22},
        {"ssh @host", false, "", "", 22},
        {"ssh host 0", false, "", "", 22},
        {"ssh host 65536", false, "", "", 22},
        {"sshx host", false, "", "", 22},
    };
    for (const Case& c : commands) {
        SCOPED_TRACE(c.text);
        SshTarget t;
        ASSERT_EQ(parse_ssh_command(c.text, &t), c.ok);
        if (c.ok) {
            EXPECT_STREQ(t.user, c.user);
            EXPECT_STREQ(t.host, c.host);
            EXPECT_EQ(t.port, c.port);
        }
    }
    Case urls[] = {
        {"ssh://alice@host", true, "alice", "host", 22},
        {"SSH://alice@host:2222/", true, "alice", "host", 2222},
        {"ssh://alice@[2001:db8::1]:23", true, "alice", "2001:db8::1", 23},
        {"ssh://alice@2001:db8::1", true, "alice", "2001:db8::1", 22},
        {"ssh://host", false, "", "", 22},
        {"ssh://alice@", false, "", "", 22},
        {"ssh://alice@host:x", false, "", "", 22},
        {"ssh://alice@host:99999", false, "", "", 22},
        {"telnet://alice@host", false, "", "", 22},
    };
    for (const Case& c : urls) {
        SCOPED_TRACE(c.text);
        SshTarget t;
        ASSERT_EQ(parse_ssh_url(c.text, &t), c.ok);
        if (c.ok) {
            EXPECT_STREQ(t.user, c.user);
            EXPECT_STREQ(t.host, c.host);
            EXPECT_EQ(t.port, c.port);
        }
    }
}

}  // namespace
}  // namespace varolan::service
