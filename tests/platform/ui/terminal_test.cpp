// The dialog framework on a real terminal: the demo program runs inside a
// detached tmux session of 80x24; keys go in with send-keys and the screen
// comes back with capture-pane.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/core/clock.h"
#include "tests/support/process.h"

namespace {

using varolan::test::TempDir;

// Runs a command, returns its standard output (empty on failure).
std::string run(const std::string& cmd, int* status = nullptr) {
    std::string out;
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    std::array<char, 4096> buf{};
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) {
        out.append(buf.data(), n);
    }
    const int rc = ::pclose(p);
    if (status != nullptr) {
        *status = rc;
    }
    return out;
}

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

bool have_tmux() {
    int status = -1;
    run("command -v tmux >/dev/null 2>&1", &status);
    return status == 0;
}

// One private tmux server (its own socket) holding one 80x24 session.
class Tmux {
  public:
    Tmux(const TempDir& dir) : socket_(dir.str("tmux.sock")) {}
    ~Tmux() { run(base() + " kill-server >/dev/null 2>&1"); }

    bool Start(const std::string& command) {
        int status = -1;
        run(base() + " -f /dev/null new-session -d -x 80 -y 24 -s ui " +
                quote("TERM=xterm-256color " + command) + " 2>&1",
            &status);
        return status == 0;
    }
    std::string Capture() { return run(base() + " capture-pane -p -t ui 2>/dev/null"); }
    void Keys(const std::string& keys) { run(base() + " send-keys -t ui " + keys); }
    void Literal(const std::string& text) { run(base() + " send-keys -t ui -l " + quote(text)); }
    void Resize(int cols, int rows) {
        run(base() + " resize-window -t ui -x " + std::to_string(cols) + " -y " +
            std::to_string(rows));
    }
    // Cursor position as "x,y".
    std::string Cursor() {
        std::string s = run(base() + " display-message -p -t ui '#{cursor_x},#{cursor_y}'");
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) {
            s.pop_back();
        }
        return s;
    }
    // Waits until the screen satisfies `pred` and has stopped changing, so a
    // screen caught half drawn is not taken (bounded; the screen is polled).
    bool WaitFor(const std::function<bool(const std::string&)>& pred, std::string* last = nullptr) {
        const std::uint64_t deadline = varolan::monotonic_ms() + 30000;
        std::string screen;
        std::string previous;
        while (varolan::monotonic_ms() < deadline) {
            screen = Capture();
            const bool settled = screen == previous;
            previous = screen;
            if (settled && pred(screen)) {
                if (last != nullptr) {
                    *last = screen;
                }
                return true;
            }
            varolan::sleep_ms(50);
        }
        if (last != nullptr) {
            *last = screen;
        }
        return false;
    }
    bool WaitForText(const std::string& text, std::string* last = nullptr) {
        return WaitFor([&](const std::string& s) { return s.find(text) != std::string::npos; },
                       last);
    }
    bool WaitForCursorChange(const std::string& from, std::string* now) {
        const std::uint64_t deadline = varolan::monotonic_ms() + 10000;
        while (varolan::monotonic_ms() < deadline) {
            *now = Cursor();
            if (*now != from) {
                return true;
            }
            varolan::sleep_ms(50);
        }
        return false;
    }

  private:
    std::string base() const { return "tmux -S " + quote(socket_); }
    std::string socket_;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool wait_for_file(const std::string& path, std::string* content) {
    const std::uint64_t deadline = varolan::monotonic_ms() + 10000;
    while (varolan::monotonic_ms() < deadline) {
        *content = read_file(path);
        if (!content->empty() && content->back() == '\n') {
            return true;
        }
        varolan::sleep_ms(50);
    }
    return false;
}

// Row (0-based) of the first screen line holding `text`, or -1.
int row_of(const std::string& screen, const std::string& text) {
    std::istringstream in(screen);
    std::string line;
    for (int row = 0; std::getline(in, line); ++row) {
        if (line.find(text) != std::string::npos) {
            return row;
        }
    }
    return -1;
}

class TerminalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!have_tmux()) {
            GTEST_SKIP() << "tmux is not installed";
        }
        demo_ = varolan::test::program_path("ui_demo").string();
        ASSERT_FALSE(demo_.empty());
        out_ = dir_.str("result.txt");
    }
    TempDir dir_;
    std::string demo_;
    std::string out_;
};

TEST_F(TerminalTest, DrawsTheDialogTabMovesFocusAndEnterCloses) {
    Tmux tmux(dir_);
    ASSERT_TRUE(tmux.Start(quote(demo_) + " " + quote(out_)));
    std::string screen;
    ASSERT_TRUE(tmux.WaitForText("UI Demo", &screen)) << screen;
    for (const char* text : {"Name :", "[ ] Verbose", "Cancel", "Ports", "COM1", "COM10", "COM2"}) {
        EXPECT_NE(screen.find(text), std::string::npos) << text << "\n" << screen;
    }
    // The default button is marked with angle brackets.
    const int ok_row = row_of(screen, " OK ");
    ASSERT_GE(ok_row, 0) << screen;
    EXPECT_NE(row_of(screen, "Name :"), -1);
    {
        std::istringstream in(screen);
        std::string line;
        for (int i = 0; i <= ok_row; ++i) {
            std::getline(in, line);
        }
        EXPECT_NE(line.find('<'), std::string::npos) << line;
        EXPECT_LT(line.find('<'), line.find(" OK ")) << line;
    }
    // Sorted rows: COM1, COM10, COM2.
    EXPECT_LT(row_of(screen, "COM1 "), row_of(screen, "COM10"));
    EXPECT_LT(row_of(screen, "COM10"), row_of(screen, "COM2"));

    // The focus starts in the edit with its text selected, so typing replaces
    // it; Tab moves the focus (and the cursor) to the check box.
    tmux.Literal("xyz");
    ASSERT_TRUE(tmux.WaitForText("Name : xyz", &screen)) << screen;
    std::string now;
    const std::string after_typing = tmux.Cursor();
    EXPECT_EQ(after_typing.substr(after_typing.find(',') + 1),
              std::to_string(row_of(screen, "Name :")));
    tmux.Keys("Tab");
    ASSERT_TRUE(tmux.WaitForCursorChange(after_typing, &now));
    const int check_row = row_of(screen, "Verbose");
    EXPECT_EQ(now.substr(now.find(',') + 1), std::to_string(check_row)) << now;
    tmux.Keys("Space");
    ASSERT_TRUE(tmux.WaitForText("[X] Verbose", &screen)) << screen;

    // Enter presses the default button.
    tmux.Keys("Enter");
    std::string result;
    ASSERT_TRUE(wait_for_file(out_, &result));
    EXPECT_EQ(result, "result=1 name=xyz verbose=1 asked=0 about=0\n");
}

TEST_F(TerminalTest, MessageBoxSystemMenuAndEscape) {
    Tmux tmux(dir_);
    ASSERT_TRUE(tmux.Start(quote(demo_) + " " + quote(out_)));
    std::string screen;
    ASSERT_TRUE(tmux.WaitForText("UI Demo", &screen)) << screen;
    // Alt+A clicks "&Ask..."; the question box has OK and Cancel.
    tmux.Keys("M-a");
    ASSERT_TRUE(tmux.WaitForText("Really ask?", &screen)) << screen;
    EXPECT_NE(screen.find("Varolan Maintenance"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Press OK to confirm."), std::string::npos) << screen;
    EXPECT_NE(screen.find("Cancel"), std::string::npos) << screen;
    EXPECT_NE(screen.find("!"), std::string::npos) << screen;
    tmux.Keys("Escape");
    ASSERT_TRUE(tmux.WaitFor(
        [](const std::string& s) { return s.find("Really ask?") == std::string::npos; }, &screen))
        << screen;
    // The system menu: Alt+Space, down past the separator to the program's entry.
    tmux.Keys("M-Space");
    ASSERT_TRUE(tmux.WaitForText("About Demo...", &screen)) << screen;
    tmux.Keys("Down");
    tmux.Keys("Enter");
    ASSERT_TRUE(tmux.WaitForText("Demo version 1", &screen)) << screen;
    tmux.Keys("Enter");
    ASSERT_TRUE(tmux.WaitFor(
        [](const std::string& s) { return s.find("Demo version 1") == std::string::npos; },
        &screen))
        << screen;
    // Help opens a scrolling window that Esc closes.
    tmux.Keys("F1");
    ASSERT_TRUE(tmux.WaitForText("This is the help of the demo dialog.", &screen)) << screen;
    tmux.Keys("Escape");
    ASSERT_TRUE(tmux.WaitFor(
        [](const std::string& s) { return s.find("help of the demo") == std::string::npos; },
        &screen))
        << screen;
    tmux.Keys("Escape");
    std::string result;
    ASSERT_TRUE(wait_for_file(out_, &result));
    EXPECT_EQ(result, "result=2 name=abc verbose=0 asked=2 about=4096\n");
}

TEST_F(TerminalTest, ResizeToATinyTerminalShowsAMessageAndBack) {
    Tmux tmux(dir_);
    ASSERT_TRUE(tmux.Start(quote(demo_) + " " + quote(out_)));
    std::string screen;
    ASSERT_TRUE(tmux.WaitForText("UI Demo", &screen)) << screen;
    tmux.Resize(30, 8);
    ASSERT_TRUE(tmux.WaitForText("too small", &screen)) << screen;
    EXPECT_EQ(screen.find("UI Demo"), std::string::npos) << screen;
    tmux.Resize(80, 24);
    ASSERT_TRUE(tmux.WaitForText("UI Demo", &screen)) << screen;
    EXPECT_EQ(screen.find("too small"), std::string::npos) << screen;
    tmux.Keys("Escape");
    std::string result;
    ASSERT_TRUE(wait_for_file(out_, &result));
    EXPECT_EQ(result.substr(0, 9), "result=2 ");
}

TEST_F(TerminalTest, ALargeDialogIsFittedWithEveryLabelVisible) {
    Tmux tmux(dir_);
    ASSERT_TRUE(tmux.Start(quote(demo_) + " " + quote(out_) + " --wide"));
    std::string screen;
    ASSERT_TRUE(tmux.WaitForText("Wide Demo", &screen)) << screen;
    for (const char* text : {"Remote Port Configuration",
                             "Escape Sequence",
                             "Terminal Type :",
                             "Prompt :",
                             "1d",
                             "vt100",
                             "Welc",  // a long read-only value shows its start
                             "Setup...",
                             "Start on Close.",
                             "Stop Service...",
                             "Close",
                             "Reset...",
                             "Help",
                             "Remove...",
                             "Local Port Configuration",
                             "Port Name Baud Rate Data Bits Stop Bits Parity Flow Control",
                             "COM1",
                             "9600",
                             "Rts/Cts",
                             "Device not set up for Varolan."}) {
        EXPECT_NE(screen.find(text), std::string::npos) << text << "\n" << screen;
    }
    tmux.Keys("Escape");
    std::string result;
    ASSERT_TRUE(wait_for_file(out_, &result));
    EXPECT_EQ(result, "result=2\n");
}

}  // namespace
