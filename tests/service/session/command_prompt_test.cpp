// The command dialogue on a user line: line input, the commands and their
// texts, name resolution order and opening a host connection.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "service/session/globals.h"
#include "service/session/session.h"
#include "service/session/ssh_session.h"
#include "tests/service/session/fake_resolver.h"
#include "tests/support/process.h"
#include "tests/support/session_user_side.h"
#include "tests/support/tcp_host.h"
#include "tests/support/wait_until.h"

namespace varolan::service {
namespace {

using namespace std::string_literals;
using test::terminal_read_available;
using test::terminal_write;

const std::string P = "\r\nTelnet >";  // the prompt used throughout
const std::string HELP = "Commands\r\n\nO    Open\r\nQ    Quit\r\nS    Status\r\n?    Help\r\n";
const std::string INVALID = "Invalid command\r\n";
constexpr std::size_t REG_NAME_BUFFER = 256;  // a string value read from the store

std::string status_text(int connections, int bytes) {
    return "There have been " + std::to_string(connections) + " connections\r\nWith " +
           std::to_string(bytes) + " bytes transported\r\n";
}

class CommandPromptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_globals();
        new_user_line();
        ASSERT_TRUE(host.start());
        telnet_port.store(host.port());
    }
    void TearDown() override {
        end_host_connection(record);
        reset_globals();
    }
    void new_user_line() {
        auto line = test::make_user_line();
        ASSERT_TRUE(line.side);
        record.user_handle = std::move(line.side);
        terminal = std::move(line.terminal);
    }

    // Types `input`, runs the interpreter once and returns what the user saw.
    std::string run(const std::string& input, PromptEnd* result = nullptr) {
        EXPECT_TRUE(terminal_write(terminal.get(), input));
        PromptEnd r = run_command_prompt(record, P.c_str());
        if (result != nullptr) {
            *result = r;
        }
        return terminal_read_available(terminal.get());
    }

    SessionRecord record;
    UniqueFd terminal;
    test::FakeResolver resolver;
    test::TcpHost host;
};

// Dialogues that end without a connection: each ends with Q, a NUL or a lost line.
TEST_F(CommandPromptTest, CommandsAndLineEditing) {
    struct Case {
        const char* name;
        std::string input;
        std::string output;
        bool close_line = false;  // the user's end hangs up after the input
    };
    connection_count.store(3);
    byte_count.store(-7);  // a wrapped counter still prints as a signed number
    const std::string S = status_text(3, -7);
    const std::string forty(39, 'x');
    const std::vector<Case> cases = {
        {"help by ?", "?\rq\r", P + "?\r\n" + HELP + P + "q\r\n"},
        {"help by lower-case h", "h\rq\r", P + "h\r\n" + HELP + P + "q\r\n"},
        {"whole word help", "help me\rq\r", P + "help me\r\n" + HELP + P + "q\r\n"},
        {"status and quit as words", "status\rquit\r", P + "status\r\n" + S + P + "quit\r\n"},
        {"leading space", " s\rq\r", P + " s\r\n" + INVALID + P + "q\r\n"},
        {"digit", "1\rq\r", P + "1\r\n" + INVALID + P + "q\r\n"},
        {"other letter", "x\rq\r", P + "x\r\n" + INVALID + P + "q\r\n"},
        {"byte above 127", "\xe9\rq\r", P + "\xe9\r\n" + INVALID + P + "q\r\n"},
        {"DEL is a character", "\x7f\rq\r", P + "\x7f\r\n" + INVALID + P + "q\r\n"},
        {"empty line gives only a prompt", "\rq\r", P + "\r\n" + P + "q\r\n"},
        {"CR LF shows the prompt twice", "s\r\nq\r", P + "s\r\n" + S + P + "\r\n" + P + "q\r\n"},
        {"LF alone ends a line", "s\nq\n", P + "s\r\n" + S + P + "q\r\n"},
        {"backspace on empty line writes nothing", "\bs\rq\r", P + "s\r\n" + S + P + "q\r\n"},
        {"backspace removes the last character", "sx\b\rq\r", P + "sx\b \b\r\n" + S + P + "q\r\n"},
        {"backspaces never count towards the limit", "xs\b\b\b\bs\rq\r",
         P + "xs\b \b\b \bs\r\n" + S + P + "q\r\n"},
        {"40 characters are a line without end-of-line echo", "s" + forty + "q\r",
         P + "s" + forty + S + P + "q\r\n"},
        {"Q ends silently", "q\r", P + "q\r\n"},
        {"NUL at the prompt ends the session", "\0"s, P},
        {"NUL inside a line ends the session", "st\0s\r"s, P + "st"},
        {"lost line ends the session", "st", P + "st", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        new_user_line();
        ASSERT_TRUE(terminal_write(terminal.get(), c.input));
        if (c.close_line) {
            test::terminal_stop_sending(terminal.get());
        }
        EXPECT_EQ(run_command_prompt(record, P.c_str()), PromptEnd::user_gone);
        EXPECT_EQ(record.user_handle, nullptr) << "the user side is closed and set to null";
        EXPECT_EQ(test::terminal_read_to_end(terminal.get()), c.output);
    }
    EXPECT_TRUE(resolver.calls.empty());
    EXPECT_EQ(host.connections(), 0);
}

// A read that succeeds without a byte (a zero-length message) adds nothing to the line.
TEST_F(CommandPromptTest, ZeroLengthReadAddsNoByte) {
    class ScriptedSide final : public UserSide {
      public:
        explicit ScriptedSide(std::vector<std::string> reads) : reads_(std::move(reads)) {}
        bool read(void* buffer, std::uint32_t size, std::uint32_t* got) override {
            if (next_ >= reads_.size() || size == 0) {
                return false;
            }
            const std::string& r = reads_[next_++];
            std::memcpy(buffer, r.data(), r.size());
            *got = static_cast<std::uint32_t>(r.size());
            return true;
        }
        bool write(const void* data, std::uint32_t size) override {
            written.append(static_cast<const char*>(data), size);
            return true;
        }
        void close() override {}
        std::string written;

      private:
        std::vector<std::string> reads_;
        std::size_t next_ = 0;
    };
    ScriptedSide side({"a", "", "b", "", "\r"});
    char line[LINE_SIZE];
    EXPECT_EQ(read_line(&side, LINE_LIMIT, ">", line), 2);
    EXPECT_STREQ(line, "ab");
    EXPECT_EQ(side.written, ">ab\r\n");
}

// The line input bound holds for any limit, and a full line gets no end-of-line echo.
TEST_F(CommandPromptTest, LineLimitIsNeverOverrun) {
    ASSERT_TRUE(terminal_write(terminal.get(), std::string(100, 'z')));
    char line[8 + 1];
    std::memset(line, 0x55, sizeof line);
    EXPECT_EQ(read_line(record.user_handle.get(), 8, "", line), 8);
    EXPECT_EQ(std::string(line), std::string(8, 'z'));
    EXPECT_EQ(terminal_read_available(terminal.get()), std::string(8, 'z'));
}

// SSH is a command only when the service offers it; otherwise an SSH line is
// the status command, as every line starting with S, and the help is as ever.
TEST_F(CommandPromptTest, SshOnlyWhenOffered) {
    EXPECT_EQ(run("ssh host\r?\rq\r"),
              P + "ssh host\r\n" + status_text(0, 0) + P + "?\r\n" + HELP + P + "q\r\n");
    new_user_line();
    test::TempDir dir;
    configure_ssh(true, dir.str("registry.db").c_str());
    EXPECT_EQ(run("?\rsshx\rs\rq\r"),
              P +
                  "?\r\nCommands\r\n\nO    Open\r\nSSH  Secure shell\r\nQ    Quit\r\nS    "
                  "Status\r\n?    Help\r\n" +
                  P + "sshx\r\n" + status_text(0, 0) + P + "s\r\n" + status_text(0, 0) + P +
                  "q\r\n");
    new_user_line();
    PromptEnd end = PromptEnd::connected;
    EXPECT_EQ(run("SSH\r", &end), P + "SSH\r\n" + INVALID);
    EXPECT_EQ(end, PromptEnd::no_connection);
    EXPECT_EQ(run("ssh host 0\r", &end), P + "ssh host 0\r\n" + INVALID);
    EXPECT_TRUE(resolver.calls.empty());
    configure_ssh(false, "");
}

TEST_F(CommandPromptTest, LoneOTriesHostNamedOAndReportsLowerCase) {
    PromptEnd r = PromptEnd::connected;
    std::string out = run("o\r", &r);
    EXPECT_EQ(r, PromptEnd::no_connection);
    EXPECT_NE(record.user_handle, nullptr) << "the session stays at the prompt";
    EXPECT_EQ(out, P + "o\r\no: Unknown Host\r\n");
    EXPECT_EQ(resolver.calls, (std::vector<std::string>{"forward O", "forward o"}));
}

TEST_F(CommandPromptTest, OpenConnectsWithTheNameInUpperCase) {
    resolver.names["ALPHA"] = "127.0.0.1";
    for (const char* typed : {"o alpha\r", "open alpha\r", "OPEN   alpha\r"}) {
        SCOPED_TRACE(typed);
        PromptEnd r = PromptEnd::connected;
        std::string out = run(typed, &r);
        ASSERT_EQ(r, PromptEnd::connected);
        EXPECT_EQ(out, P + typed + "\n" + "Trying... ALPHA\r\n");
        EXPECT_TRUE(record.reader_thread.joinable());
        end_host_connection(record);
    }
    EXPECT_TRUE(host.wait_for_connections(3));
    EXPECT_EQ(resolver.calls.front(), "forward ALPHA");
}

TEST_F(CommandPromptTest, LowerCaseRetryShowsTheLowerCaseName) {
    resolver.names["beta"] = "127.0.0.1";
    PromptEnd r = PromptEnd::connected;
    std::string out = run("o Beta\r", &r);
    ASSERT_EQ(r, PromptEnd::connected);
    EXPECT_EQ(out, P + "o Beta\r\nTrying... beta\r\n");
    EXPECT_EQ(resolver.calls, (std::vector<std::string>{"forward BETA", "forward beta"}));
}

TEST_F(CommandPromptTest, DottedAddressResolution) {
    // Reverse lookup finds nothing: the text goes on to the forward lookup.
    PromptEnd r = PromptEnd::connected;
    std::string out = run("o 127.0.0.1\r", &r);
    ASSERT_EQ(r, PromptEnd::connected);
    EXPECT_EQ(out, P + "o 127.0.0.1\r\nTrying... 127.0.0.1\r\n");
    EXPECT_EQ(resolver.calls, (std::vector<std::string>{"reverse 127.0.0.1", "forward 127.0.0.1"}));
    end_host_connection(record);

    // Reverse lookup succeeds: the address is used as it is.
    resolver.calls.clear();
    resolver.reverse_known.insert("127.0.0.1");
    ASSERT_EQ(connect_host(record, std::string("127.0.0.1").data()), 1);
    EXPECT_EQ(resolver.calls, (std::vector<std::string>{"reverse 127.0.0.1"}));
    EXPECT_TRUE(host.wait_for_connections(2));
}

TEST_F(CommandPromptTest, OpenWithPortWord) {
    telnet_port.store(1);  // the default must not be used
    resolver.names["GAMMA"] = "127.0.0.1";
    PromptEnd r = PromptEnd::connected;
    std::string typed = "o gamma " + std::to_string(host.port()) + "\r";
    std::string out = run(typed, &r);
    ASSERT_EQ(r, PromptEnd::connected);
    EXPECT_EQ(out, P + typed + "\nTrying... GAMMA\r\n");
    EXPECT_TRUE(host.wait_for_connections(1));
    end_host_connection(record);

    for (const char* bad : {"0", "65536", "99999999999", "23x", "-5"}) {
        SCOPED_TRACE(bad);
        resolver.calls.clear();
        std::string line = std::string("o gamma ") + bad + "\r";
        out = run(line + "q\r", &r);
        EXPECT_EQ(r, PromptEnd::user_gone);
        EXPECT_EQ(out, P + line + "\n" + INVALID + P + "q\r\n");
        EXPECT_TRUE(resolver.calls.empty());
        new_user_line();
    }
}

// IPv6 literals, bracketed or not, a name with only an IPv6 address, and a
// name whose addresses are tried in turn (IPv4 first) until one accepts.
TEST_F(CommandPromptTest, Ipv6AndEveryAddressOfAName) {
    test::TcpHost host6;
    if (!host6.start(0, true)) {
        GTEST_SKIP() << "no IPv6 loopback";
    }
    const std::string port = std::to_string(host6.port());
    resolver.names["SIX"] = "::1";
    resolver.names["BOTH"] = "127.0.0.1 ::1";  // nothing listens on 127.0.0.1 at that port
    const std::pair<std::string, std::string> cases[] = {
        {"o ::1 " + port, "::1"},
        {"o [::1] " + port, "[::1]"},
        {"o six " + port, "SIX"},
        {"o both " + port, "BOTH"},
    };
    int connections = 0;
    for (const auto& [typed, shown] : cases) {
        SCOPED_TRACE(typed);
        PromptEnd r = PromptEnd::user_gone;
        std::string out = run(typed + "\r", &r);
        ASSERT_EQ(r, PromptEnd::connected);
        EXPECT_EQ(out, P + typed + "\r\nTrying... " + shown + "\r\n");
        EXPECT_TRUE(host6.wait_for_connections(++connections));
        end_host_connection(record);
    }
}

TEST_F(CommandPromptTest, RefusedConnectionStaysAtThePrompt) {
    resolver.names["DELTA"] = "127.0.0.1";
    // A port nobody listens on: the host's listener is closed after taking its port.
    std::uint16_t closed_port = 0;
    {
        test::TcpHost gone;
        ASSERT_TRUE(gone.start());
        closed_port = gone.port();
    }
    telnet_port.store(closed_port);
    PromptEnd r = PromptEnd::connected;
    std::string out = run("o delta\r", &r);
    EXPECT_EQ(r, PromptEnd::no_connection);
    EXPECT_NE(record.user_handle, nullptr);
    EXPECT_EQ(out, P + "o delta\r\nTrying... DELTA\r\nConnect Failed.\r\n");
    EXPECT_FALSE(record.host_socket.valid());
    EXPECT_FALSE(record.reader_thread.joinable());
}

TEST_F(CommandPromptTest, ConnectHostClearsAnUnknownName) {
    char name[LINE_SIZE] = "NoSuchHost";
    EXPECT_EQ(connect_host(record, name), 0);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(terminal_read_available(terminal.get()), "nosuchhost: Unknown Host\r\n");

    // A name as long as the store holds (255 characters) keeps its whole
    // message, line end included, resolved or not.
    std::string long_name(255, 'z');
    char unknown[REG_NAME_BUFFER] = {};
    std::memcpy(unknown, long_name.c_str(), long_name.size());
    EXPECT_EQ(connect_host(record, unknown), 0);
    EXPECT_EQ(terminal_read_available(terminal.get()), long_name + ": Unknown Host\r\n");
    long_name[0] = 'y';
    resolver.names[long_name] = "127.0.0.1";
    char known_long[REG_NAME_BUFFER] = {};
    std::memcpy(known_long, long_name.c_str(), long_name.size());
    EXPECT_EQ(connect_host(record, known_long), 1);
    EXPECT_EQ(terminal_read_available(terminal.get()), "Trying... " + long_name + "\r\n");
    EXPECT_TRUE(host.wait_for_connections(1));
    end_host_connection(record);

    // Without a user side (automatic connections) nothing is written anywhere.
    resolver.names["EPSILON"] = "127.0.0.1";
    record.user_handle.reset();
    char known[LINE_SIZE] = "EPSILON";
    EXPECT_EQ(connect_host(record, known), 1);
    EXPECT_TRUE(host.wait_for_connections(2));
}

TEST(EscapeTest, AnyByteOfTheBlockMayBeAnEscapeCharacter) {
    reset_globals();
    struct Case {
        const char* set;
        std::string block;
        bool escape;
    } cases[] = {
        {"\x1d", "abc", false},
        {"\x1d", "\x1d", true},
        {"\x1d", std::string("a\0\0\x1d", 4), true},  // NUL bytes do not end the block
        {"\x1d\x01", "xyz\x01", true},
        {"", std::string("\x1d\0q", 3), false},  // an empty set never matches
        {"abcdefghijk", "k", true},              // the eleventh character counts
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.set);
        bounded_copy(escape_set, ESCAPE_SET_SIZE, c.set);
        EXPECT_EQ(block_has_escape(c.block.data(), c.block.size()), c.escape) << c.block;
        if (!c.block.empty()) {
            EXPECT_FALSE(block_has_escape(c.block.data(), 0));
        }
    }
    reset_globals();
}

// While the service is paused a session does not get to its prompt.
TEST_F(CommandPromptTest, PausedGateHoldsTheInterpreter) {
    gate_hold();
    std::atomic<PromptEnd> result{PromptEnd::connected};
    std::thread session([&] { result = run_command_prompt(record, P.c_str()); });
    EXPECT_TRUE(test::wait_until([] { return gate_waiters() == 1; }))
        << "the interpreter never reached the gate";
    EXPECT_EQ(terminal_read_available(terminal.get(), std::chrono::milliseconds(100)), "");
    gate_release();
    EXPECT_EQ(test::terminal_read_until(terminal.get(), P), P);
    ASSERT_TRUE(terminal_write(terminal.get(), "q\r"));
    session.join();
    EXPECT_EQ(result.load(), PromptEnd::user_gone);
}

TEST(SessionPromptTest, BothFormsAndCutting) {
    reset_globals();
    char out[PROMPT_SIZE];
    std::memset(out, 0x55, sizeof out);
    format_session_prompt(out, "\\\\.\\PIPE\\Tarnix");
    char host[64];
    local_host_name(host, sizeof host);
    EXPECT_EQ(std::string(out), "\r\n(" + std::string(host) + " \\\\.\\PIPE\\Tarnix)\r\nTelnet >");

    std::strcpy(global_prompt, "Welcome to the lab");
    format_session_prompt(out, "ignored");
    EXPECT_EQ(std::string(out), "\r\nWelcome to the lab\r\nTelnet >");

    // A text that does not fit is cut; the prompt still ends "\r\nTelnet >".
    std::memset(global_prompt, 'p', PROMPT_SIZE - 1);
    global_prompt[PROMPT_SIZE - 1] = '\0';
    format_session_prompt(out, "");
    std::string cut(out);
    EXPECT_EQ(cut.size(), PROMPT_SIZE - 1);
    EXPECT_EQ(cut.substr(cut.size() - 10), "\r\nTelnet >");
    reset_globals();
    format_session_prompt(out, std::string(600, 'd').c_str());
    EXPECT_LE(std::strlen(out), PROMPT_SIZE - 1);
    EXPECT_EQ(std::string(out).substr(std::strlen(out) - 10), "\r\nTelnet >");
}

TEST(TerminalTypeTest, LongNamesAreCutToFifteen) {
    SessionRecord record;
    set_terminal_type(record, "VT100");
    EXPECT_STREQ(record.terminal_type, "VT100");
    set_terminal_type(record, "a-terminal-type-much-too-long");
    EXPECT_STREQ(record.terminal_type, "a-terminal-type");
}

}  // namespace
}  // namespace varolan::service
