// Who may do what to a running gateway, and what a pipe user's sizes can reach.
// The unprivileged user is "nobody", reached with setpriv (the tests skip when
// not run as root).
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/store_layout.h"
#include "platform/core/winerror.h"
#include "platform/scm/scm.h"
#include "tests/robustness/tarnix_fixture.h"
#include "tests/robustness/tarnix_harness.h"

namespace varolan::robust {
namespace {

class SecurityTest : public TarnixTest {
  protected:
    // Root, setpriv, and a build tree that nobody may run.
    static bool can_switch_user() {
        return ::geteuid() == 0 && ::access("/usr/bin/setpriv", X_OK) == 0 &&
               std::system(("setpriv --reuid=nobody --regid=nogroup --clear-groups test -x '" +
                            test::program_path("robust-probe").string() + "'")
                               .c_str()) == 0;
    }
    // robust-probe MODE run as nobody; its one line of output.
    std::string probe_as_nobody(const std::string& mode) {
        std::string command = "VAROLAN_RUNTIME_DIR='" + tarnix.runtime_dir() +
                              "' setpriv --reuid=nobody --regid=nogroup --clear-groups " + "'" +
                              test::program_path("robust-probe").string() + "' " + mode +
                              " 2>/dev/null";
        std::string out;
        if (FILE* p = ::popen(command.c_str(), "r")) {
            char line[128];
            if (std::fgets(line, sizeof line, p) != nullptr) {
                out = line;
            }
            ::pclose(p);
        }
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
            out.pop_back();
        }
        return out;
    }
    DWORD state() {
        scm::SERVICE_STATUS status;
        return scm::query_endpoint("Varolan", &status) == ERROR_SUCCESS ? status.dwCurrentState : 0;
    }
};

TEST_F(SecurityTest, ControlEndpointRefusesANonOwner) {
    if (!can_switch_user()) {
        GTEST_SKIP() << "needs root, setpriv and a build tree nobody may run";
    }
    ASSERT_FALSE(test::program_path("robust-probe").empty());
    ASSERT_TRUE(tarnix.start());
    // nobody may walk to the runtime directory (the temporary directory above
    // it is private by default).
    ASSERT_EQ(::chmod(tarnix.dir().str().c_str(), 0711), 0);
    const std::string denied = std::to_string(ERROR_ACCESS_DENIED);

    EXPECT_EQ(probe_as_nobody("query"), denied);
    EXPECT_EQ(probe_as_nobody("control"), denied);
    EXPECT_EQ(state(), scm::SERVICE_RUNNING);

    // Even with the endpoint's file opened to everybody, the peer's user id is
    // what decides: nothing is carried out.
    const std::string endpoint = tarnix.runtime_dir() + "/varolan.ctl";
    ASSERT_EQ(::chmod(endpoint.c_str(), 0666), 0);
    EXPECT_NE(probe_as_nobody("control"), std::to_string(ERROR_SUCCESS));
    EXPECT_EQ(state(), scm::SERVICE_RUNNING);
    EXPECT_TRUE(tarnix.alive());
}

// The same refusal must also be reported as one, never as a service that is
// not running (a query answered STOPPED, a control ERROR_SERVICE_NOT_ACTIVE).
TEST_F(SecurityTest, RefusalOfANonOwnerIsReportedAsAccessDenied) {
    if (!can_switch_user()) {
        GTEST_SKIP() << "needs root, setpriv and a build tree nobody may run";
    }
    ASSERT_TRUE(tarnix.start());
    ASSERT_EQ(::chmod(tarnix.dir().str().c_str(), 0711), 0);
    const std::string endpoint = tarnix.runtime_dir() + "/varolan.ctl";
    ASSERT_EQ(::chmod(endpoint.c_str(), 0666), 0);
    const std::string denied = std::to_string(ERROR_ACCESS_DENIED);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(probe_as_nobody("query"), denied);
        EXPECT_EQ(probe_as_nobody("control"), denied);
    }
}

// The session listing names accounts and destinations: another account gets
// a refusal and nothing of it, however the endpoint's file is set.
TEST_F(SecurityTest, SessionListingIsRefusedToOtherAccounts) {
    if (!can_switch_user()) {
        GTEST_SKIP() << "needs root, setpriv and a build tree nobody may run";
    }
    ASSERT_TRUE(tarnix.start());
    PipeUser user;
    ASSERT_TRUE(user.open_session());
    ASSERT_EQ(::chmod(tarnix.dir().str().c_str(), 0711), 0);
    const std::string as_nobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups";
    const std::string refused = "tarnix sessions: access denied (error 5)\n";
    int status = -1;
    EXPECT_EQ(tarnix.output("sessions --json", &status, as_nobody), refused);
    EXPECT_EQ(status, 1);
    const std::string endpoint = tarnix.runtime_dir() + "/varolan.ctl";
    ASSERT_EQ(::chmod(endpoint.c_str(), 0666), 0);
    EXPECT_EQ(tarnix.output("sessions", &status, as_nobody), refused);
    EXPECT_EQ(status, 1);
    // Its own account is answered.
    EXPECT_NE(tarnix.output("sessions --json", &status).find("\"kind\":\"pipe\""),
              std::string::npos);
    EXPECT_EQ(status, 0);
}

TEST_F(SecurityTest, PipeIsOpenToEverybodyAndItsDirectoryRestrictsIt) {
    if (!can_switch_user()) {
        GTEST_SKIP() << "needs root, setpriv and a build tree nobody may run";
    }
    ASSERT_FALSE(test::program_path("robust-probe").empty());
    ASSERT_TRUE(tarnix.start());
    ASSERT_EQ(::chmod(tarnix.dir().str().c_str(), 0711), 0);
    const std::string socket = tarnix.runtime_dir() + "/pipe/Tarnix";
    struct stat st {};
    ASSERT_EQ(::stat(socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u) << "the pipe is open to everybody";
    EXPECT_EQ(probe_as_nobody("pipe"), "prompt");

    // The documented restriction: a group-only pipe directory.
    const std::string dir = tarnix.runtime_dir() + "/pipe";
    ASSERT_EQ(::chmod(dir.c_str(), 0750), 0);
    EXPECT_EQ(probe_as_nobody("pipe"), "refused");
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    EXPECT_EQ(probe_as_nobody("pipe"), "prompt");
}

// Sizes a pipe user controls: message sizes at the prompt and in the relay, and
// the words of a command line. None reaches a buffer unchecked.
TEST_F(SecurityTest, PipeUserSizesStayBounded) {
    ASSERT_TRUE(tarnix.start());
    const Census idle = tarnix.idle_census();

    // At the prompt the gateway reads one byte per message: a long message
    // ends the session, nothing else.
    for (std::size_t size : {2u, 4097u, 200000u}) {
        PipeUser user;
        ASSERT_TRUE(user.open_session());
        ASSERT_TRUE(user.send(std::string(size, 'o')));
        EXPECT_TRUE(user.wait_closed()) << size;
    }

    // Long words, long port numbers and a full line.
    PipeUser user;
    ASSERT_TRUE(user.open_session());
    for (const std::string& line : std::vector<std::string>{
             "o 127.0.0.1 99999999999999999999999999999\r", "o 127.0.0.1 0\r", "o 127.0.0.1 -1\r",
             "open " + std::string(60, 'h') + "\r", std::string(40, 'x'), "s\r"}) {
        ASSERT_TRUE(user.type(line));
        EXPECT_TRUE(user.got("Telnet >")) << line;
    }

    // In the relay, a message longer than the 4096-byte block reaches the
    // host whole and in order, in pieces.
    ASSERT_TRUE(user.type("o 127.0.0.1\r"));
    ASSERT_TRUE(user.got("Trying... 127.0.0.1\r\n"));
    int h = host.accept();
    ASSERT_GE(h, 0);
    std::string big(200000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>('a' + i % 26);
    }
    ASSERT_TRUE(user.send(big));
    ASSERT_TRUE(user.send("<END>"));
    std::string seen;
    EXPECT_TRUE(read_until(h, seen, "<END>"));
    EXPECT_EQ(seen.size(), big.size() + 5);
    EXPECT_TRUE(seen == big + "<END>") << "the message arrives whole and in order";
    ASSERT_TRUE(user.type("\x1d"));
    EXPECT_TRUE(user.got("Telnet >"));
    EXPECT_TRUE(wait_eof(h));
    ::close(h);
    ASSERT_TRUE(user.type("q\r"));
    EXPECT_TRUE(user.wait_closed());
    EXPECT_TRUE(tarnix.settles_to(idle)) << to_string(tarnix.census()) << " vs " << to_string(idle);
}

// A message larger than any unprivileged sender can write: a privileged client
// forces a send buffer of several megabytes. Whatever the gateway cannot hold
// must not be lost silently while the rest is relayed.
TEST_F(SecurityTest, OversizedMessageFromAPrivilegedClientIsRelayedWhole) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root (SO_SNDBUFFORCE)";
    }
    ASSERT_TRUE(tarnix.start());
    PipeUser user;
    ASSERT_TRUE(user.connect());
    ASSERT_TRUE(user.got("Telnet >"));
    ASSERT_TRUE(user.type("o 127.0.0.1\r"));
    ASSERT_TRUE(user.got("Trying... 127.0.0.1\r\n"));
    int h = host.accept();
    ASSERT_GE(h, 0);
    int force = 64 << 20;
    ASSERT_EQ(::setsockopt(user.fd(), SOL_SOCKET, SO_SNDBUFFORCE, &force, sizeof force), 0);
    std::string big(1 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>('A' + i % 23);
    }
    if (!user.send(big)) {
        ::close(h);
        GTEST_SKIP() << "the kernel refused a message of this size";
    }
    ASSERT_TRUE(user.send("END"));
    std::string seen;
    read_until(h, seen, "END", std::chrono::seconds(30));
    EXPECT_EQ(seen.size(), big.size() + 3) << "bytes of the message lost";
    ::close(h);
}

}  // namespace
}  // namespace varolan::robust
