// tarnix-connect against a gateway played by the test: a pipe instance of the
// pipe layer, with the program's terminal a pty (or plain pipes for scripts).
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/pipe/pipe.h"
#include "tests/support/process.h"

namespace varolan {
namespace {

using namespace std::chrono_literals;
constexpr const char* NAME = "\\\\.\\PIPE\\Tarnix";

struct Child {
    pid_t pid = -1;
    int input = -1;   // what the program reads (pty master or pipe write end)
    int output = -1;  // what the program writes (pty master or pipe read end)
};

// Starts tarnix-connect with stdin/stdout/stderr on `in_fd`/`out_fd`.
pid_t spawn(const std::vector<std::string>& args, int in_fd, int out_fd) {
    std::string program = test::program_path("tarnix-connect").string();
    std::vector<char*> argv;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(out_fd, 2);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

// Reads from `fd` until `needle` arrived or `timeout` passed.
std::string read_until(int fd, const std::string& needle, std::chrono::milliseconds timeout = 10s) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (got.find(needle) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

// Waits for the child's end: its wait status, or -1 when it did not end in time.
int wait_child(pid_t pid, std::chrono::milliseconds timeout = 10s) {
    if (pid <= 0) {
        return -1;  // fork failed; waitpid would take any child of ours
    }
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return status;
        }
        usleep(5000);
    }
    test::kill_and_reap(pid);
    return -1;
}

// Reads one message from the gateway's instance (bounded by the test's timeout).
std::string read_message(pipe::NamedPipe& p) {
    pollfd fd{p.poll_fd(), POLLIN, 0};
    if (poll(&fd, 1, 10000) != 1) {
        return "<timeout>";
    }
    char buf[8192];
    DWORD n = 0;
    DWORD status = p.read(buf, sizeof buf, &n);
    if (status != ERROR_SUCCESS) {
        return "<error " + std::to_string(status) + ">";
    }
    return std::string(buf, n);
}

class TarnixConnect : public ::testing::Test {
  protected:
    void SetUp() override {
        pipe::SecurityDescriptor sd;
        pipe::initialize_security_descriptor(&sd, 1);
        pipe::set_security_descriptor_dacl(&sd, true, nullptr, false);
        pipe::SecurityAttributes sa;
        sa.descriptor = &sd;
        ASSERT_EQ(pipe::create_named_pipe(NAME, 3, 6, 255, 4096, 4096, 0, &sa, &gateway),
                  ERROR_SUCCESS);
    }
    void send(const std::string& s) {
        DWORD n = 0;
        ASSERT_EQ(gateway.write(s.data(), static_cast<DWORD>(s.size()), &n), ERROR_SUCCESS);
    }
    // A pty whose slave is the program's terminal; the test keeps the slave open
    // to look at its mode.
    void open_pty() {
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        ASSERT_EQ(tcgetattr(slave, &before), 0);
        ASSERT_TRUE(before.c_lflag & ECHO);
    }
    void expect_mode_restored() {
        termios after{};
        ASSERT_EQ(tcgetattr(slave, &after), 0);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
    }
    void TearDown() override {
        if (master >= 0) {
            close(master);
        }
        if (slave >= 0) {
            close(slave);
        }
    }

    test::TempDir dir;
    test::ScopedEnv env{"VAROLAN_RUNTIME_DIR", dir.str("run")};
    pipe::NamedPipe gateway;
    int master = -1, slave = -1;
    termios before{};
};

TEST_F(TarnixConnect, TerminalSessionSendsEachKeyAsAMessageAndRestoresTheMode) {
    open_pty();
    pid_t pid = spawn({}, slave, slave);  // default path from VAROLAN_RUNTIME_DIR
    ASSERT_EQ(gateway.connect(), ERROR_SUCCESS);
    send("\r\n(gw \\\\.\\PIPE\\Tarnix)\r\nTelnet >");
    EXPECT_NE(read_until(master, "Telnet >").find("(gw \\\\.\\PIPE\\Tarnix)\r\nTelnet >"),
              std::string::npos);
    // Raw mode: typed bytes are neither echoed locally nor translated.
    termios raw{};
    ASSERT_EQ(tcgetattr(slave, &raw), 0);
    EXPECT_FALSE(raw.c_lflag & (ECHO | ICANON | ISIG));
    ASSERT_EQ(write(master, "o h\r\x03\x1d", 6), 6);
    for (std::string expected : {"o", " ", "h", "\r", "\x03", "\x1d"}) {
        EXPECT_EQ(read_message(gateway), expected);
    }
    std::string big(10000, 'b');
    send(big);
    EXPECT_EQ(read_until(master, big).size(), big.size()) << "a long message arrives whole";
    gateway.close();
    int status = wait_child(pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    expect_mode_restored();
}

TEST_F(TarnixConnect, TerminalModeIsRestoredWhenASignalEndsTheProgram) {
    open_pty();
    pid_t pid = spawn({"--pipe", pipe::pipe_socket_path(NAME)}, slave, slave);
    ASSERT_EQ(gateway.connect(), ERROR_SUCCESS);
    send("ready");
    ASSERT_EQ(read_until(master, "ready"), "ready") << "output is read once raw mode is on";
    ASSERT_EQ(write(master, "x", 1), 1);
    EXPECT_EQ(read_message(gateway), "x");
    for (int sig : {SIGTERM}) {
        ASSERT_TRUE(test::signal_process(pid, sig));
        int status = wait_child(pid);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), sig);
    }
    expect_mode_restored();
}

TEST_F(TarnixConnect, ScriptInputIsSentAndOutputShownUntilTheGatewayCloses) {
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_t pid =
        spawn({"--pipe=" + pipe::pipe_socket_path(NAME), "--linger", "60000"}, in[0], out[1]);
    close(in[0]);
    close(out[1]);
    ASSERT_EQ(gateway.connect(), ERROR_SUCCESS);
    ASSERT_EQ(write(in[1], "s\r", 2), 2);
    close(in[1]);  // end of the script's input: the program stays for the answer
    EXPECT_EQ(read_message(gateway), "s");
    EXPECT_EQ(read_message(gateway), "\r");
    send("There have been 1 connections\r\n");
    gateway.close();
    EXPECT_EQ(read_until(out[0], "connections\r\n"), "There have been 1 connections\r\n");
    int status = wait_child(pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(out[0]);
}

TEST_F(TarnixConnect, EndsAfterTheLingerWhenTheGatewayStaysSilent) {
    int in[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = spawn({"--linger", "50"}, in[0], devnull);
    close(in[0]);
    close(devnull);
    ASSERT_EQ(gateway.connect(), ERROR_SUCCESS);
    close(in[1]);
    int status = wait_child(pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    DWORD total = 0;
    EXPECT_EQ(gateway.peek(&total), ERROR_BROKEN_PIPE) << "the client closed its end";
}

TEST_F(TarnixConnect, ReportsAMissingGatewayAndBadArguments) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* text;
    } cases[] = {
        {{"--pipe", dir.str("nothing")}, 1, "no gateway is listening there"},
        {{"--linger", "x"}, 2, "bad --linger value"},
        {{"--bogus"}, 2, "usage: tarnix-connect"},
    };
    for (const Case& c : cases) {
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        pid_t pid = spawn(c.args, devnull, out[1]);
        close(out[1]);
        close(devnull);
        std::string text = read_until(out[0], "\n");
        int status = wait_child(pid);
        close(out[0]);
        ASSERT_TRUE(WIFEXITED(status)) << c.args[0];
        EXPECT_EQ(WEXITSTATUS(status), c.code) << c.args[0];
        EXPECT_NE(text.find(c.text), std::string::npos) << text;
    }
}

}  // namespace
}  // namespace varolan
