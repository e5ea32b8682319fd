// The real client against the machine's OpenSSH server: the gateway's key
// (made owner-only, accepted by the host), trust on first use in a
// known-hosts file the library reads back, files others could change
// refused, and a shell whose terminal type the host sees; shell output that
// never stays inside the library unseen; and hosts that never answer, given
// up after the client's time limit.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "platform/ssh/ssh.h"
#include "tests/support/process.h"
#include "tests/support/session_user_side.h"
#include "tests/support/ssh_test_server.h"
#include "tests/support/sshd.h"
#include "tests/support/tcp_host.h"
#include "tests/support/wait_until.h"

namespace varolan::ssh {
namespace {

using test::file_text;

UniqueFd connect_loopback(std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    return fd;
}

TEST(LibsshClientTest, GatewayKeyKnownHostsAndShell) {
    if (std::string why = test::sshd_unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    test::TempDir dir;
    const std::string key = dir.str("ssh_id_ed25519");
    const std::string known = dir.str("ssh_known_hosts");
    char error[TEXT_SIZE] = {};
    ASSERT_EQ(make_identity(key.c_str(), dir.str().c_str(), error), KeyFile::created) << error;
    EXPECT_EQ(make_identity(key.c_str(), dir.str().c_str(), error), KeyFile::present);
    struct stat st {};
    ASSERT_EQ(stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string pub = file_text(key + ".pub");
    EXPECT_EQ(pub.rfind("ssh-ed25519 AAAA", 0), 0u) << pub;

    test::Sshd sshd;
    ASSERT_TRUE(sshd.start(pub)) << sshd.log();
    char type[KEY_TYPE_SIZE];
    char fingerprint[FINGERPRINT_SIZE];
    auto client = new_client();
    ASSERT_TRUE(client->handshake(connect_loopback(sshd.port()), "LocalHost", sshd.port()))
        << client->error_text();
    ASSERT_TRUE(client->host_key(type, fingerprint));
    EXPECT_STREQ(type, "ssh-ed25519");
    EXPECT_EQ(fingerprint, sshd.fingerprint());
    EXPECT_EQ(client->check_host_key(known.c_str()), HostKeyCheck::unknown);
    ASSERT_TRUE(client->record_host_key(known.c_str())) << client->error_text();
    ASSERT_EQ(stat(known.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(file_text(known).rfind("[localhost]:" + std::to_string(sshd.port()) + " ", 0), 0u);
    EXPECT_EQ(client->check_host_key(known.c_str()), HostKeyCheck::known);

    // A known-hosts file others may write, or a key others may read, is not used.
    ::chmod(known.c_str(), 0620);
    EXPECT_EQ(client->check_host_key(known.c_str()), HostKeyCheck::error);
    ::chmod(known.c_str(), 0600);
    ::chmod(key.c_str(), 0640);
    EXPECT_EQ(client->auth_none("root"), AuthResult::denied);
    EXPECT_EQ(client->auth_publickey(key.c_str()), AuthResult::denied);
    ::chmod(key.c_str(), 0600);
    ASSERT_EQ(client->auth_publickey(key.c_str()), AuthResult::success) << sshd.log();

    ASSERT_TRUE(client->open_shell("vt220", 80, 24)) << client->error_text();
    UniqueFd local;
    auto link = ShellLink::start(std::move(client), &local);
    ASSERT_TRUE(link);
    ASSERT_TRUE(test::terminal_write(local.get(), "echo \"T=[$TERM]\"; exit\n"));
    EXPECT_NE(test::terminal_read_to_end(local.get()).find("T=[vt220]"), std::string::npos);
}

// Everything read() hands out until it says there is nothing and the
// connection's descriptor shows nothing either: the point where the link
// waits on that descriptor.
std::size_t read_until_quiet(Client& client) {
    std::size_t got = 0;
    char buffer[4096];
    for (;;) {
        const int n = client.read(buffer, sizeof buffer);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{client.poll_fd(), POLLIN, 0};
        if (n < 0 || ::poll(&p, 1, 0) == 0) {
            return got;
        }
    }
}

// A packet of shell output is read off the connection in pieces, and the
// piece that completes it can come in while the client looks at the error
// stream. Blocks 4 KiB apart end their packets in either look; each is handed
// out whole before the descriptor goes quiet, or the link would sleep with
// the output inside the library.
TEST(LibsshClientTest, NoShellOutputStaysInsideOnceTheConnectionIsQuiet) {
    test::SshTestServer host(test::SshTestServer::Fault::blocks_on_input);
    ASSERT_TRUE(host.ok());
    auto client = new_library_client(10);
    ASSERT_TRUE(client->handshake(connect_loopback(host.port()), "127.0.0.1", host.port()))
        << client->error_text();
    EXPECT_EQ(client->auth_none("user"), AuthResult::denied);
    ASSERT_EQ(client->auth_password("any"), AuthResult::success) << client->error_text();
    ASSERT_TRUE(client->open_shell("vt220", 80, 24)) << client->error_text();
    std::size_t greeting = 0;
    for (int i = 0; i < 100 && greeting < 7; ++i) {
        greeting += read_until_quiet(*client);
        pollfd p{client->poll_fd(), POLLIN, 0};
        ::poll(&p, 1, 100);
    }
    ASSERT_EQ(greeting, 7u);
    for (unsigned char b : {78, 94, 110, 126}) {
        const std::size_t size = std::size_t{b} * 256;
        const int before = host.blocks();
        ASSERT_EQ(client->write(&b, 1), 1);
        // The whole packet (with at least 16 bytes of its own) lies in the
        // socket before the client looks.
        ASSERT_TRUE(test::wait_until(
            [&] {
                int queued = 0;
                ::ioctl(client->poll_fd(), FIONREAD, &queued);
                return host.blocks() != before && queued >= static_cast<int>(size + 16);
            },
            std::chrono::seconds(10)));
        EXPECT_EQ(read_until_quiet(*client), size) << "a block of " << size;
    }
}

// A host that accepts the connection and then says nothing, or nothing after
// its greeting: the handshake ends with the time limit, not for ever.
TEST(LibsshClientTest, SilentHostIsGivenUp) {
    for (const std::string greeting : {"", "SSH-2.0-Silent\r\n"}) {
        SCOPED_TRACE(greeting);
        test::TcpHost host;
        ASSERT_TRUE(host.start());
        host.set_greeting(greeting);
        auto client = new_library_client(1);
        EXPECT_FALSE(client->handshake(connect_loopback(host.port()), "127.0.0.1", host.port()));
        EXPECT_STREQ(client->error_text(), "no answer from the host within 1 s");
    }
}

}  // namespace
}  // namespace varolan::ssh
