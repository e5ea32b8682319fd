// maintain on a real terminal: runs the program inside a private tmux server on
// a temporary store with two pseudo-terminals as its serial ports, drives it
// with keys and reads the screen with capture-pane.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "common/store_layout.h"
#include "platform/core/clock.h"
#include "platform/registry/registry.h"
#include "tests/support/process.h"
#include "tests/support/serial_pty.h"

namespace varolan::util::test {
namespace {

using namespace varolan::layout;
using ::varolan::test::PtyPair;
using ::varolan::test::TempDir;

const std::string kProduct = PRODUCT_KEY_UTILITY;

// Output of a shell command.
std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) {
            out.append(buffer, n);
        }
        ::pclose(p);
    }
    return out;
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

class MaintainTmux : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::system("command -v tmux >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "tmux is not installed";
        }
        ASSERT_TRUE(a_.ok() && b_.ok());
        {
            ::varolan::test::ScopedEnv store("VAROLAN_REGISTRY", store_);
            reg::reset_store();
            reg::Key product;
            ASSERT_EQ(reg::create_key(reg::hklm(), PRODUCT_KEY, reg::KEY_ALL_ACCESS, product),
                      ERROR_SUCCESS);
            const std::string escape = "\x1d";
            ASSERT_EQ(reg::set_value(product, VALUE_ESCAPE_CHAR, reg::REG_SZ,
                                     reinterpret_cast<const std::uint8_t*>(escape.c_str()), 2),
                      ERROR_SUCCESS);
            for (const char* name : {VALUE_TERMINAL_TYPE, VALUE_PROMPT}) {
                ASSERT_EQ(reg::set_value(product, name, reg::REG_SZ,
                                         reinterpret_cast<const std::uint8_t*>(""), 1),
                          ERROR_SUCCESS);
            }
            product.close();
            reg::reset_store();
        }
        std::ofstream(dir_.str("devicemap"))
            << "PtyA=" << a_.slave_name() << "\nPtyB=" << b_.slave_name() << "\n";
    }
    void TearDown() override {
        Shell("tmux -S " + Quote(socket_) + " kill-server 2>/dev/null");
        reg::reset_store();
    }

    std::string Tmux(const std::string& args) {
        return Shell("tmux -S " + Quote(socket_) + " " + args + " 2>&1");
    }
    void Start() {
        std::remove(exit_file_.c_str());
        const std::string command = "env VAROLAN_REGISTRY=" + Quote(store_) +
                                    " VAROLAN_DEVICEMAP=" + Quote(dir_.str("devicemap")) +
                                    " VAROLAN_RUNTIME_DIR=" + Quote(dir_.str("run")) + " " +
                                    Quote(::varolan::test::program_path("maintain").string()) +
                                    "; echo $? > " + Quote(exit_file_) + "; sleep 30";
        Tmux("new-session -d -s vl -x 100 -y 40 " + Quote(command));
    }
    std::string Screen() { return Tmux("capture-pane -p -t vl"); }
    // Waits until the screen shows `text`; generous bound, no timing assumed.
    bool WaitFor(const std::string& text, std::uint64_t timeout_ms = 20000) {
        const std::uint64_t end = now_ms() + timeout_ms;
        while (now_ms() < end) {
            if (Screen().find(text) != std::string::npos) {
                return true;
            }
            sleep_ms(50);
        }
        return false;
    }
    // Waits until the screen no longer shows `text`.
    bool WaitForGone(const std::string& text, std::uint64_t timeout_ms = 20000) {
        const std::uint64_t end = now_ms() + timeout_ms;
        while (now_ms() < end) {
            if (Screen().find(text) == std::string::npos) {
                return true;
            }
            sleep_ms(50);
        }
        return false;
    }
    // Sends keys. An Esc is given time to be taken alone before anything
    // follows it, as a terminal would otherwise read Esc and the next key as
    // one Alt combination: callers wait for each Esc's effect on the screen.
    void Keys(const std::string& keys) { Tmux("send-keys -t vl " + keys); }
    // The exit status of the program once it has ended.
    std::optional<int> WaitForExit(std::uint64_t timeout_ms = 20000) {
        const std::uint64_t end = now_ms() + timeout_ms;
        while (now_ms() < end) {
            std::ifstream in(exit_file_);
            int code = 0;
            if (in >> code) {
                Tmux("kill-session -t vl");
                return code;
            }
            sleep_ms(50);
        }
        return std::nullopt;
    }
    std::string Export() {
        return Shell("env VAROLAN_REGISTRY=" + Quote(store_) + " " +
                     Quote(::varolan::test::program_path("varolan-reg").string()) +
                     " export 'HKLM\\SOFTWARE\\Brismoor'");
    }
    std::optional<std::uint32_t> Dword(const std::string& port, const char* name) {
        ::varolan::test::ScopedEnv store("VAROLAN_REGISTRY", store_);
        reg::reset_store();
        reg::Key key;
        std::optional<std::uint32_t> result;
        if (reg::open_key(reg::hklm(), kProduct + "\\" + port, reg::KEY_READ, key) ==
            ERROR_SUCCESS) {
            std::uint32_t v = 0;
            DWORD size = 4;
            if (reg::query_value(key, name, nullptr, reinterpret_cast<std::uint8_t*>(&v), &size) ==
                ERROR_SUCCESS) {
                result = v;
            }
        }
        key.close();
        reg::reset_store();
        return result;
    }

    // Selects the first port row, opens Setup, moves the baud rate one entry
    // down and leaves the local port dialog with `leave` (Enter or Escape).
    void ChangeFirstPortBaud(const std::string& leave) {
        ASSERT_TRUE(WaitFor("Local Port Configuration")) << Screen();
        Keys("M-l");    // the port list
        Keys("Space");  // select the first row
        Keys("M-s");    // Setup...
        ASSERT_TRUE(WaitFor("Change Local Port Configuration")) << Screen();
        ASSERT_TRUE(WaitFor("Setting Varolan local port configuration for")) << Screen();
        Keys("Tab");   // from the Baud Rate box to its list
        Keys("Down");  // the next rate
        Keys(leave);
        ASSERT_TRUE(WaitForGone("Change Local Port Configuration")) << Screen();
    }

    TempDir dir_;
    std::string store_ = dir_.str("registry.db");
    std::string socket_ = dir_.str("tmux.sock");
    std::string exit_file_ = dir_.str("exit");
    PtyPair a_;
    PtyPair b_;
};

TEST_F(MaintainTmux, SetupChangesTheBaudAndServesThePort) {
    Start();
    ASSERT_TRUE(WaitFor("Varolan Maintenance")) << Screen();
    ASSERT_TRUE(WaitFor("Device not set up for Varolan.")) << Screen();
    const std::optional<std::uint32_t> before_a = Dword("PtyA", VALUE_BAUD_RATE);
    const std::optional<std::uint32_t> before_b = Dword("PtyB", VALUE_BAUD_RATE);
    ASSERT_TRUE(before_a && before_b);

    ChangeFirstPortBaud("Enter");
    Keys("Escape");  // close the main dialog: saves
    const std::optional<int> code = WaitForExit();
    ASSERT_TRUE(code.has_value()) << Screen();
    EXPECT_EQ(*code, 0);

    // The first row is the port whose tty name sorts first.
    const bool a_first = a_.slave_name() < b_.slave_name();
    const std::string changed = a_first ? "PtyA" : "PtyB";
    const std::string other = a_first ? "PtyB" : "PtyA";
    const std::uint32_t old_baud = a_first ? *before_a : *before_b;
    const std::optional<std::uint32_t> baud = Dword(changed, VALUE_BAUD_RATE);
    ASSERT_TRUE(baud.has_value());
    EXPECT_NE(*baud, old_baud);
    EXPECT_EQ(Dword(changed, VALUE_DEVICE_FLAGS), 0u);
    EXPECT_EQ(Dword(other, VALUE_DEVICE_FLAGS), DEVICE_NOT_MANAGED);
}

TEST_F(MaintainTmux, CancelLeavesTheStoreAsItWas) {
    // A first run creates the port keys and ends at once.
    Start();
    ASSERT_TRUE(WaitFor("Local Port Configuration")) << Screen();
    Keys("Escape");
    ASSERT_EQ(WaitForExit(), 0);
    const std::string before = Export();
    ASSERT_NE(before.find("PtyA"), std::string::npos) << before;

    Start();
    ChangeFirstPortBaud("Escape");
    Keys("Escape");
    ASSERT_EQ(WaitForExit(), 0) << Screen();
    EXPECT_EQ(Export(), before);
}

}  // namespace
}  // namespace varolan::util::test
