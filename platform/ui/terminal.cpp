// The ncurses terminal: starts and ends the session, gives each cell role its
// look, copies painted canvases to the screen, reads keys and mouse clicks,
// and runs modal dialogs, message boxes and the help window on it.
#define NCURSES_NOMACROS 1
#include <ncurses.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/core/clock.h"
#include "platform/ui/dialog.h"
#include "platform/ui/internal.h"
#include "platform/ui/keys.h"
#include "platform/ui/message_box_dlg.h"
#include "platform/ui/mouse.h"
#include "platform/ui/paint.h"
#include "platform/ui/screen.h"

namespace varolan::ui {

namespace {

// How long one wait for a key lasts, so that a signal is noticed even where
// the terminal library restarts an interrupted read.
constexpr int KEY_WAIT_MS = 200;
// Reads that fail this many times in a row well before the wait is over mean
// the terminal is gone without saying so.
constexpr int FAILED_READS_FOR_LOSS = 50;

// The signal that ended the session (0: none). Set by the handler, read by
// the loops; a lock-free atomic is safe in a handler.
std::atomic<int> interrupt_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

const int INTERRUPT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void on_interrupt(int sig) {
    interrupt_signal.store(sig);
}

// Ctrl-C, a termination request and a hang-up end the dialogs without
// anything being saved. A signal that is ignored (nohup) stays ignored.
void catch_interrupts() {
    for (int sig : INTERRUPT_SIGNALS) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) {
            continue;
        }
        struct sigaction act {};
        act.sa_handler = on_interrupt;
        sigemptyset(&act.sa_mask);
        act.sa_flags = 0;  // no restart: a waiting read returns at once
        sigaction(sig, &act, nullptr);
    }
}

void release_interrupts() {
    for (int sig : INTERRUPT_SIGNALS) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == on_interrupt) {
            signal(sig, SIG_DFL);
        }
    }
}

bool interrupted() {
    return interrupt_signal.load() != 0;
}

// Colour pairs, one per role that has colours.
short pair_of(Role role) {
    return static_cast<short>(role);
}

struct Screen {
    bool started = false;
    bool colour = false;
    SCREEN* term = nullptr;
    // The base key table and the terminal's extended codes (Ctrl+arrows).
    std::vector<KeyMapping> keys;
    std::vector<Dialog*> stack;
};

Screen& screen() {
    static Screen s;
    return s;
}

chtype curses_flags(std::uint8_t flags) {
    chtype a = A_NORMAL;
    if ((flags & CELL_UNDERLINE) != 0) {
        a |= A_UNDERLINE;
    }
    if ((flags & CELL_BOLD) != 0) {
        a |= A_BOLD;
    }
    if ((flags & CELL_REVERSE) != 0) {
        a |= A_REVERSE;
    }
    return a;
}

// The look of a cell: its role's colour pair with its emphasis, or without
// colours the mono look (dim added for disabled text where the terminal has it).
chtype attr_of(Attr attr) {
    const Screen& s = screen();
    if (attr.role == Role::Plain) {
        return curses_flags(attr.flags);
    }
    if (!s.colour) {
        return curses_flags(MonoLook(attr)) | (attr.role == Role::Disabled ? A_DIM : A_NORMAL);
    }
    chtype a = COLOR_PAIR(pair_of(attr.role));
    if (attr.role == Role::Disabled && COLORS < 16) {
        a |= A_DIM;
    }
    if (attr.role == Role::Title) {
        a |= A_BOLD;
    }
    a |= curses_flags(attr.flags & (CELL_UNDERLINE | CELL_BOLD));
    if ((attr.flags & CELL_REVERSE) != 0) {
        a ^= A_REVERSE;
    }
    return a;
}

chtype glyph_of(int ch) {
    switch (ch) {
        case glyph::HLine:
            return ACS_HLINE;
        case glyph::VLine:
            return ACS_VLINE;
        case glyph::ULCorner:
            return ACS_ULCORNER;
        case glyph::URCorner:
            return ACS_URCORNER;
        case glyph::LLCorner:
            return ACS_LLCORNER;
        case glyph::LRCorner:
            return ACS_LRCORNER;
        case glyph::UArrow:
            return ACS_UARROW;
        case glyph::DArrow:
            return ACS_DARROW;
        case glyph::Block:
            return ACS_BLOCK;
        default:
            return static_cast<chtype>(ch & 0xFF);
    }
}

chtype cell_of(const Cell& cell) {
    return glyph_of(cell.ch) | attr_of(cell.attr);
}

int extended_key(const char* name) {
    const int code = key_defined(name);
    return code > 0 ? code : 0;
}

bool start_screen() {
    Screen& s = screen();
    if (s.started) {
        return true;
    }
    if (!TerminalAvailable()) {
        return false;
    }
    std::setlocale(LC_CTYPE, "");
    // Before the terminal library starts, which installs handlers of its own
    // only where none is set.
    catch_interrupts();
    s.term = newterm(nullptr, stdout, stdin);
    if (s.term == nullptr) {
        return false;
    }
    set_term(s.term);
    s.started = true;
    std::atexit([] { EndScreen(); });
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    wtimeout(stdscr, KEY_WAIT_MS);
    set_escdelay(25);
    mousemask(BUTTON1_CLICKED | BUTTON1_DOUBLE_CLICKED | BUTTON_SHIFT | BUTTON_CTRL, nullptr);
    if (has_colors() && start_color() == OK) {
        s.colour = true;
        const short grey = COLOR_WHITE;
        const short dark = COLORS >= 16 ? 8 : COLOR_BLACK;
        init_pair(pair_of(Role::Dialog), COLOR_BLACK, grey);
        init_pair(pair_of(Role::Field), COLOR_BLACK, COLOR_CYAN);
        init_pair(pair_of(Role::Focus), COLOR_WHITE, COLOR_BLUE);
        init_pair(pair_of(Role::Select), COLOR_WHITE, COLOR_BLUE);
        init_pair(pair_of(Role::Disabled), dark, grey);
        init_pair(pair_of(Role::Title), COLOR_WHITE, COLOR_BLUE);
        init_pair(pair_of(Role::Desktop), COLOR_WHITE, COLOR_BLUE);
        init_pair(pair_of(Role::Shadow), COLOR_BLACK, COLOR_BLACK);
    }
    s.keys = BaseKeyTable();
    const struct {
        const char* name;
        int key;
    } ctrl[] = {{"kUP5", key::Up}, {"kDN5", key::Down}, {"kHOM5", key::Home}, {"kEND5", key::End}};
    for (const auto& c : ctrl) {
        s.keys.push_back(KeyMapping{extended_key(c.name), KeyEvent{c.key, false, false, true}});
    }
    return true;
}

// Copies a painted canvas to the screen.
void show(const Canvas& canvas) {
    for (int row = 0; row < canvas.rows(); ++row) {
        for (int col = 0; col < canvas.cols(); ++col) {
            mvwaddch(stdscr, row, col, cell_of(canvas.at(row, col)));
        }
    }
    if (canvas.cursor_row() >= 0) {
        curs_set(1);
        wmove(stdscr, canvas.cursor_row(), canvas.cursor_col());
    } else {
        curs_set(0);
    }
    wrefresh(stdscr);
}

std::vector<const Dialog*> open_dialogs() {
    const Screen& s = screen();
    return std::vector<const Dialog*>(s.stack.begin(), s.stack.end());
}

// Paints the open dialogs; false when the terminal is too small for one.
bool draw_all() {
    Canvas canvas(COLS, LINES);
    const bool fits = PaintDialogs(canvas, open_dialogs());
    show(canvas);
    return fits;
}

// Notes a terminal that is gone (hung up, closed, or failing every read at
// once) as a hang-up.
void check_terminal_lost(std::uint64_t waited_ms) {
    static int quick_failures = 0;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        interrupt_signal.store(SIGHUP);
        return;
    }
    quick_failures = waited_ms * 2 < KEY_WAIT_MS ? quick_failures + 1 : 0;
    if (quick_failures >= FAILED_READS_FOR_LOSS) {
        interrupt_signal.store(SIGHUP);
    }
}

// Reads one input from the terminal; false for input that is not a key or a
// click (resize, unknown codes, a wait that ended without a key).
bool read_input(KeyEvent& ev, MouseClick* click, bool* is_mouse) {
    *is_mouse = false;
    const std::uint64_t started = monotonic_ms();
    int ch = wgetch(stdscr);
    ev = KeyEvent{};
    if (ch == ERR) {
        check_terminal_lost(monotonic_ms() - started);
        return false;
    }
    bool alt = false;
    if (ch == 27) {
        wtimeout(stdscr, 60);
        const int next = wgetch(stdscr);
        wtimeout(stdscr, KEY_WAIT_MS);
        if (next == ERR) {
            ev.code = key::Escape;
            return true;
        }
        alt = true;
        ch = next;
    }
    const TerminalInput in = TranslateKey(ch, alt, screen().keys);
    switch (in.kind) {
        case InputKind::Key:
            ev = in.key;
            return true;
        case InputKind::Mouse: {
            MEVENT m;
            if (getmouse(&m) != OK) {
                return false;
            }
            *click = MouseClick{m.x, m.y, (m.bstate & BUTTON1_DOUBLE_CLICKED) != 0,
                                (m.bstate & BUTTON_SHIFT) != 0, (m.bstate & BUTTON_CTRL) != 0};
            *is_mouse = true;
            return true;
        }
        case InputKind::Redraw:
            clearok(stdscr, TRUE);
            return false;
        case InputKind::Ignored:
            return false;
    }
    return false;
}

void run_help(const std::string& title, const std::string& text) {
    int top = 0;
    while (!interrupted()) {
        Canvas canvas(COLS, LINES);
        const HelpPage page = PaintHelp(canvas, open_dialogs(), title, text, top);
        show(canvas);
        top = page.top;
        KeyEvent ev;
        MouseClick click;
        bool mouse = false;
        if (!read_input(ev, &click, &mouse) || mouse) {
            continue;
        }
        switch (ev.code) {
            case key::Up:
                --top;
                break;
            case key::Down:
                ++top;
                break;
            case key::PageUp:
                top -= page.view;
                break;
            case key::PageDown:
            case key::Space:
                top += page.view;
                break;
            case key::Home:
                top = 0;
                break;
            case key::End:
                top = page.last;
                break;
            case key::Escape:
            case key::Enter:
            case 'q':
            case 'Q':
                return;
            default:
                break;
        }
    }
}

class TerminalRunner : public ModalRunner {
  public:
    int RunModal(Dialog& dialog) override {
        if (!start_screen()) {
            std::fprintf(stderr, "%s: no terminal to show this dialog on\n",
                         dialog.GetWindowText().c_str());
            dialog.BeginModal();
            if (!dialog.IsEnded()) {
                dialog.EndDialog(IDCANCEL);
            }
            return dialog.GetResult();
        }
        Screen& s = screen();
        s.stack.push_back(&dialog);
        dialog.BeginModal();
        while (!dialog.IsEnded()) {
            if (interrupted()) {
                // Straight to the end: no handler runs, nothing is saved.
                dialog.EndDialog(IDCANCEL);
                break;
            }
            const bool fits = draw_all();
            KeyEvent ev;
            MouseClick click;
            bool mouse = false;
            if (!read_input(ev, &click, &mouse)) {
                continue;
            }
            if (!fits) {
                // Blind keys would act on controls that cannot be seen: the
                // notice offers only a larger window or Ctrl-C.
                continue;
            }
            if (mouse) {
                HandleMouseClick(dialog, COLS, LINES, click);
            } else {
                dialog.HandleKey(ev);
            }
        }
        s.stack.pop_back();
        if (!s.stack.empty()) {
            draw_all();
        }
        return dialog.GetResult();
    }

    void ShowHelp(const std::string& title, const std::string& text) override {
        if (!start_screen()) {
            std::fprintf(stderr, "%s\n\n%s\n", title.c_str(), text.c_str());
            return;
        }
        run_help(title, text);
    }
};

class TerminalSink : public MessageSink {
  public:
    int show_message(const char* text, unsigned style) override {
        if (!start_screen()) {
            std::fprintf(stderr, "%s: %s\n", message_title().c_str(), text);
            return (style & MB_TYPEMASK) == MB_OKCANCEL ? IDCANCEL : IDOK;
        }
        MessageBoxDlg box(message_title(), text, style, COLS);
        return detail::terminal_modal_runner().RunModal(box);
    }
};

}  // namespace

bool TerminalAvailable() {
    if (screen().started) {
        return true;
    }
    const char* term = std::getenv("TERM");
    return isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1 && term != nullptr &&
           *term != '\0' && std::string(term) != "dumb";
}

void EndScreen() {
    Screen& s = screen();
    if (!s.started) {
        return;
    }
    s.started = false;
    endwin();
    delscreen(s.term);
    s.term = nullptr;
    release_interrupts();
}

int InterruptSignal() {
    return interrupt_signal.load();
}

namespace detail {

ModalRunner& terminal_modal_runner() {
    static TerminalRunner runner;
    return runner;
}

MessageSink& terminal_message_sink() {
    static TerminalSink sink;
    return sink;
}

}  // namespace detail

}  // namespace varolan::ui
