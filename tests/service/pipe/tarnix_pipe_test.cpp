// The pipe sessions of the real tarnix program, started through the service
// manager on a temporary store and runtime directory, with a loopback telnet
// host on the configured "Telnet Port"; and tarnix-connect on a pty in front.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/store_layout.h"
#include "platform/net/net.h"
#include "platform/pipe/pipe.h"
#include "platform/registry/registry.h"
#include "platform/scm/scm.h"
#include "tests/service/pipe/pipe_client.h"
#include "tests/support/process.h"
#include "tests/support/tcp_host.h"
#include "tests/support/wait_until.h"

namespace varolan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::PipeClient;
using test::ScopedEnv;
using test::wait_until;

constexpr const char* PIPE = "\\\\.\\PIPE\\Tarnix";
const std::string IAC = "\xff";

class TarnixPipeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(tarnix.empty()) << "tarnix not built below " << test::build_dir();
        // The started service is an orphan of a double fork: reap it here.
        ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        reg::reset_store();
        ASSERT_TRUE(host.start());
        ASSERT_EQ(run_tarnix("install"), 0);
        set_dword(layout::VALUE_TELNET_PORT, host.port());
    }
    void TearDown() override {
        for (auto& c : clients) {
            c.close();
        }
        if (pid > 0) {
            scm::SERVICE_STATUS status;
            scm::control_service(service, scm::SERVICE_CONTROL_STOP, &status);
            int st = 0;
            bool ended = wait_until([&] { return ::waitpid(pid, &st, WNOHANG) == pid; });
            if (!ended) {
                test::kill_and_reap(pid);
            }
            EXPECT_TRUE(ended) << "the service stops with sessions open";
        }
        reg::reset_store();
    }

    int run_tarnix(const std::string& args) {
        std::string command = "'" + tarnix.string() + "' " + args + " >/dev/null 2>&1 </dev/null";
        int raw = std::system(command.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    void set_dword(const char* name, std::uint32_t value) {
        reg::Key key;
        ASSERT_EQ(reg::create_key(reg::hklm(), layout::PRODUCT_KEY, reg::KEY_ALL_ACCESS, key),
                  ERROR_SUCCESS);
        ASSERT_EQ(reg::set_value(key, name, reg::REG_DWORD,
                                 reinterpret_cast<const std::uint8_t*>(&value), sizeof value),
                  ERROR_SUCCESS);
    }
    void set_string(const char* name, const std::string& value) {
        reg::Key key;
        ASSERT_EQ(reg::create_key(reg::hklm(), layout::PRODUCT_KEY, reg::KEY_ALL_ACCESS, key),
                  ERROR_SUCCESS);
        ASSERT_EQ(reg::set_value(key, name, reg::REG_SZ,
                                 reinterpret_cast<const std::uint8_t*>(value.c_str()),
                                 static_cast<DWORD>(value.size() + 1)),
                  ERROR_SUCCESS);
    }
    // Starts the service and waits until its pipe takes clients.
    void start_service() {
        ASSERT_EQ(scm::open_sc_manager(scm::SC_MANAGER_ALL_ACCESS, manager), ERROR_SUCCESS);
        ASSERT_EQ(scm::open_service(manager, "Varolan", scm::SERVICE_ALL_ACCESS, service),
                  ERROR_SUCCESS);
        ASSERT_EQ(scm::start_service(service), ERROR_SUCCESS);
        std::ifstream lock(dir.str("run/varolan.lock"));
        lock >> pid;
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(wait_until([] { return fs::exists(pipe::pipe_socket_path(PIPE)); }));
    }
    PipeClient& connect(std::string* first_prompt = nullptr) {
        return test::connect_client(clients, PIPE, first_prompt);
    }
    void open_host(PipeClient& c, int host_connections_after) {
        ASSERT_TRUE(test::open_test_host(c, host, host_connections_after));
    }
    std::string machine_prompt() const { return test::pipe_default_prompt(); }

    const fs::path tarnix = test::program_path("tarnix");
    test::TempDir dir;
    ScopedEnv store{"VAROLAN_REGISTRY", dir.str("registry.db")};
    ScopedEnv runtime{"VAROLAN_RUNTIME_DIR", dir.str("run")};
    ScopedEnv marker{scm::SERVICE_MARKER_ENV, std::nullopt};
    ScopedEnv notify{"NOTIFY_SOCKET", std::nullopt};
    scm::ScHandle manager;
    scm::ScHandle service;
    int pid = -1;
    test::TcpHost host;
    std::deque<PipeClient> clients;
};

TEST_F(TarnixPipeTest, PromptCommandsRelayNegotiationEscapeAndHostClose) {
    set_string(layout::VALUE_TERMINAL_TYPE, "VT220");
    start_service();
    std::string text;
    PipeClient& c = connect(&text);
    EXPECT_EQ(text, machine_prompt());

    ASSERT_TRUE(c.type("help\r"));
    EXPECT_EQ(c.read_until("Telnet >"),
              "help\r\nCommands\r\n\nO    Open\r\nQ    Quit\r\nS    Status\r\n?    Help\r\n" +
                  machine_prompt());
    ASSERT_TRUE(c.type("S\r"));
    EXPECT_EQ(
        c.read_until("Telnet >"),
        "S\r\nThere have been 1 connections\r\nWith 0 bytes transported\r\n" + machine_prompt());

    // Data both ways, and the host's negotiation answered.
    open_host(c, 1);
    ASSERT_TRUE(c.send("ls -l\r"));
    ASSERT_TRUE(host.wait_for_received(6));
    EXPECT_EQ(host.received(), "ls -l\r");
    ASSERT_TRUE(host.send(IAC + "\xfd\x01" + IAC + "\xfb\x03" + IAC + "\xfd\x18" + IAC +
                          "\xfa\x18\x01" + IAC + "\xf0" + "total 0\r\n"));
    EXPECT_EQ(c.read_until("total 0\r\n"), "total 0\r\n");
    const std::string answers = "ls -l\r" + IAC + "\xfb\x01" + IAC + "\xfd\x03" + IAC + "\xfb\x18" +
                                IAC + "\xfa\x18" + std::string(1, '\0') + "VT220" + IAC + "\xf0";
    EXPECT_TRUE(host.wait_for_received(answers.size()));
    EXPECT_EQ(host.received(), answers);

    // The escape character in the middle of a block: nothing of it goes out.
    ASSERT_TRUE(
        c.send("abc\x1d"
               "def"));
    EXPECT_EQ(c.read_until("Telnet >"), machine_prompt());
    EXPECT_TRUE(host.wait_for_peer_close());
    EXPECT_EQ(host.received(), answers);

    // The host closing: back at the prompt without a message.
    open_host(c, 2);
    ASSERT_TRUE(host.send("bye\r\n"));
    host.close_connection();
    EXPECT_EQ(c.read_until("Telnet >"), "bye\r\n" + machine_prompt());

    // Bytes relayed, counted before filtering: 6 + 7 (the escaped block too) typed,
    // 24 + 5 from the host.
    ASSERT_TRUE(c.type("s\r"));
    EXPECT_EQ(
        c.read_until("Telnet >"),
        "s\r\nThere have been 1 connections\r\nWith 42 bytes transported\r\n" + machine_prompt());

    ASSERT_TRUE(c.type("q\r"));
    EXPECT_TRUE(c.wait_closed());
}

TEST_F(TarnixPipeTest, ConfiguredPromptAndAnEmptyEscapeSet) {
    set_string(layout::VALUE_PROMPT, "Brismoor test gateway");
    set_string(layout::VALUE_ESCAPE_CHAR, "");
    start_service();
    std::string text;
    PipeClient& c = connect(&text);
    EXPECT_EQ(text, "\r\nBrismoor test gateway\r\nTelnet >");
    open_host(c, 1);
    ASSERT_TRUE(c.send("\x1d\x1b\x03"));
    ASSERT_TRUE(host.wait_for_received(3));
    EXPECT_EQ(host.received(), "\x1d\x1b\x03") << "nothing escapes";
    EXPECT_FALSE(host.peer_closed());
    host.close_connection();
    EXPECT_EQ(c.read_until("Telnet >"), "\r\nBrismoor test gateway\r\nTelnet >");
}

TEST_F(TarnixPipeTest, SeveralClientsLongMessagesAndAVanishingClient) {
    start_service();
    constexpr int N = 3;
    PipeClient* c[N];
    for (int i = 0; i < N; ++i) {
        c[i] = &connect();
        open_host(*c[i], i + 1);
    }
    std::string big(9000, 'x');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>('A' + i % 23);
    }
    for (int i = 0; i < N; ++i) {
        ASSERT_TRUE(c[i]->send(std::to_string(i) + big));
    }
    for (int i = 0; i < N; ++i) {
        EXPECT_TRUE(host.wait_for_received(big.size() + 1, i));
        EXPECT_EQ(host.received(i), std::to_string(i) + big) << "arrives whole, in pieces";
        ASSERT_TRUE(host.send("to " + std::to_string(i), i));
        EXPECT_EQ(c[i]->read_until("to " + std::to_string(i)), "to " + std::to_string(i));
    }
    // The middle client goes away mid-relay: its host connection is released,
    // the others go on.
    c[1]->close();
    EXPECT_TRUE(host.wait_for_peer_close(1));
    EXPECT_FALSE(host.peer_closed(0));
    ASSERT_TRUE(c[2]->send("still here"));
    EXPECT_TRUE(host.wait_for_received(big.size() + 1 + 10, 2));
    ASSERT_TRUE(c[0]->type("\x1d"));
    EXPECT_NE(c[0]->read_until("Telnet >").find("Telnet >"), std::string::npos);
    ASSERT_TRUE(c[0]->type("s\r"));
    EXPECT_NE(c[0]->read_until("Telnet >").find("There have been 3 connections"),
              std::string::npos);
}

// A telnet command cut between two of the host's sends is joined with its
// rest: a doubled 255 is one data byte, a request is answered once. A data
// byte 255 from the user goes to the host doubled.
TEST_F(TarnixPipeTest, CommandsCutBetweenHostSendsAndTheUsersByte255) {
    set_string(layout::VALUE_TERMINAL_TYPE, "VT100");
    start_service();
    PipeClient& c = connect();
    open_host(c, 1);
    struct Cut {
        std::string first;  // sent, then read by the user up to `seen`
        std::string seen;
        std::string second;  // the rest, read by the user up to `rest`
        std::string rest;
        std::string answer;  // what the host is answered
    } cuts[] = {
        {"a" + IAC, "a", IAC + "b",
         "\xff"
         "b",
         ""},
        {"c" + IAC, "c",
         "\xfd\x01"
         "d",
         "d", IAC + "\xfb\x01"},
        {"e" + IAC + "\xfb", "e",
         "\x03"
         "f",
         "f", IAC + "\xfd\x03"},
        {"g" + IAC + "\xfa\x18", "g",
         "\x01" + IAC +
             "\xf0"
             "h",
         "h", IAC + "\xfa\x18" + std::string(1, '\0') + "VT100" + IAC + "\xf0"},
        {"i" + IAC + IAC, "i\xff",
         "\xfb\x18"
         "j",
         "\xfb\x18"
         "j",
         ""},
    };
    std::string answers;
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.seen);
        ASSERT_TRUE(host.send(cut.first));
        EXPECT_EQ(c.read_until(cut.seen), cut.seen);
        ASSERT_TRUE(host.send(cut.second));
        EXPECT_EQ(c.read_until(cut.rest), cut.rest);
        answers += cut.answer;
        EXPECT_TRUE(host.wait_for_received(answers.size()));
        EXPECT_EQ(host.received(), answers) << "each request answered once";
    }
    ASSERT_TRUE(c.send("p\xffq"));
    EXPECT_TRUE(host.wait_for_received(answers.size() + 4));
    EXPECT_EQ(host.received().substr(answers.size()), "p\xff\xffq");
}

// tarnix-connect on a pty in front of the real service. A paste far larger
// than every buffer on the way, into a host that echoes it, comes back whole
// and in order while the terminal is read as it is written (every byte but the
// escape character, 255 and NUL included); then the escape gives the prompt.
TEST_F(TarnixPipeTest, TarnixConnectOnATerminal) {
    start_service();
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    std::string program = test::program_path("tarnix-connect").string();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    auto read_until = [&](const std::string& needle) {
        auto end = std::chrono::steady_clock::now() + 10s;
        while (seen.find(needle) == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 100) == 1) {
                char buf[4096];
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0) {
                    seen.append(buf, static_cast<std::size_t>(n));
                }
            }
        }
        std::size_t at = seen.find(needle);
        if (at == std::string::npos) {
            return std::string("<missing ") + needle + "> " + seen;
        }
        std::string out = seen.substr(0, at + needle.size());
        seen.erase(0, at + needle.size());
        return out;
    };
    auto type = [&](const std::string& keys) {
        ASSERT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    };
    EXPECT_EQ(read_until("Telnet >"), machine_prompt());
    host.set_echo(true);
    type("open 127.0.0.1\r");
    EXPECT_EQ(read_until("Trying... 127.0.0.1\r\n"), "open 127.0.0.1\r\nTrying... 127.0.0.1\r\n");
    ASSERT_TRUE(host.wait_for_connections(1));
    std::string paste(200 * 1024, '\0');
    for (std::size_t i = 0; i < paste.size(); ++i) {
        paste[i] = static_cast<char>((i * 131 + i / 256) % 256);
        if (paste[i] == '\x1d') {
            paste[i] = 'e';
        }
    }
    ASSERT_EQ(::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK), 0);
    std::size_t pasted = 0;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (seen.size() < paste.size() && std::chrono::steady_clock::now() < end) {
        pollfd p{master, static_cast<short>(POLLIN | (pasted < paste.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        if ((p.revents & POLLOUT) != 0 && pasted < paste.size()) {
            ssize_t n = write(master, paste.data() + pasted,
                              std::min<std::size_t>(paste.size() - pasted, 1024));
            if (n > 0) {
                pasted += static_cast<std::size_t>(n);
            }
        }
        if ((p.revents & POLLIN) != 0) {
            char buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) {
                seen.append(buf, static_cast<std::size_t>(n));
            }
        }
    }
    ASSERT_EQ(::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) & ~O_NONBLOCK), 0);
    EXPECT_EQ(pasted, paste.size());
    ASSERT_EQ(seen.size(), paste.size()) << "the echo of the whole paste";
    EXPECT_TRUE(seen == paste) << "in order, every byte once";
    seen.clear();
    type("\x1d");
    EXPECT_EQ(read_until("Telnet >"), machine_prompt());
    EXPECT_TRUE(host.wait_for_peer_close());
    type("q\r");
    int status = -1;
    bool ended = wait_until([&] { return waitpid(child, &status, WNOHANG) == child; }, 10s);
    if (!ended) {
        test::kill_and_reap(child);
    }
    ASSERT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "terminal mode restored";
    close(master);
    close(slave);
}

}  // namespace
}  // namespace varolan
