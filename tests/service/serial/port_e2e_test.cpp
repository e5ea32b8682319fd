// The tarnix program serving a pty as a serial port: the port key written with
// varolan-reg, a user typing on the pty's other side, O to a loopback host,
// relay both ways, escape, Q, and the port reopened each time.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "common/store_layout.h"
#include "common/store_ops.h"
#include "platform/core/clock.h"
#include "platform/registry/registry.h"
#include "platform/scm/scm.h"
#include "tests/support/process.h"
#include "tests/support/serial_pty.h"
#include "tests/support/tcp_host.h"
#include "tests/support/wait_until.h"

namespace varolan::test {
namespace {

namespace fs = std::filesystem;

std::string quoted(const std::string& s) {
    return "'" + s + "'";
}

class PortEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(tarnix_.empty()) << "tarnix not built below " << build_dir();
        ASSERT_FALSE(regtool_.empty()) << "varolan-reg not built below " << build_dir();
        ASSERT_TRUE(pty_.ok());
        ASSERT_TRUE(host_.start());
        // The started service is an orphan of a double fork: reap it here.
        ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        reg::reset_store();
    }
    void TearDown() override {
        test::kill_and_reap(pid_);
        reg::reset_store();
    }

    int run(const fs::path& program, const std::string& args) {
        std::string command = quoted(program.string()) + " " + args + " >" +
                              quoted(dir_.str("out.txt")) + " 2>" + quoted(dir_.str("err.txt")) +
                              " </dev/null";
        int raw = std::system(command.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    int reg_set(const std::string& key, const std::string& value, const std::string& type,
                const std::string& data) {
        return run(regtool_,
                   "set " + quoted(key) + " " + quoted(value) + " " + type + " " + quoted(data));
    }
    std::uint32_t device_flags() {
        reg::reset_store();
        std::uint32_t v = 0xDEAD;
        reg_read_dword(port_key_.c_str(), layout::VALUE_DEVICE_FLAGS, &v);
        return v;
    }
    int service_pid() {
        std::ifstream lock(dir_.str("run/varolan.lock"));
        int pid = 0;
        lock >> pid;
        return pid;
    }

    const fs::path tarnix_ = program_path("tarnix");
    const fs::path regtool_ = program_path("varolan-reg");
    TempDir dir_;
    ScopedEnv store_{"VAROLAN_REGISTRY", dir_.str("registry.db")};
    ScopedEnv runtime_{scm::RUNTIME_DIR_ENV, dir_.str("run")};
    ScopedEnv marker_{scm::SERVICE_MARKER_ENV, std::nullopt};
    ScopedEnv notify_{"NOTIFY_SOCKET", std::nullopt};
    PtyPair pty_;
    TcpHost host_;
    std::string port_key_ = std::string(layout::PRODUCT_KEY) + "\\pty0";
    int pid_ = -1;
};

TEST_F(PortEndToEnd, ServesAPtyFromPromptThroughRelayAndBack) {
    ASSERT_EQ(run(tarnix_, "install"), 0);
    const std::string product = layout::PRODUCT_KEY;
    ASSERT_EQ(reg_set(product, layout::VALUE_NUMBER_OF_PORTS, "REG_DWORD", "1"), 0);
    ASSERT_EQ(
        reg_set(product, layout::VALUE_TELNET_PORT, "REG_DWORD", std::to_string(host_.port())), 0);
    ASSERT_EQ(reg_set(port_key_, layout::VALUE_PORT_NAME, "REG_SZ", pty_.port_path()), 0);
    const struct {
        const char* name;
        const char* value;
    } line[] = {{layout::VALUE_BAUD_RATE, "9600"}, {layout::VALUE_DATA_BITS, "8"},
                {layout::VALUE_STOP_BITS, "0"},    {layout::VALUE_PARITY, "0"},
                {layout::VALUE_FLOW_CONTROL, "0"}, {layout::VALUE_DEVICE_FLAGS, "0"}};
    for (const auto& v : line) {
        ASSERT_EQ(reg_set(port_key_, v.name, "REG_DWORD", v.value), 0) << v.name;
    }

    ASSERT_EQ(run(tarnix_, "start"), 0);
    pid_ = service_pid();
    ASSERT_GT(pid_, 0);

    // The prompt names this machine and the pty's device path.
    ASSERT_TRUE(pty_.read_until(pty_.port_path() + ")\r\nTelnet >")) << pty_.seen();
    EXPECT_EQ(device_flags(), 0u);

    pty_.clear_seen();
    ASSERT_TRUE(pty_.type("O 127.0.0.1\r"));
    ASSERT_TRUE(host_.wait_for_connections(1));
    ASSERT_TRUE(pty_.read_until("Trying... 127.0.0.1\r\n")) << pty_.seen();

    ASSERT_TRUE(pty_.type("echo hi\r"));
    ASSERT_TRUE(host_.wait_for_received(8));
    EXPECT_EQ(host_.received(), "echo hi\r");
    ASSERT_TRUE(host_.send("hi from host\r\n"));
    ASSERT_TRUE(pty_.read_until("hi from host\r\n")) << pty_.seen();
    EXPECT_EQ(device_flags(), 0u);

    // The escape character (0x1D, installed as the default) ends the connection
    // and the port is reopened with a fresh prompt.
    pty_.clear_seen();
    ASSERT_TRUE(pty_.type("\x1d"));
    ASSERT_TRUE(host_.wait_for_peer_close());
    EXPECT_EQ(host_.received(), "echo hi\r");
    ASSERT_TRUE(pty_.read_until("Telnet >")) << pty_.seen();

    // Q closes the port; it is opened again for the next user.
    pty_.clear_seen();
    ASSERT_TRUE(pty_.type("Q\r"));
    ASSERT_TRUE(pty_.read_until("Telnet >")) << pty_.seen();
    EXPECT_EQ(device_flags(), 0u);

    // The status command counts the one connection.
    pty_.clear_seen();
    ASSERT_TRUE(pty_.type("S\r"));
    ASSERT_TRUE(pty_.read_until("There have been 1 connections\r\n")) << pty_.seen();

    ASSERT_EQ(run(tarnix_, "stop"), 0);
    int st = 0;
    ASSERT_TRUE(wait_until([&] { return ::waitpid(pid_, &st, WNOHANG) == pid_; }));
    pid_ = -1;
}

}  // namespace
}  // namespace varolan::test
