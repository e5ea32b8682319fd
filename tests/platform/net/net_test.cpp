// The host socket layer and the system resolver, on the loopback interface.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/net/net.h"
#include "tests/support/tcp_host.h"

namespace varolan {
namespace {

TEST(NetTest, DottedAddressForms) {
    std::uint32_t ip = 0;
    char text[DOTTED_ADDRESS_SIZE];
    const std::pair<const char*, const char*> good[] = {
        {"10.1.2.3", "10.1.2.3"}, {"127.1", "127.0.0.1"}, {"0x7f.0.0.2", "127.0.0.2"}};
    for (const auto& [in, out] : good) {
        SCOPED_TRACE(in);
        ASSERT_TRUE(parse_dotted(in, &ip));
        format_dotted(ip, text);
        EXPECT_STREQ(text, out);
    }
    for (const char* bad : {"", "host", "1.2.3.4.5", "300.1.1.1", "O"}) {
        EXPECT_FALSE(parse_dotted(bad, &ip)) << bad;
    }
}

TEST(NetTest, Ipv6AddressForms) {
    HostAddress a;
    char text[ADDRESS_TEXT_SIZE];
    const std::pair<const char*, const char*> good[] = {
        {"::1", "::1"}, {"[2001:DB8::1]", "2001:db8::1"}, {"::ffff:10.1.2.3", "::ffff:10.1.2.3"}};
    for (const auto& [in, out] : good) {
        SCOPED_TRACE(in);
        ASSERT_TRUE(parse_ipv6(in, &a));
        EXPECT_EQ(a.family, ADDRESS_FAMILY_INET6);
        format_address(a, text);
        EXPECT_STREQ(text, out);
    }
    for (const char* bad : {"", "10.1.2.3", "[::1", "::1]", "1::2::3", "::1%", "host", "[]"}) {
        EXPECT_FALSE(parse_ipv6(bad, &a)) << bad;
    }
}

TEST(NetTest, SystemResolverOnLoopbackNames) {
    SystemResolver resolver;
    std::uint32_t ip = 0;
    ASSERT_TRUE(resolver.forward("localhost", &ip));
    char text[DOTTED_ADDRESS_SIZE];
    format_dotted(ip, text);
    EXPECT_STREQ(text, "127.0.0.1");
    EXPECT_FALSE(resolver.forward("", &ip));
    HostAddressList all;
    ASSERT_TRUE(resolver.forward_all("[::1]", &all));
    ASSERT_EQ(all.count, 1u);
    EXPECT_EQ(all.addresses[0].family, ADDRESS_FAMILY_INET6);
    EXPECT_FALSE(resolver.forward("::1", &ip)) << "the IPv4 lookup gives no IPv6 address";

    char name[LOCAL_HOST_NAME_SIZE];
    std::memset(name, 'x', sizeof name);
    EXPECT_TRUE(local_host_name(name, sizeof name));
    EXPECT_LT(std::strlen(name), sizeof name);
    char tiny[4];
    local_host_name(tiny, sizeof tiny);
    EXPECT_LT(std::strlen(tiny), sizeof tiny);
}

TEST(NetTest, SocketConnectsSendsReceivesAndShutsDown) {
    test::TcpHost host;
    ASSERT_TRUE(host.start());
    host.set_echo(true);
    HostSocket socket;
    HostAddress address{ADDRESS_FAMILY_INET, 0, host.port()};
    ASSERT_TRUE(parse_dotted("127.0.0.1", &address.ip));
    EXPECT_FALSE(socket.connect(address)) << "no socket open yet";
    ASSERT_TRUE(socket.open());
    ASSERT_TRUE(socket.connect(address));
    EXPECT_EQ(socket.send("abc", 3), 3);
    char buf[8] = {};
    std::string got;
    while (got.size() < 3) {
        int n = socket.recv(buf, sizeof buf);
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got, "abc");
    EXPECT_TRUE(socket.shutdown_both());
    EXPECT_EQ(socket.recv(buf, sizeof buf), 0);
    EXPECT_TRUE(host.wait_for_peer_close());
    // Sending on a shut-down socket fails without a signal and records the error.
    EXPECT_EQ(socket.send("x", 1), -1);
    EXPECT_NE(last_socket_error(), 0);
    socket.close();
    EXPECT_FALSE(socket.valid());
}

TEST(NetTest, RefusedConnectReportsFailure) {
    std::uint16_t port = 0;
    {
        test::TcpHost gone;
        ASSERT_TRUE(gone.start());
        port = gone.port();
    }
    HostSocket socket;
    HostAddress address{ADDRESS_FAMILY_INET, 0, port};
    ASSERT_TRUE(parse_dotted("127.0.0.1", &address.ip));
    ASSERT_TRUE(socket.open());
    EXPECT_FALSE(socket.connect(address));
    EXPECT_NE(last_socket_error(), 0);
}

// The relay's sends never wait: a peer that reads nothing makes them take
// nothing, one that reads again makes them take more; a peer that has shut its
// sending side is seen as finished, and one that has gone fails the send.
TEST(NetTest, SendAvailableNeverWaitsAndPeerFinishedSeesTheEnd) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFd peer(pair[1]);
    HostSocket socket;
    socket.adopt(UniqueFd(pair[0]));
    EXPECT_FALSE(socket.peer_finished());
    const std::string chunk(65536, 'x');
    std::size_t sent = 0;
    int n = 0;
    while ((n = socket.send_available(chunk.data(), chunk.size())) > 0) {
        sent += static_cast<std::size_t>(n);
        ASSERT_LT(sent, 64u << 20) << "the peer never reads: the socket must fill";
    }
    EXPECT_EQ(n, 0) << "full: nothing taken, no failure";
    char buf[65536];
    ASSERT_GT(::read(peer.get(), buf, sizeof buf), 0);
    ASSERT_GT(::read(peer.get(), buf, sizeof buf), 0);
    EXPECT_GT(socket.send_available("y", 1), 0) << "room again";

    ASSERT_EQ(::shutdown(peer.get(), SHUT_WR), 0);
    EXPECT_TRUE(socket.peer_finished());
    peer.reset();
    EXPECT_EQ(socket.send_available("z", 1), -1);
    EXPECT_NE(last_socket_error(), 0);
}

}  // namespace
}  // namespace varolan
