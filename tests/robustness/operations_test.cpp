// The real gateway as an administrator runs it: its pipe keeps serving when
// descriptors run out, it answers clients over its limits, and it logs who
// connected where.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <string>

#include "common/store_layout.h"
#include "platform/core/account.h"
#include "tests/robustness/tarnix_fixture.h"
#include "tests/robustness/tarnix_harness.h"

namespace varolan::robust {
namespace {

const std::string FULL = "Varolan: too many sessions, try again later.\r\n";

int count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

using OperationsTest = TarnixTest;

// Any local user can use up the service's descriptors by connecting: accepts
// then fail. The listener waits and tries again instead of ending, says so
// once, and once the clients have gone a new client gets the prompt.
TEST_F(OperationsTest, DescriptorExhaustionThenRecovery) {
    ASSERT_TRUE(tarnix.start_as_unit());
    const Census idle = tarnix.idle_census();
    rlimit tight{static_cast<rlim_t>(idle.fds + 6), static_cast<rlim_t>(idle.fds + 6)};
    rlimit old{};
    ASSERT_EQ(::prlimit(tarnix.pid(), RLIMIT_NOFILE, &tight, &old), 0);

    std::deque<PipeUser> users(40);
    for (PipeUser& user : users) {
        ASSERT_TRUE(user.connect()) << "the backlog takes every client";
    }
    EXPECT_TRUE(
        tarnix.logged("<4>pipe listener: cannot take a client: Too many open files; "
                      "trying again"));
    for (PipeUser& user : users) {
        user.close();
    }
    PipeUser late;
    EXPECT_TRUE(late.open_session()) << "a client after the exhaustion gets the prompt\n"
                                     << tarnix.log();
    late.type("q\r");
    EXPECT_TRUE(late.wait_closed());
    EXPECT_TRUE(tarnix.logged("<5>pipe listener: taking clients again"));
    EXPECT_EQ(count(tarnix.log(), "cannot take a client"), 1);
    SCOPED_TRACE(tarnix.log());
    EXPECT_TRUE(tarnix.settles_to(idle)) << to_string(tarnix.census());

    // Out of descriptors again, the service still answers a stop.
    std::deque<PipeUser> crowd(40);
    for (PipeUser& user : crowd) {
        ASSERT_TRUE(user.connect());
    }
    ASSERT_TRUE(eventually([&] { return count(tarnix.log(), "cannot take a client") == 2; }));
    EXPECT_TRUE(tarnix.stop()) << "stopped while out of descriptors";
}

// Connects a pipe user with the effective user id `uid`, which is what the
// gateway learns from the connection.
bool connect_as(PipeUser& user, uid_t uid) {
    if (::seteuid(uid) != 0) {
        return false;
    }
    const bool ok = user.connect();
    return ::seteuid(0) == 0 && ok;
}

// Each account may hold "Maximum Sessions Per User", all together "Maximum
// Sessions"; a client over either gets the one line and is closed.
TEST_F(OperationsTest, ClientsOverEachLimitGetTheRefusalLine) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to connect as other accounts";
    }
    ASSERT_TRUE(tarnix.set_dword("", layout::VALUE_MAX_SESSIONS, 2));
    ASSERT_TRUE(tarnix.set_dword("", layout::VALUE_MAX_SESSIONS_PER_USER, 1));
    ASSERT_TRUE(tarnix.start_as_unit());
    ASSERT_EQ(::chmod(tarnix.dir().str().c_str(), 0711), 0);  // other accounts reach the pipe

    PipeUser root_first;
    ASSERT_TRUE(root_first.connect());
    ASSERT_TRUE(root_first.got("Telnet >"));
    PipeUser root_second;
    ASSERT_TRUE(root_second.connect());
    EXPECT_EQ(root_second.read_until(FULL), FULL);
    EXPECT_TRUE(root_second.wait_closed());

    PipeUser nobody;
    ASSERT_TRUE(connect_as(nobody, 65534));
    EXPECT_TRUE(nobody.got("Telnet >")) << "another account has its own share";
    PipeUser daemon_user;
    ASSERT_TRUE(connect_as(daemon_user, 1));
    EXPECT_EQ(daemon_user.read_until(FULL), FULL) << "the total is reached";
    EXPECT_TRUE(daemon_user.wait_closed());

    EXPECT_TRUE(tarnix.logged("refused: Maximum Sessions Per User reached"));
    EXPECT_TRUE(tarnix.logged("refused: Maximum Sessions reached"));
    EXPECT_TRUE(tarnix.logged("(uid 65534) connected"));
}

// A session's start, destination and end are logged with the account; a
// destination outside "Permitted Destinations" is refused as a failed
// connection, and logged. The rule names the host, the user types its
// address: what counts is where the connection would go.
TEST_F(OperationsTest, SessionAndRefusedDestinationAreLogged) {
    const std::string port = std::to_string(host.port());
    ASSERT_TRUE(tarnix.set_raw(
        "", layout::VALUE_PERMITTED_DESTINATIONS, 7,
        "localhost:" + port + std::string(1, '\0') + "not a rule" + std::string(2, '\0')));
    ASSERT_TRUE(tarnix.start_as_unit());
    char account[ACCOUNT_NAME_SIZE];
    account_name(static_cast<std::uint32_t>(::geteuid()), account);
    const std::string who =
        "account " + std::string(account) + " (uid " + std::to_string(::geteuid()) + ")";

    PipeUser user;
    ASSERT_TRUE(user.open_session());
    ASSERT_TRUE(user.type("o 127.0.0.1 " + port + "\r"));
    ASSERT_TRUE(user.got("Trying... 127.0.0.1\r\n"));
    int h = host.accept();
    ASSERT_GE(h, 0);
    ASSERT_TRUE(user.send("secret"));
    std::string seen;
    ASSERT_TRUE(read_until(h, seen, "secret"));
    ASSERT_EQ(::send(h, "pong!", 5, MSG_NOSIGNAL), 5);
    ASSERT_TRUE(user.got("pong!"));
    ASSERT_TRUE(user.type("\x1d"));
    ASSERT_TRUE(user.got("Telnet >"));
    ::close(h);
    ASSERT_TRUE(user.type("o 127.0.0.1 " + std::to_string(host.port() == 1 ? 2 : 1) + "\r"));
    EXPECT_TRUE(user.got("Connect Failed.\r\n"));
    ASSERT_TRUE(user.got("Telnet >"));
    // The host ends the second connection; the third is open at the stop.
    ASSERT_TRUE(user.type("o 127.0.0.1 " + port + "\r"));
    ASSERT_TRUE(user.got("Trying... 127.0.0.1\r\n"));
    h = host.accept();
    ASSERT_GE(h, 0);
    ::close(h);
    ASSERT_TRUE(user.got("Telnet >"));
    ASSERT_TRUE(user.type("q\r"));
    EXPECT_TRUE(user.wait_closed());
    PipeUser stays;
    ASSERT_TRUE(stays.open_session());
    ASSERT_TRUE(stays.type("o 127.0.0.1 " + port + "\r"));
    h = host.accept();
    ASSERT_GE(h, 0);
    ASSERT_TRUE(
        tarnix.logged("<6>pipe session 2 (" + std::string(account) + "): connected to 127.0.0.1"));

    EXPECT_TRUE(tarnix.logged("<6>pipe session 1: " + who + " connected\n"));
    EXPECT_TRUE(tarnix.logged("<6>pipe session 1 (" + std::string(account) +
                              "): connected to 127.0.0.1 (127.0.0.1:" + port + ")\n"));
    EXPECT_TRUE(tarnix.logged(
        "): connection to 127.0.0.1 (127.0.0.1:" + std::to_string(host.port() == 1 ? 2 : 1) +
        ") refused: not a permitted destination\n"));
    EXPECT_TRUE(tarnix.logged("<6>pipe session 1: " + who + " ended\n"));
    EXPECT_TRUE(
        tarnix.logged("<3>\"Permitted Destinations\": \"not a rule\" is not "
                      "host-or-CIDR[:port-or-range]; it permits nothing\n"));
    EXPECT_TRUE(tarnix.logged("<5>Varolan started\n"));
    // Each connection's end: where it went, why, and the bytes each way.
    const std::string ended = "): connection to 127.0.0.1 (127.0.0.1:" + port + ") ended: ";
    EXPECT_TRUE(tarnix.logged("<6>pipe session 1 (" + std::string(account) + ended +
                              "escape; 6 bytes to the host, 5 from the host\n"));
    EXPECT_TRUE(tarnix.logged(ended + "host closed; 0 bytes to the host, 0 from the host\n"));
    EXPECT_TRUE(tarnix.stop());
    EXPECT_NE(tarnix.log().find("<6>pipe session 2 (" + std::string(account) + ended +
                                "service stopped; 0 bytes to the host, 0 from the host\n"),
              std::string::npos)
        << tarnix.log();
    EXPECT_NE(tarnix.log().find("<5>Varolan stopped\n"), std::string::npos);
    EXPECT_EQ(tarnix.log().find("secret"), std::string::npos) << "no user data in the log";
    ::close(h);
}

// Another account that made the pipe's directory first could swap the socket
// and read what users type: the service refuses to run on it, says why, and
// leaves it as it is.
TEST_F(OperationsTest, AForeignPipeDirectoryIsRefusedWithoutHarm) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give the directory to another account";
    }
    const std::string run = tarnix.runtime_dir();
    const std::string pipe_dir = run + "/pipe";
    ASSERT_EQ(::mkdir(run.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(pipe_dir.c_str(), 0777), 0);
    ASSERT_EQ(::chown(pipe_dir.c_str(), 65534, 65534), 0);
    std::ofstream(pipe_dir + "/Tarnix") << "planted";

    ASSERT_TRUE(tarnix.start_as_unit());
    EXPECT_TRUE(eventually([&] { return !tarnix.alive(); })) << "the service does not run";
    EXPECT_EQ(tarnix.exit_status(), 1);
    EXPECT_TRUE(tarnix.logged("<3>runtime directory refused: " + pipe_dir +
                              ": is owned by uid 65534, not by this service's account (uid 0)\n"))
        << tarnix.log();
    struct stat st {};
    ASSERT_EQ(::lstat((pipe_dir + "/Tarnix").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the planted file is left alone";
    ASSERT_EQ(::stat(pipe_dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
}

// The socket's path holds a link to a file of root: the pipe layer follows no
// link and replaces nothing that is not a socket, so the file keeps its mode;
// the service runs, logs why it cannot serve the pipe, and serves it as soon
// as the link is gone.
TEST_F(OperationsTest, ALinkAtTheSocketPathIsRefusedWithoutHarm) {
    const std::string run = tarnix.runtime_dir();
    const std::string victim = tarnix.dir().str("victim");
    std::ofstream(victim) << "secret";
    ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(run.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((run + "/pipe").c_str(), 0755), 0);
    const std::string socket = run + "/pipe/Tarnix";
    ASSERT_EQ(::symlink(victim.c_str(), socket.c_str()), 0);

    ASSERT_TRUE(tarnix.start_as_unit());
    EXPECT_TRUE(tarnix.logged("<4>pipe listener: cannot make the pipe: " + socket +
                              ": is not a socket; left as it is; trying again\n"));
    EXPECT_TRUE(tarnix.alive());
    struct stat st {};
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the link was not followed";
    EXPECT_EQ(tarnix.run("status"), 0);

    ASSERT_EQ(::unlink(socket.c_str()), 0);
    PipeUser user;
    EXPECT_TRUE(user.open_session());
    EXPECT_TRUE(tarnix.logged("<5>pipe listener: taking clients again\n"));
    ASSERT_EQ(::lstat(socket.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666u);
}

}  // namespace
}  // namespace varolan::robust
