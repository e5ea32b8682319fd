// Telnet filtering of host blocks: what the user gets and what the host is sent.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "service/session/telnet.h"
#include "tests/support/session_user_side.h"

namespace varolan::service {
namespace {

using Bytes = std::vector<unsigned char>;

std::string text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

constexpr unsigned char IAC = 255, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, SE = 240,
                        NOP = 241, BRK = 243, GA = 249;

struct FilterCase {
    const char* name;
    Bytes block;
    Bytes user;  // data bytes left for the user
    Bytes host;  // answers sent to the host, in order
    const char* terminal_type = "";
};

class TelnetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The host connection is one end of a socket pair; the test reads the other.
        auto pair = test::make_user_line();
        ASSERT_TRUE(pair.side);
        host_end = std::move(pair.terminal);
        peer_side = std::move(pair.side);
        record.host_socket.adopt(UniqueFd(::dup(peer_side->poll_fd())));
        peer_side->close();
    }

    // Puts `block` into the record as the reader would and filters it.
    Bytes filter(const Bytes& block, std::int32_t* length) {
        std::memcpy(record.receive_buffer, block.data(), block.size());
        record.receive_buffer[block.size()] = '\0';
        record.received_count.store(static_cast<std::int32_t>(block.size()));
        *length = filter_telnet(record);
        return Bytes(record.receive_buffer, record.receive_buffer + *length);
    }
    Bytes host_got() {
        std::string s = test::terminal_read_available(host_end.get(), std::chrono::milliseconds(5));
        return Bytes(s.begin(), s.end());
    }

    SessionRecord record;
    std::unique_ptr<test::FdUserSide> peer_side;
    UniqueFd host_end;
};

TEST_F(TelnetTest, BlocksTable) {
    const std::vector<FilterCase> cases = {
        {"plain data passes", {'a', 'b', 'c'}, {'a', 'b', 'c'}, {}},
        {"only sequences leave nothing",
         {IAC, WILL, 1, IAC, DO, 24},
         {},
         {IAC, DO, 1, IAC, WILL, 24}},
        {"data keeps its order", {'A', IAC, WILL, 1, 'B'}, {'A', 'B'}, {IAC, DO, 1}},
        {"DO ECHO", {IAC, DO, 1}, {}, {IAC, WILL, 1}},
        {"DO TERMINAL-TYPE", {IAC, DO, 24}, {}, {IAC, WILL, 24}},
        {"DO other is refused", {IAC, DO, 31}, {}, {IAC, WONT, 31}},
        {"DO SUPPRESS-GO-AHEAD is refused", {IAC, DO, 3}, {}, {IAC, WONT, 3}},
        {"WILL ECHO", {IAC, WILL, 1}, {}, {IAC, DO, 1}},
        {"WILL SUPPRESS-GO-AHEAD", {IAC, WILL, 3}, {}, {IAC, DO, 3}},
        {"WILL other is refused", {IAC, WILL, 24}, {}, {IAC, DONT, 24}},
        {"WONT and DONT are not answered", {'x', IAC, WONT, 1, IAC, DONT, 1, 'y'}, {'x', 'y'}, {}},
        {"terminal type asked, empty name",
         {IAC, SB, 24, 1, IAC, SE},
         {},
         {IAC, SB, 24, 0, IAC, SE}},
        {"terminal type asked with a name",
         {'a', IAC, SB, 24, 1, IAC, SE, 'b'},
         {'a', 'b'},
         {IAC, SB, 24, 0, 'V', 'T', '1', '0', '0', IAC, SE},
         "VT100"},
        {"terminal type subnegotiation with any code is answered",
         {IAC, SB, 24, 7, 'q', 'q', 'z'},
         {'z'},
         {IAC, SB, 24, 0, 'X', IAC, SE},
         "X"},
        {"other subnegotiations are skipped as six bytes",
         {IAC, SB, 31, 0, 80, 0, 24, 'k'},
         {24, 'k'},
         {}},
        {"repeated requests are answered every time",
         {IAC, DO, 1, IAC, DO, 1, IAC, DO, 1},
         {},
         {IAC, WILL, 1, IAC, WILL, 1, IAC, WILL, 1}},
        {"WILL cut by the block's end is answered for option 0",
         {'a', 'b', IAC, WILL},
         {'a', 'b'},
         {IAC, DONT, 0}},
        {"DO cut by the block's end", {IAC, DO}, {}, {IAC, WONT, 0}},
        {"lone IAC at the end is dropped", {'a', IAC}, {'a'}, {}},
        {"subnegotiation cut by the block's end",
         {'a', IAC, SB, 24},
         {'a'},
         {IAC, SB, 24, 0, IAC, SE}},
        {"doubled IAC is one data byte", {'a', IAC, IAC, 'b'}, {'a', IAC, 'b'}, {}},
        {"other commands are dropped with their IAC",
         {'a', IAC, NOP, 'b', IAC, GA, 'c', IAC, BRK, IAC, SE, 'd'},
         {'a', 'b', 'c', 'd'},
         {}},
        {"a NUL inside a filtered block is data",
         {'a', 0, 'b', IAC, DO, 1, 'c'},
         {'a', 0, 'b', 'c'},
         {IAC, WILL, 1}},
        {"CR NUL followed by negotiation keeps all data",
         {'l', 'o', 'g', 'i', 'n', '\r', 0, IAC, WILL, 3, IAC, DO, 24, ':', ' '},
         {'l', 'o', 'g', 'i', 'n', '\r', 0, ':', ' '},
         {IAC, DO, 3, IAC, WILL, 24}},
        {"a NUL before the first IAC does not hide the sequence",
         {'a', 0, IAC, WILL, 1, 'b'},
         {'a', 0, 'b'},
         {IAC, DO, 1}},
    };
    for (const FilterCase& c : cases) {
        SCOPED_TRACE(c.name);
        set_terminal_type(record, c.terminal_type);
        const std::int32_t count = static_cast<std::int32_t>(c.block.size());
        bool has_iac = false;
        std::memcpy(record.receive_buffer, c.block.data(), c.block.size());
        has_iac = block_has_iac(record, count);
        std::int32_t length = -1;
        Bytes user = filter(c.block, &length);
        EXPECT_EQ(length, static_cast<std::int32_t>(c.user.size()));
        EXPECT_EQ(text(user), text(c.user));
        EXPECT_EQ(record.receive_buffer[length], '\0');
        EXPECT_EQ(text(host_got()), text(c.host));
        bool expect_iac = std::find(c.block.begin(), c.block.end(), IAC) != c.block.end();
        EXPECT_EQ(has_iac, expect_iac);
    }
}

// Blocks are independent: the option byte of a sequence cut by one block's end
// reaches the user as data at the start of the next.
TEST_F(TelnetTest, SequenceCutAcrossBlocksIsNotJoined) {
    std::int32_t length = -1;
    EXPECT_EQ(text(filter({'a', IAC, DO}, &length)), "a");
    EXPECT_EQ(text(host_got()), text({IAC, WONT, 0}));
    EXPECT_EQ(text(filter({1, 'b'}, &length)), text({1, 'b'}));
    EXPECT_EQ(text(host_got()), "");
}

TEST_F(TelnetTest, TerminalTypeAnswerUsesAtMostFifteenCharacters) {
    set_terminal_type(record, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    std::int32_t length = -1;
    filter({IAC, SB, 24, 1, IAC, SE}, &length);
    Bytes expected = {IAC, SB, 24, 0};
    for (char ch : std::string("ABCDEFGHIJKLMNO")) {
        expected.push_back(static_cast<unsigned char>(ch));
    }
    expected.push_back(IAC);
    expected.push_back(SE);
    EXPECT_EQ(text(host_got()), text(expected));
}

// The step both relays take with a host block: count it, filter it when it
// holds 255, write what is left to the user in one write.
TEST_F(TelnetTest, PassHostBlockCountsFiltersAndWritesWhatIsLeft) {
    reset_globals();
    auto user = test::make_user_line();
    ASSERT_TRUE(user.side);
    record.user_handle = std::move(user.side);
    struct Case {
        Bytes block;
        std::string user;
        Bytes host;
    } cases[] = {
        {{'a', 0, 'b'}, std::string("a\0b", 3), {}},
        {{'x', IAC, WILL, 3, 'y'}, "xy", {IAC, DO, 3}},
        {{IAC, DO, 1}, "", {IAC, WILL, 1}},
    };
    std::int32_t counted = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user);
        std::memcpy(record.receive_buffer, c.block.data(), c.block.size());
        record.receive_buffer[c.block.size()] = '\0';
        const auto count = static_cast<std::int32_t>(c.block.size());
        record.received_count.store(count);
        EXPECT_EQ(pass_host_block(record, count), static_cast<std::int32_t>(c.user.size()));
        counted += count;
        EXPECT_EQ(byte_count.load(), counted) << "counted before filtering";
        EXPECT_EQ(test::terminal_read_available(user.terminal.get(), std::chrono::milliseconds(5)),
                  c.user);
        EXPECT_EQ(text(host_got()), text(c.host));
    }
    reset_globals();
}

TEST_F(TelnetTest, BlockHasIacLooksAtTheWholeCount) {
    std::memcpy(record.receive_buffer, "a\0b\xff", 4);
    EXPECT_TRUE(block_has_iac(record, 4));
    EXPECT_FALSE(block_has_iac(record, 3));
    EXPECT_FALSE(block_has_iac(record, 0));
}

}  // namespace
}  // namespace varolan::service
