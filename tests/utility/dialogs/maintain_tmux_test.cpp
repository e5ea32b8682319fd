// maintain on a real terminal: runs the program inside a private tmux server on
// a temporary store with two pseudo-terminals as its serial ports, drives it
// with keys and reads the screen with capture-pane (with -e, the attributes
// too, which is all a terminal without colours can show).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/store_layout.h"
#include "platform/core/clock.h"
#include "platform/registry/registry.h"
#include "platform/ui/controls.h"
#include "tests/support/process.h"
#include "tests/support/serial_pty.h"
#include "utility/dialogs/resource.h"

namespace varolan::util::test {
namespace {

using namespace varolan::layout;
using ::varolan::test::PtyPair;
using ::varolan::test::TempDir;

const std::string kProduct = PRODUCT_KEY_UTILITY;

// Output of a shell command.
std::string Shell(const std::string& command) {
    int status = 0;
    return ::varolan::test::command_output(command, &status);
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

// The captions a dialog shows, from its own template: every group, label,
// button and check box text without its '&' marks, and the title.
std::vector<std::string> Captions(const DialogTemplate& t) {
    std::vector<std::string> out = {t.caption};
    for (const ControlTemplate& c : t.controls) {
        const bool captioned =
            c.kind == ui::ControlKind::Static || c.kind == ui::ControlKind::GroupBox ||
            c.kind == ui::ControlKind::Button || c.kind == ui::ControlKind::CheckBox;
        if (captioned && c.text[0] != '\0') {
            out.push_back(ui::StripMnemonic(c.text));
        }
    }
    return out;
}

// Controls that Tab visits when they are enabled.
int TabStops(const DialogTemplate& t) {
    int n = 0;
    for (const ControlTemplate& c : t.controls) {
        n += (c.style & ui::WS_TABSTOP) != 0 ? 1 : 0;
    }
    return n;
}

// Where `caption` stands whole on the screen with a blank on each side (or
// a button's bracket), as start offsets.
std::vector<std::size_t> WholeAndApart(const std::string& screen, const std::string& caption) {
    std::vector<std::size_t> out;
    for (std::size_t at = screen.find(caption); at != std::string::npos;
         at = screen.find(caption, at + 1)) {
        const std::size_t end = at + caption.size();
        const char before = at > 0 ? screen[at - 1] : '\n';
        const char after = end < screen.size() ? screen[end] : '\n';
        if (std::string(" [<").find(before) != std::string::npos &&
            std::string(" ]>").find(after) != std::string::npos) {
            out.push_back(at);
        }
    }
    return out;
}

void ExpectCaptionsWholeAndApart(const std::string& screen, const DialogTemplate& t) {
    const std::vector<std::string> captions = Captions(t);
    for (const std::string& c : captions) {
        const auto wanted =
            static_cast<std::size_t>(std::count(captions.begin(), captions.end(), c));
        EXPECT_GE(WholeAndApart(screen, c).size(), wanted) << "\"" << c << "\"\n" << screen;
    }
}

// Whether a button shows as one that can be pressed: its caption between
// brackets (blanks aside). A disabled button shows no brackets.
bool Bracketed(const std::string& screen, const std::string& caption) {
    for (std::size_t at : WholeAndApart(screen, caption)) {
        const std::size_t before = screen.find_last_not_of(' ', at - 1);
        const std::size_t after = screen.find_first_not_of(' ', at + caption.size());
        if (before != std::string::npos && after != std::string::npos &&
            (screen[before] == '[' || screen[before] == '<') &&
            (screen[after] == ']' || screen[after] == '>')) {
            return true;
        }
    }
    return false;
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
    // Starts maintain on a terminal of that size and type. The shell catches
    // Ctrl-C (a handler is not inherited), so that it outlives the program
    // and writes its status.
    void Start(int cols = 100, int rows = 40, const std::string& term = "xterm-256color") {
        std::remove(exit_file_.c_str());
        const std::string command = "trap : INT; env TERM=" + term + " " + Env() + " " +
                                    Quote(::varolan::test::program_path("maintain").string()) +
                                    " 2> " + Quote(err_file_) + "; echo $? > " + Quote(exit_file_) +
                                    "; sleep 30";
        Tmux("new-session -d -s vl -x " + std::to_string(cols) + " -y " + std::to_string(rows) +
             " " + Quote(command));
    }
    std::string Env() const {
        return "VAROLAN_REGISTRY=" + Quote(store_) +
               " VAROLAN_DEVICEMAP=" + Quote(dir_.str("devicemap")) +
               " VAROLAN_RUNTIME_DIR=" + Quote(dir_.str("run"));
    }
    std::string Screen() { return Tmux("capture-pane -p -t vl"); }
    // The screen with its attributes as escape sequences.
    std::string Look() { return Tmux("capture-pane -e -p -t vl"); }
    // Waits until the look differs from `before`.
    bool WaitForNewLook(const std::string& before, std::string* now) {
        const std::uint64_t end = now_ms() + 10000;
        while (now_ms() < end) {
            *now = Look();
            if (*now != before) {
                return true;
            }
            sleep_ms(10);
        }
        return false;
    }
    // Waits until the screen satisfies `pred` and has settled.
    bool WaitUntil(const std::function<bool(const std::string&)>& pred, std::string* screen,
                   std::uint64_t timeout_ms = 20000) {
        const std::uint64_t end = now_ms() + timeout_ms;
        std::string previous;
        while (now_ms() < end) {
            *screen = Screen();
            if (*screen == previous && pred(*screen)) {
                return true;
            }
            previous = *screen;
            sleep_ms(15);
        }
        return false;
    }
    std::string Stderr() {
        std::ifstream in(err_file_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Waits until the screen shows `text`; generous bound, no timing assumed.
    bool WaitFor(const std::string& text, std::uint64_t timeout_ms = 20000) {
        const std::uint64_t end = now_ms() + timeout_ms;
        while (now_ms() < end) {
            if (Screen().find(text) != std::string::npos) {
                return true;
            }
            sleep_ms(20);
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
            sleep_ms(20);
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
            sleep_ms(20);
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

    // A store as `tarnix install` leaves it, nothing else.
    void FreshInstall() {
        reg::reset_store();
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::remove((store_ + suffix).c_str());
        }
        ASSERT_EQ(std::system(("env " + Env() + " " +
                               Quote(::varolan::test::program_path("tarnix").string()) +
                               " install >/dev/null")
                                  .c_str()),
                  0);
    }
    // Presses Tab `presses` times; each press must change what the terminal
    // shows (the focus moves visibly, whatever the terminal's colours).
    void TabWalk(int presses, const std::string& where) {
        std::string before = Look();
        for (int i = 1; i <= presses; ++i) {
            Keys("Tab");
            std::string now;
            ASSERT_TRUE(WaitForNewLook(before, &now))
                << where << ": Tab " << i << " changed nothing on the screen\n"
                << Screen();
            before = now;
        }
    }
    void Put(const std::string& port, const char* name, DWORD type, const std::string& data) {
        ::varolan::test::ScopedEnv store("VAROLAN_REGISTRY", store_);
        reg::reset_store();
        reg::Key key;
        ASSERT_EQ(reg::open_key(reg::hklm(), kProduct + "\\" + port, reg::KEY_ALL_ACCESS, key),
                  ERROR_SUCCESS);
        ASSERT_EQ(
            reg::set_value(key, name, type, reinterpret_cast<const std::uint8_t*>(data.data()),
                           static_cast<DWORD>(data.size())),
            ERROR_SUCCESS);
        key.close();
        reg::reset_store();
    }
    std::optional<std::string> Raw(const std::string& port, const char* name) {
        ::varolan::test::ScopedEnv store("VAROLAN_REGISTRY", store_);
        reg::reset_store();
        reg::Key key;
        std::optional<std::string> result;
        if (reg::open_key(reg::hklm(), kProduct + "\\" + port, reg::KEY_READ, key) ==
            ERROR_SUCCESS) {
            char data[512];
            DWORD size = sizeof data;
            if (reg::query_value(key, name, nullptr, reinterpret_cast<std::uint8_t*>(data),
                                 &size) == ERROR_SUCCESS) {
                result = std::string(data, size);
            }
        }
        key.close();
        reg::reset_store();
        return result;
    }

    TempDir dir_;
    std::string store_ = dir_.str("registry.db");
    std::string socket_ = dir_.str("tmux.sock");
    std::string exit_file_ = dir_.str("exit");
    std::string err_file_ = dir_.str("stderr");
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

TEST_F(MaintainTmux, EveryDialogLegibleOnEveryTerminalFromTheFirstRun) {
    struct Terminal {
        int cols;
        int rows;
        const char* term;
    };
    const DialogTemplate& local = local_port_template();
    const DialogTemplate& remote = remote_port_template();
    // The focus looks the same at every size: Tab is walked at 80x24 only.
    const auto walk = [this](const Terminal& t, const DialogTemplate& d, const char* where) {
        if (t.cols == 80) {
            TabWalk(TabStops(d), where);
        }
    };
    for (const Terminal t : {Terminal{80, 24, "vt100"}, Terminal{80, 24, "xterm-256color"},
                             Terminal{100, 30, "vt100"}, Terminal{100, 30, "xterm-256color"},
                             Terminal{132, 43, "vt100"}, Terminal{132, 43, "xterm-256color"}}) {
        const std::string where =
            std::to_string(t.cols) + "x" + std::to_string(t.rows) + " " + t.term;
        SCOPED_TRACE(where);
        FreshInstall();
        Start(t.cols, t.rows, t.term);
        std::string screen;
        ASSERT_TRUE(WaitUntil(
            [](const std::string& s) { return s.find("Local Port Configuration") != s.npos; },
            &screen))
            << screen;
        // The first run after the installation opens without an error box.
        EXPECT_EQ(screen.find("Error"), std::string::npos) << screen;
        ExpectCaptionsWholeAndApart(screen, main_dialog_template());
        // Disabled buttons lose their brackets, also without colours.
        EXPECT_FALSE(Bracketed(screen, "Remove...")) << screen;
        EXPECT_FALSE(Bracketed(screen, "Reset...")) << screen;
        EXPECT_TRUE(Bracketed(screen, "Help")) << screen;
        walk(t, main_dialog_template(), "main dialog");

        Keys("M-l");
        Keys("Space");  // a row selected: Setup... and Remove... can be pressed
        ASSERT_TRUE(
            WaitUntil([](const std::string& s) { return Bracketed(s, "Remove..."); }, &screen))
            << screen;
        Keys("M-s");
        ASSERT_TRUE(WaitUntil(
            [&](const std::string& s) {
                return s.find(local.caption) != s.npos && s.find("NT device") != s.npos;
            },
            &screen))
            << screen;
        ExpectCaptionsWholeAndApart(screen, local);
        walk(t, local, "local port dialog");
        Keys("Escape");
        ASSERT_TRUE(WaitForGone(local.caption)) << Screen();

        Keys("M-u");
        ASSERT_TRUE(WaitUntil(
            [&](const std::string& s) { return s.find(remote.caption) != s.npos; }, &screen))
            << screen;
        ExpectCaptionsWholeAndApart(screen, remote);
        walk(t, remote, "remote port dialog");
        Keys("Escape");
        ASSERT_TRUE(WaitForGone(remote.caption)) << Screen();

        Keys("M-Space");
        ASSERT_TRUE(WaitFor("About Varolan...")) << Screen();
        Keys("Down");
        Keys("Enter");
        ASSERT_TRUE(WaitUntil([](const std::string& s) { return s.find("Disk Space:") != s.npos; },
                              &screen))
            << screen;
        ExpectCaptionsWholeAndApart(screen, about_template());
        Keys("Enter");
        ASSERT_TRUE(WaitForGone("Disk Space:")) << Screen();

        Keys("Escape");
        ASSERT_EQ(WaitForExit(), 0) << Screen();
        EXPECT_EQ(Stderr(), "");
    }
}

TEST_F(MaintainTmux, TheTooSmallScreenTakesOnlyCtrlCWhichSavesNothing) {
    // A first run makes the port keys. Then PtyA looks like a port whose
    // capabilities could not be read, with session values set by hand.
    Start();
    ASSERT_TRUE(WaitFor("Local Port Configuration")) << Screen();
    Keys("Escape");
    ASSERT_EQ(WaitForExit(), 0) << Screen();
    Put("PtyA", VALUE_DEVICE_FLAGS, reg::REG_DWORD, std::string("\x00\x03\x00\x00", 4));
    Put("PtyA", VALUE_CAP_BAUD_MASK, reg::REG_DWORD, std::string(4, '\0'));
    Put("PtyA", VALUE_AUTO_OPEN, reg::REG_DWORD, std::string("\x03\x00\x00\x00", 4));
    Put("PtyA", VALUE_MODEM_INIT, reg::REG_MULTI_SZ, std::string("ATZ\0\0", 5));
    const std::string before = Export();

    Start();
    ASSERT_TRUE(WaitFor("Local Port Configuration")) << Screen();
    // A change waits to be saved: the first port removed from management.
    Keys("M-l");
    Keys("Space");
    Keys("M-r");
    ASSERT_TRUE(WaitFor("Press OK to confirm.")) << Screen();
    Keys("Enter");
    ASSERT_TRUE(WaitForGone("Press OK to confirm.")) << Screen();

    Tmux("resize-window -t vl -x 50 -y 15");
    std::string screen;
    ASSERT_TRUE(
        WaitUntil([](const std::string& s) { return s.find("too small") != s.npos; }, &screen))
        << screen;
    std::string flat = screen;
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    while (flat.find("  ") != std::string::npos) {
        flat.replace(flat.find("  "), 2, " ");
    }
    EXPECT_NE(flat.find("press Ctrl-C to quit without saving"), std::string::npos) << screen;
    // What it does not offer does nothing: the program goes on. (Each key
    // alone: an Esc followed at once by another key is Alt with that key.)
    for (const char* key : {"Escape", "Enter", "q"}) {
        Keys(key);
        EXPECT_FALSE(WaitForExit(1000).has_value())
            << key << " on the too-small screen ended the run";
    }

    Keys("C-c");
    ASSERT_EQ(WaitForExit(), 130) << Screen();
    const std::string err = Stderr();
    EXPECT_EQ(err, "maintain: " + store_ +
                       ": interrupted by Ctrl-C (SIGINT); no change of this run was saved\n");

    // The removal was not saved. The load recorded PtyA's capabilities and
    // kept its session values.
    const std::string after = Export();
    EXPECT_EQ(Dword("PtyA", VALUE_AUTO_OPEN), 3u);
    EXPECT_EQ(Raw("PtyA", VALUE_MODEM_INIT), std::string("ATZ\0\0", 5));
    EXPECT_NE(Dword("PtyA", VALUE_CAP_BAUD_MASK), 0u);
    EXPECT_EQ(Dword("PtyA", VALUE_DEVICE_FLAGS), 0x300u)
        << "flags are kept until settings are saved";
    EXPECT_EQ(Dword("PtyB", VALUE_DEVICE_FLAGS), DEVICE_NOT_MANAGED);
}

}  // namespace
}  // namespace varolan::util::test
