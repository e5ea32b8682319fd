// The host socket layer and the system resolver, on the loopback interface.
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

}  // namespace
}  // namespace varolan
