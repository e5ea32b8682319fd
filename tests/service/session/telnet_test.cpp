// Telnet handling of host data: what the user gets and what the host is
// answered, for whole blocks and for every way a block boundary can cut a
// command. The core needs no socket; one test drives the session's step that
// puts the answers on the host connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "service/session/relay.h"
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

// The stream fed to one filter in pieces that end at `cuts` (ascending).
struct Filtered {
    Bytes user;
    Bytes host;
};
Filtered feed(const Bytes& stream, const std::vector<std::size_t>& cuts,
              const char* terminal_type = "") {
    TelnetState state;
    Filtered got;
    std::size_t start = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(stream.size());
    for (std::size_t end : ends) {
        Bytes piece(stream.begin() + static_cast<std::ptrdiff_t>(start),
                    stream.begin() + static_cast<std::ptrdiff_t>(end));
        unsigned char answer_bytes[512];
        TelnetAnswers answers{answer_bytes, sizeof answer_bytes, 0};
        std::size_t n = filter_telnet(state, terminal_type, piece.data(), piece.size(), answers);
        EXPECT_LE(answers.length, telnet_answer_bound(piece.size()));
        got.user.insert(got.user.end(), piece.begin(),
                        piece.begin() + static_cast<std::ptrdiff_t>(n));
        got.host.insert(got.host.end(), answer_bytes, answer_bytes + answers.length);
        start = end;
    }
    return got;
}

struct FilterCase {
    const char* name;
    Bytes stream;
    Bytes user;  // data bytes left for the user
    Bytes host;  // answers to the host, in order
    const char* terminal_type = "";
};

// Each stream is fed whole, cut once at every position, and one byte at a
// time: the user and the host always get the same.
TEST(TelnetCoreTest, EveryCutGivesWhatTheWholeStreamGives) {
    const std::vector<FilterCase> cases = {
        {"plain data passes", {'a', 'b', 'c'}, {'a', 'b', 'c'}, {}},
        {"only sequences leave nothing",
         {IAC, WILL, 1, IAC, DO, 24},
         {},
         {IAC, DO, 1, IAC, WILL, 24}},
        {"data keeps its order", {'A', IAC, WILL, 1, 'B'}, {'A', 'B'}, {IAC, DO, 1}},
        {"DO ECHO", {'a', IAC, DO, 1, 'b'}, {'a', 'b'}, {IAC, WILL, 1}},
        {"DO TERMINAL-TYPE", {'a', IAC, DO, 24, 'b'}, {'a', 'b'}, {IAC, WILL, 24}},
        {"DO other is refused", {'a', IAC, DO, 31, 'b'}, {'a', 'b'}, {IAC, WONT, 31}},
        {"DO SUPPRESS-GO-AHEAD is refused", {IAC, DO, 3}, {}, {IAC, WONT, 3}},
        {"WILL ECHO", {'a', IAC, WILL, 1, 'b'}, {'a', 'b'}, {IAC, DO, 1}},
        {"WILL SUPPRESS-GO-AHEAD", {'a', IAC, WILL, 3, 'b'}, {'a', 'b'}, {IAC, DO, 3}},
        {"WILL other is refused", {'a', IAC, WILL, 24, 'b'}, {'a', 'b'}, {IAC, DONT, 24}},
        {"an option byte 255 is an option", {IAC, DO, IAC, 'b'}, {'b'}, {IAC, WONT, IAC}},
        {"WONT is not answered", {'x', IAC, WONT, 1, 'y'}, {'x', 'y'}, {}},
        {"DONT is not answered", {'x', IAC, DONT, 1, 'y'}, {'x', 'y'}, {}},
        {"terminal type asked, empty name",
         {'a', IAC, SB, 24, 1, IAC, SE, 'b'},
         {'a', 'b'},
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
        {"doubled IAC is one data byte", {'a', IAC, IAC, 'b'}, {'a', IAC, 'b'}, {}},
        {"a doubled IAC before a command byte is data followed by data",
         {'a', IAC, IAC, WILL, 24, 'b'},
         {'a', IAC, WILL, 24, 'b'},
         {}},
        {"three IACs and a DO", {IAC, IAC, IAC, DO, 1}, {IAC}, {IAC, WILL, 1}},
        {"other commands are dropped with their IAC",
         {'a', IAC, NOP, 'b', IAC, GA, 'c', IAC, BRK, IAC, SE, 'd'},
         {'a', 'b', 'c', 'd'},
         {}},
        {"a NUL is data, around sequences too",
         {'a', 0, 'b', IAC, DO, 1, 'c', 0},
         {'a', 0, 'b', 'c', 0},
         {IAC, WILL, 1}},
        {"CR NUL followed by negotiation keeps all data",
         {'l', 'o', 'g', 'i', 'n', '\r', 0, IAC, WILL, 3, IAC, DO, 24, ':', ' '},
         {'l', 'o', 'g', 'i', 'n', '\r', 0, ':', ' '},
         {IAC, DO, 3, IAC, WILL, 24}},
    };
    for (const FilterCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Filtered whole = feed(c.stream, {}, c.terminal_type);
        EXPECT_EQ(text(whole.user), text(c.user));
        EXPECT_EQ(text(whole.host), text(c.host));
        for (std::size_t cut = 0; cut <= c.stream.size(); ++cut) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            const Filtered split = feed(c.stream, {cut}, c.terminal_type);
            EXPECT_EQ(text(split.user), text(c.user));
            EXPECT_EQ(text(split.host), text(c.host));
        }
        std::vector<std::size_t> every;
        for (std::size_t cut = 1; cut < c.stream.size(); ++cut) {
            every.push_back(cut);
        }
        const Filtered bytewise = feed(c.stream, every, c.terminal_type);
        EXPECT_EQ(text(bytewise.user), text(c.user)) << "one byte at a time";
        EXPECT_EQ(text(bytewise.host), text(c.host)) << "one byte at a time";
    }
}

// The state carried between blocks is the open command and nothing else: an
// unfinished command at the end of the stream answers nothing and shows
// nothing, and once it is complete the state is empty again.
TEST(TelnetCoreTest, CarriedStateIsTheOpenCommandOnly) {
    TelnetState state;
    unsigned char answer_bytes[64];
    TelnetAnswers answers{answer_bytes, sizeof answer_bytes, 0};
    Bytes first = {'a', IAC, SB, 24, 1};
    EXPECT_EQ(filter_telnet(state, "T", first.data(), first.size(), answers), 1u);
    EXPECT_EQ(state.length, 4);
    EXPECT_EQ(answers.length, 7u) << "answered as soon as the option is known";
    Bytes rest = {IAC, SE, 'b'};
    EXPECT_EQ(filter_telnet(state, "T", rest.data(), rest.size(), answers), 1u);
    EXPECT_EQ(rest[0], 'b');
    EXPECT_EQ(state.length, 0);
    EXPECT_EQ(answers.length, 7u) << "answered once";
}

TEST(TelnetCoreTest, AnswersNeverPassTheirBuffer) {
    TelnetState state;
    Bytes stream;
    for (int i = 0; i < 10; ++i) {
        stream.insert(stream.end(), {IAC, DO, 1});
    }
    unsigned char answer_bytes[16];
    std::memset(answer_bytes, 0x55, sizeof answer_bytes);
    TelnetAnswers answers{answer_bytes, 10, 0};
    EXPECT_EQ(filter_telnet(state, "", stream.data(), stream.size(), answers), 0u);
    EXPECT_EQ(answers.length, 9u) << "whole answers only";
    EXPECT_EQ(answer_bytes[10], 0x55);
}

TEST(TelnetCoreTest, TerminalTypeAnswerUsesAtMostFifteenCharacters) {
    const Filtered got = feed({IAC, SB, 24, 1, IAC, SE}, {}, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    Bytes expected = {IAC, SB, 24, 0};
    for (char ch : std::string("ABCDEFGHIJKLMNO")) {
        expected.push_back(static_cast<unsigned char>(ch));
    }
    expected.push_back(IAC);
    expected.push_back(SE);
    EXPECT_EQ(text(got.host), text(expected));
}

TEST(TelnetCoreTest, UserDataByte255IsDoubled) {
    const Bytes data = {'a', IAC, 'b', IAC, IAC, 0};
    unsigned char out[2 * 6];
    const std::size_t n = double_iac(data.data(), data.size(), out);
    EXPECT_EQ(text(Bytes(out, out + n)), text({'a', IAC, IAC, 'b', IAC, IAC, IAC, IAC, 0}));
}

// The step both relays take with a host block: count it, filter it (joined
// with what the block before left open), queue the answers for the host, write
// what is left to the user in one write, and drain the block.
TEST(TelnetSessionTest, DeliverHostBlockCountsFiltersAnswersWritesAndDrains) {
    reset_globals();
    auto host = test::make_user_line();
    auto user = test::make_user_line();
    ASSERT_TRUE(host.side);
    ASSERT_TRUE(user.side);
    SessionRecord record;
    record.host_socket.adopt(UniqueFd(::dup(host.side->poll_fd())));
    host.side->close();
    record.user_handle = std::move(user.side);
    set_terminal_type(record, "VT100");
    struct Case {
        Bytes block;
        std::string user;
        Bytes host;
    } cases[] = {
        {{'a', 0, 'b'}, std::string("a\0b", 3), {}},
        {{'x', IAC, WILL, 3, 'y'}, "xy", {IAC, DO, 3}},
        {{'p', IAC}, "p", {}},
        {{DO, 1, 'q', IAC, SB}, "q", {IAC, WILL, 1}},
        {{24, 1, IAC, SE}, "", {IAC, SB, 24, 0, 'V', 'T', '1', '0', '0', IAC, SE}},
    };
    std::int32_t counted = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user);
        std::memcpy(record.receive_buffer, c.block.data(), c.block.size());
        const auto count = static_cast<std::int32_t>(c.block.size());
        record.received_count.store(count);
        std::uint32_t written = 99;
        EXPECT_EQ(deliver_host_block(record, &written), HostBlock::delivered);
        EXPECT_EQ(written, c.user.size());
        EXPECT_EQ(host_block_count(record), 0) << "drained";
        counted += count;
        EXPECT_EQ(byte_count.load(), counted) << "counted before filtering";
        EXPECT_EQ(host_output_waiting(record), !c.host.empty());
        EXPECT_TRUE(send_to_host(record));
        EXPECT_FALSE(host_output_waiting(record));
        EXPECT_EQ(test::terminal_read_available(user.terminal.get(), std::chrono::milliseconds(5)),
                  c.user);
        EXPECT_EQ(test::terminal_read_available(host.terminal.get(), std::chrono::milliseconds(5)),
                  text(c.host));
    }
    std::uint32_t written = 0;
    EXPECT_EQ(deliver_host_block(record, &written), HostBlock::none);
    reset_globals();
}

}  // namespace
}  // namespace varolan::service
