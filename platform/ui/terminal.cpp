// The ncurses terminal: starts and ends the session, gives each cell role its
// look, copies painted canvases to the screen, reads keys and mouse clicks,
// and runs modal dialogs, message boxes and the help window on it.
#define NCURSES_NOMACROS 1
#include <ncurses.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ui/dialog.h"
#include "platform/ui/internal.h"
#include "platform/ui/keys.h"
#include "platform/ui/message_box_dlg.h"
#include "platform/ui/mouse.h"
#include "platform/ui/paint.h"
#include "platform/ui/screen.h"

namespace varolan::ui {

namespace {

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

chtype attr_of(Role role) {
    const Screen& s = screen();
    if (role == Role::Plain) {
        return A_NORMAL;
    }
    if (s.colour) {
        chtype a = COLOR_PAIR(pair_of(role));
        if (role == Role::Disabled && COLORS < 16) {
            a |= A_DIM;
        }
        if (role == Role::Title) {
            a |= A_BOLD;
        }
        return a;
    }
    switch (role) {
        case Role::Field:
            return A_UNDERLINE;
        case Role::Focus:
        case Role::Select:
            return A_REVERSE;
        case Role::Disabled:
            return A_DIM;
        case Role::Title:
            return A_REVERSE | A_BOLD;
        default:
            return A_NORMAL;
    }
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
    chtype a = attr_of(cell.attr.role);
    if ((cell.attr.flags & CELL_UNDERLINE) != 0) {
        a |= A_UNDERLINE;
    }
    if ((cell.attr.flags & CELL_BOLD) != 0) {
        a |= A_BOLD;
    }
    if ((cell.attr.flags & CELL_REVERSE) != 0) {
        a ^= A_REVERSE;
    }
    return glyph_of(cell.ch) | a;
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

// Reads one input from the terminal; false for input that is not a key or a
// click (resize, unknown codes).
bool read_input(KeyEvent& ev, MouseClick* click, bool* is_mouse) {
    *is_mouse = false;
    int ch = wgetch(stdscr);
    ev = KeyEvent{};
    if (ch == ERR) {
        return false;
    }
    bool alt = false;
    if (ch == 27) {
        wtimeout(stdscr, 60);
        const int next = wgetch(stdscr);
        wtimeout(stdscr, -1);
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
    for (;;) {
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
            const bool fits = draw_all();
            KeyEvent ev;
            MouseClick click;
            bool mouse = false;
            if (!read_input(ev, &click, &mouse)) {
                continue;
            }
            if (!fits) {
                // Blind keys would act on controls that cannot be seen.
                if (!mouse && ev.code == key::Escape) {
                    dialog.SendCommand(IDCANCEL, BN_CLICKED);
                }
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
