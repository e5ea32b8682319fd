// The ncurses view of dialogs: draws the stack of open dialogs, turns terminal
// input into KeyEvents and mouse clicks, and shows message boxes and help.
#define NCURSES_NOMACROS 1
#include <ncurses.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ui/dialog.h"
#include "platform/ui/internal.h"
#include "platform/ui/layout.h"
#include "platform/ui/screen.h"

namespace varolan::ui {

namespace {

enum Pair : short {
    kDialog = 1,
    kField,
    kFocus,
    kSelect,
    kDisabled,
    kTitle,
    kDesktop,
    kShadow,
};

struct Screen {
    bool started = false;
    bool colour = false;
    SCREEN* term = nullptr;
    // Extended key codes of the terminal (0 when it has none).
    int ctrl_up = 0, ctrl_down = 0, ctrl_home = 0, ctrl_end = 0;
    std::vector<Dialog*> stack;
};

Screen& screen() {
    static Screen s;
    return s;
}

chtype attr_of(Pair p) {
    const Screen& s = screen();
    if (s.colour) {
        chtype a = COLOR_PAIR(p);
        if (p == kDisabled && COLORS < 16) {
            a |= A_DIM;
        }
        if (p == kTitle) {
            a |= A_BOLD;
        }
        return a;
    }
    switch (p) {
        case kField:
            return A_UNDERLINE;
        case kFocus:
        case kSelect:
            return A_REVERSE;
        case kDisabled:
            return A_DIM;
        case kTitle:
            return A_REVERSE | A_BOLD;
        default:
            return A_NORMAL;
    }
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
        init_pair(kDialog, COLOR_BLACK, grey);
        init_pair(kField, COLOR_BLACK, COLOR_CYAN);
        init_pair(kFocus, COLOR_WHITE, COLOR_BLUE);
        init_pair(kSelect, COLOR_WHITE, COLOR_BLUE);
        init_pair(kDisabled, dark, grey);
        init_pair(kTitle, COLOR_WHITE, COLOR_BLUE);
        init_pair(kDesktop, COLOR_WHITE, COLOR_BLUE);
        init_pair(kShadow, COLOR_BLACK, COLOR_BLACK);
    }
    s.ctrl_up = extended_key("kUP5");
    s.ctrl_down = extended_key("kDN5");
    s.ctrl_home = extended_key("kHOM5");
    s.ctrl_end = extended_key("kEND5");
    return true;
}

// ---------------------------------------------------------------- drawing

void put(int row, int col, const std::string& text, chtype attr, int max_cols = -1) {
    if (row < 0 || row >= LINES) {
        return;
    }
    int n = static_cast<int>(text.size());
    if (max_cols >= 0) {
        n = std::min(n, max_cols);
    }
    for (int i = 0; i < n; ++i) {
        const int c = col + i;
        if (c < 0 || c >= COLS) {
            continue;
        }
        unsigned char ch = static_cast<unsigned char>(text[static_cast<std::size_t>(i)]);
        if (ch < 0x20 || ch == 0x7F) {
            ch = ' ';
        }
        mvwaddch(stdscr, row, c, static_cast<chtype>(ch) | attr);
    }
}

void put_ch(int row, int col, chtype ch) {
    if (row >= 0 && row < LINES && col >= 0 && col < COLS) {
        mvwaddch(stdscr, row, col, ch);
    }
}

void fill(const CellRect& r, chtype attr) {
    for (int y = r.row; y < r.row + r.rows; ++y) {
        for (int x = r.col; x < r.col + r.cols; ++x) {
            put_ch(y, x, ' ' | attr);
        }
    }
}

void frame(const CellRect& r, chtype attr) {
    if (r.cols < 2 || r.rows < 2) {
        return;
    }
    const int right = r.col + r.cols - 1;
    const int bottom = r.row + r.rows - 1;
    for (int x = r.col + 1; x < right; ++x) {
        put_ch(r.row, x, ACS_HLINE | attr);
        put_ch(bottom, x, ACS_HLINE | attr);
    }
    for (int y = r.row + 1; y < bottom; ++y) {
        put_ch(y, r.col, ACS_VLINE | attr);
        put_ch(y, right, ACS_VLINE | attr);
    }
    put_ch(r.row, r.col, ACS_ULCORNER | attr);
    put_ch(r.row, right, ACS_URCORNER | attr);
    put_ch(bottom, r.col, ACS_LLCORNER | attr);
    put_ch(bottom, right, ACS_LRCORNER | attr);
}

void shadow(const CellRect& r) {
    const chtype a = screen().colour ? attr_of(kShadow) : A_NORMAL;
    for (int y = r.row + 1; y <= r.row + r.rows; ++y) {
        put_ch(y, r.col + r.cols, ' ' | a);
    }
    for (int x = r.col + 1; x <= r.col + r.cols; ++x) {
        put_ch(r.row + r.rows, x, ' ' | a);
    }
}

// A caption with its mnemonic underlined; returns the columns used.
int put_caption(int row, int col, const std::string& caption, chtype attr, int max_cols,
                bool prefix = true) {
    char letter = 0;
    int pos = -1;
    const std::string text = prefix ? StripMnemonic(caption, &letter, &pos) : caption;
    const int n = std::min(static_cast<int>(text.size()), std::max(0, max_cols));
    put(row, col, text, attr, n);
    if (pos >= 0 && pos < n) {
        const unsigned char ch = static_cast<unsigned char>(text[static_cast<std::size_t>(pos)]);
        put_ch(row, col + pos, static_cast<chtype>(ch) | attr | A_UNDERLINE);
    }
    return n;
}

struct Cursor {
    int row = -1;
    int col = -1;
};

// The columns a caption on control `index`'s first row may use: its rect
// widened up to the nearest obstacle (a group box border, another control,
// the client edge), so that labels longer than their scaled rect stay readable
// without running over their neighbours.
struct Span {
    int left;
    int right;  // one past the last usable column
};

Span free_span(const Dialog& d, const DialogLayout& l, std::size_t index) {
    const CellRect& r = l.controls[index];
    Span span{l.client.col, l.client.col + l.client.cols};
    const auto& controls = d.controls();
    for (std::size_t j = 0; j < controls.size(); ++j) {
        const CellRect& o = l.controls[j];
        if (j == index || !controls[j]->IsWindowVisible() || r.row < o.row ||
            r.row >= o.row + o.rows) {
            continue;
        }
        const int o_right = o.col + o.cols;  // one past
        if (controls[j]->kind() == ControlKind::GroupBox) {
            if (o.col < r.col && r.col < o_right - 1) {
                span.left = std::max(span.left, o.col + 1);
                span.right = std::min(span.right, o_right - 1);
            } else if (o.col >= r.col + 1) {
                span.right = std::min(span.right, o.col);
            } else if (o_right <= r.col) {
                span.left = std::max(span.left, o_right);
            }
            continue;
        }
        if (o.col > r.col) {
            span.right = std::min(span.right, o.col - 1);  // a blank before the neighbour
        } else if (o_right <= r.col + r.cols && o.col < r.col) {
            span.left = std::max(span.left, o_right);
        }
    }
    span.left = std::min(span.left, r.col);
    span.right = std::max(span.right, std::min(r.col + r.cols, l.client.col + l.client.cols));
    return span;
}

void draw_static(const StaticText& c, const CellRect& r, const Span& span) {
    const chtype base = attr_of(c.IsWindowEnabled() ? kDialog : kDisabled);
    if (c.HasStyle(SS_BLACKRECT)) {
        for (int x = r.col; x < r.col + r.cols; ++x) {
            put_ch(r.row, x, ACS_HLINE | base);
        }
        return;
    }
    CellRect area = r;
    if (c.HasStyle(SS_FRAMED) && r.cols >= 3 && r.rows >= 3) {
        frame(CellRect{r.col, r.row, r.cols - 1, r.rows - 1}, base);
        shadow(CellRect{r.col, r.row, r.cols - 1, r.rows - 1});
        area = CellRect{r.col + 1, r.row + 1, r.cols - 3, r.rows - 3};
    }
    const bool prefix = !c.HasStyle(SS_NOPREFIX);
    const std::string text = c.GetWindowText();
    int row = area.row;
    std::size_t start = 0;
    while (start <= text.size() && row < area.row + std::max(1, area.rows)) {
        std::size_t end = text.find('\n', start);
        const std::string line =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const int shown = static_cast<int>(prefix ? StripMnemonic(line).size() : line.size());
        int col = area.col;
        if (c.HasStyle(SS_RIGHT)) {
            col = area.col + area.cols - shown;
        } else if (c.HasStyle(SS_CENTER)) {
            col = area.col + (area.cols - shown) / 2;
        }
        // Keep the text inside its free span: move it right of a left obstacle
        // and cut what still does not fit.
        col = std::max(col, span.left);
        if (col + shown > span.right) {
            col = std::max(span.left, span.right - shown);
        }
        const int room = span.right - col;
        put_caption(row, col, line, base, room, prefix);
        ++row;
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
}

void draw_group(const GroupBox& c, const CellRect& r) {
    const chtype base = attr_of(c.IsWindowEnabled() ? kDialog : kDisabled);
    frame(r, base);
    if (!c.GetWindowText().empty()) {
        put(r.row, r.col + 1, " ", base);
        const int n = put_caption(r.row, r.col + 2, c.GetWindowText(), base, r.cols - 4);
        put(r.row, r.col + 2 + n, " ", base);
    }
}

void draw_edit(const Edit& c, const CellRect& r, bool focused, Cursor& cursor) {
    const chtype base = attr_of(c.IsWindowEnabled() ? kField : kDisabled);
    fill(r, base);
    const int offset = c.ScrollOffset(r.cols);
    const std::string text = c.GetWindowText();
    const std::string shown = offset < static_cast<int>(text.size()) ? text.substr(offset) : "";
    const chtype attr = focused && c.AllSelected() ? attr_of(kSelect) : base;
    put(r.row, r.col, shown, attr, r.cols);
    if (focused) {
        cursor = Cursor{r.row, r.col + std::min(r.cols - 1, c.GetCaret() - offset)};
    }
}

void draw_button(const Button& c, const CellRect& r, bool focused, Cursor& cursor) {
    const bool enabled = c.IsWindowEnabled();
    const chtype base = attr_of(!enabled ? kDisabled : focused ? kFocus : kDialog);
    const std::string label = StripMnemonic(c.GetWindowText());
    const int inner = std::max(0, r.cols - 2);
    const int lead = std::max(0, (inner - static_cast<int>(label.size())) / 2);
    fill(CellRect{r.col, r.row, r.cols, 1}, base);
    put(r.row, r.col, c.IsDefault() ? "<" : "[", base);
    put(r.row, r.col + r.cols - 1, c.IsDefault() ? ">" : "]", base);
    put_caption(r.row, r.col + 1 + lead, c.GetWindowText(), base, inner - lead);
    if (focused) {
        cursor = Cursor{r.row, r.col + 1 + lead};
    }
}

void draw_check(const CheckBox& c, const CellRect& r, const Span& span, bool focused,
                Cursor& cursor) {
    const bool enabled = c.IsWindowEnabled();
    const chtype base = attr_of(enabled ? kDialog : kDisabled);
    // The blank after the box goes when the caption would not fit otherwise.
    const int text_len = static_cast<int>(StripMnemonic(c.GetWindowText()).size());
    const int room = span.right - r.col;
    const int gap = room >= text_len + 4 ? 4 : 3;
    put(r.row, r.col, c.GetCheck() ? "[X] " : "[ ] ", base, gap);
    const chtype text_attr = focused ? attr_of(kFocus) : base;
    put_caption(r.row, r.col + gap, c.GetWindowText(), text_attr, std::max(0, room - gap));
    if (focused) {
        cursor = Cursor{r.row, r.col + 1};
    }
}

void draw_list(const ListBox& c, const CellRect& r, double scale_x, bool focused, Cursor& cursor) {
    const bool enabled = c.IsWindowEnabled();
    const chtype base = attr_of(enabled ? kField : kDisabled);
    const bool border = r.rows >= 3 && r.cols >= 3;
    const CellRect in = border ? CellRect{r.col + 1, r.row + 1, r.cols - 2, r.rows - 2} : r;
    fill(r, base);
    if (border) {
        frame(r, base);
    }
    if (!c.GetRedraw()) {
        return;
    }
    const std::vector<int> stops =
        c.HasStyle(LBS_USETABSTOPS) ? TabColumns(c.GetTabStops(), scale_x) : std::vector<int>{};
    std::vector<int> columns = stops;
    if (columns.empty()) {
        for (int k = 1; k < 40; ++k) {
            columns.push_back(k * 8);
        }
    }
    const int top = c.ScrollTop(in.rows);
    for (int i = 0; i < in.rows && top + i < c.GetCount(); ++i) {
        const int index = top + i;
        const chtype attr = c.GetSel(index) > 0 && enabled ? attr_of(kSelect) : base;
        const std::string text = ExpandTabs(c.GetText(index), columns);
        fill(CellRect{in.col, in.row + i, in.cols, 1}, attr);
        put(in.row + i, in.col, text, attr, in.cols);
        if (focused && index == c.GetCaretIndex()) {
            if (border) {
                put(in.row + i, r.col, ">", base | A_BOLD);
            }
            cursor = Cursor{in.row + i, in.col};
        }
    }
    if (focused && (c.GetCaretIndex() < 0 || c.GetCount() == 0)) {
        cursor = Cursor{in.row, in.col};
    }
    if (border && c.GetCount() > in.rows) {
        const int right = r.col + r.cols - 1;
        put_ch(in.row, right, ACS_UARROW | base);
        put_ch(in.row + in.rows - 1, right, ACS_DARROW | base);
        const int track = in.rows - 2;
        if (track > 0) {
            const int span = c.GetCount() - in.rows;
            const int thumb = span > 0 ? top * (track - 1) / span : 0;
            put_ch(in.row + 1 + thumb, right, ACS_BLOCK | base);
        }
    }
}

void draw_combo(const ComboBox& c, const CellRect& r, bool focused, Cursor& cursor) {
    const bool enabled = c.IsWindowEnabled();
    const chtype base = attr_of(enabled ? kField : kDisabled);
    fill(CellRect{r.col, r.row, r.cols, 1}, base);
    put(r.row, r.col, c.GetWindowText(), base, std::max(0, r.cols - 1));
    put_ch(r.row, r.col + r.cols - 1, ACS_DARROW | base);
    if (focused) {
        cursor = Cursor{r.row, r.col};
    }
}

// The dropped list of a combo box, below its field (above when there is no room).
CellRect combo_popup(const ComboBox& c, const CellRect& field) {
    const int count = std::max(1, c.GetCount());
    int rows = std::min(count, 10) + 2;
    int row = field.row + 1;
    if (row + rows > LINES) {
        if (field.row - rows >= 0) {
            row = field.row - rows;
        } else {
            rows = std::max(3, LINES - row);
        }
    }
    return CellRect{field.col, row, std::max(field.cols, 8), rows};
}

int popup_top(const ComboBox& c, int rows) {
    const int index = std::max(0, c.DroppedIndex());
    return std::clamp(index - rows + 1, 0, std::max(0, c.GetCount() - rows));
}

void draw_popup(const ComboBox& c, const CellRect& field, Cursor& cursor) {
    const CellRect p = combo_popup(c, field);
    const chtype base = attr_of(kField);
    fill(p, base);
    frame(p, base);
    const int rows = p.rows - 2;
    const int top = std::max(popup_top(c, rows), 0);
    for (int i = 0; i < rows && top + i < c.GetCount(); ++i) {
        const bool hot = top + i == c.DroppedIndex();
        const chtype attr = hot ? attr_of(kSelect) : base;
        fill(CellRect{p.col + 1, p.row + 1 + i, p.cols - 2, 1}, attr);
        put(p.row + 1 + i, p.col + 1, c.GetLBText(top + i), attr, p.cols - 2);
        if (hot) {
            cursor = Cursor{p.row + 1 + i, p.col + 1};
        }
    }
}

CellRect system_menu_rect(const Dialog& d, const DialogLayout& l) {
    int width = 10;
    for (const auto& item : d.GetSystemMenu().items()) {
        width = std::max(width, static_cast<int>(StripMnemonic(item.text).size()) + 4);
    }
    return CellRect{l.frame.col, l.frame.row + 1, width, d.GetSystemMenu().GetMenuItemCount() + 2};
}

void draw_system_menu(const Dialog& d, const DialogLayout& l, Cursor& cursor) {
    const CellRect m = system_menu_rect(d, l);
    const chtype base = attr_of(kDialog);
    fill(m, base);
    frame(m, base);
    shadow(m);
    const auto& items = d.GetSystemMenu().items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const int row = m.row + 1 + static_cast<int>(i);
        if ((items[i].flags & MF_SEPARATOR) != 0) {
            for (int x = m.col + 1; x < m.col + m.cols - 1; ++x) {
                put_ch(row, x, ACS_HLINE | base);
            }
            continue;
        }
        const bool hot = static_cast<int>(i) == d.SystemMenuIndex();
        const chtype attr = hot ? attr_of(kFocus) : base;
        fill(CellRect{m.col + 1, row, m.cols - 2, 1}, attr);
        put_caption(row, m.col + 2, items[i].text, attr, m.cols - 4);
        if (hot) {
            cursor = Cursor{row, m.col + 2};
        }
    }
}

void draw_too_small(const DialogLayout& l) {
    wbkgdset(stdscr, ' ' | A_NORMAL);
    werase(stdscr);
    const std::string lines[] = {
        "The terminal is too small for this dialog.",
        "It needs " + std::to_string(l.need_cols) + " columns and " + std::to_string(l.need_rows) +
            " rows; it has " + std::to_string(COLS) + " x " + std::to_string(LINES) + ".",
        "Enlarge the window, or press Esc to cancel.",
    };
    const int top = std::max(0, LINES / 2 - 1);
    for (int i = 0; i < 3; ++i) {
        const int len = static_cast<int>(lines[i].size());
        put(top + i, std::max(0, (COLS - len) / 2), lines[i], A_BOLD, COLS);
    }
}

// Draws one dialog; returns false when the terminal is too small for it.
bool draw_dialog(const Dialog& d, bool active, Cursor& cursor) {
    const DialogLayout l = LayoutDialog(d, COLS, LINES);
    if (!l.fits) {
        draw_too_small(l);
        return false;
    }
    const chtype base = attr_of(kDialog);
    shadow(l.frame);
    fill(l.frame, base);
    frame(l.frame, base);
    const std::string title = " " + d.GetWindowText() + " ";
    const int tlen = std::min(static_cast<int>(title.size()), l.frame.cols - 2);
    put(l.frame.row, l.frame.col + std::max(1, (l.frame.cols - tlen) / 2), title,
        attr_of(active ? kTitle : kDialog), tlen);
    const auto& controls = d.controls();
    const Control* focus = active ? d.GetFocus() : nullptr;
    // Frames and labels first, so that fields are drawn over an overlong label.
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < controls.size(); ++i) {
            const Control& c = *controls[i];
            const bool label = c.kind() == ControlKind::Static || c.kind() == ControlKind::GroupBox;
            if (!c.IsWindowVisible() || label != (pass == 0)) {
                continue;
            }
            const CellRect& r = l.controls[i];
            const bool focused = &c == focus;
            switch (c.kind()) {
                case ControlKind::Static:
                    draw_static(static_cast<const StaticText&>(c), r, free_span(d, l, i));
                    break;
                case ControlKind::GroupBox:
                    draw_group(static_cast<const GroupBox&>(c), r);
                    break;
                case ControlKind::Edit:
                    draw_edit(static_cast<const Edit&>(c), r, focused, cursor);
                    break;
                case ControlKind::Button:
                    draw_button(static_cast<const Button&>(c), r, focused, cursor);
                    break;
                case ControlKind::CheckBox:
                    draw_check(static_cast<const CheckBox&>(c), r, free_span(d, l, i), focused,
                               cursor);
                    break;
                case ControlKind::ListBox:
                    draw_list(static_cast<const ListBox&>(c), r, l.scale_x, focused, cursor);
                    break;
                case ControlKind::ComboBox:
                    draw_combo(static_cast<const ComboBox&>(c), r, focused, cursor);
                    break;
            }
        }
    }
    if (focus != nullptr && focus->kind() == ControlKind::ComboBox) {
        const auto& combo = static_cast<const ComboBox&>(*focus);
        for (std::size_t i = 0; i < controls.size(); ++i) {
            if (controls[i].get() == focus && combo.IsDropped()) {
                draw_popup(combo, l.controls[i], cursor);
            }
        }
    }
    if (active && d.IsSystemMenuOpen()) {
        draw_system_menu(d, l, cursor);
    }
    return true;
}

// Draws the whole stack; the top dialog is active.
bool draw_all() {
    Screen& s = screen();
    wbkgdset(stdscr, ' ' | attr_of(kDesktop));
    werase(stdscr);
    Cursor cursor;
    bool fits = true;
    for (std::size_t i = 0; i < s.stack.size() && fits; ++i) {
        fits = draw_dialog(*s.stack[i], i + 1 == s.stack.size(), cursor);
    }
    if (fits && cursor.row >= 0) {
        curs_set(1);
        wmove(stdscr, cursor.row, cursor.col);
    } else {
        curs_set(0);
    }
    wrefresh(stdscr);
    return fits;
}

// ---------------------------------------------------------------- input

// Reads one key; returns false for input that is not a key (resize, unknown).
bool read_key(KeyEvent& ev, MEVENT* mouse, bool* is_mouse) {
    Screen& s = screen();
    *is_mouse = false;
    int ch = wgetch(stdscr);
    ev = KeyEvent{};
    if (ch == ERR || ch == KEY_RESIZE) {
        return false;
    }
    if (ch == 27) {
        wtimeout(stdscr, 60);
        const int next = wgetch(stdscr);
        wtimeout(stdscr, -1);
        if (next == ERR) {
            ev.code = key::Escape;
            return true;
        }
        ev.alt = true;
        ch = next;
    }
    if (ch == KEY_MOUSE) {
        if (getmouse(mouse) != OK) {
            return false;
        }
        *is_mouse = true;
        return true;
    }
    switch (ch) {
        case '\t':
            ev.code = key::Tab;
            return true;
        case KEY_BTAB:
            ev.code = key::Tab;
            ev.shift = true;
            return true;
        case '\r':
        case '\n':
        case KEY_ENTER:
            ev.code = key::Enter;
            return true;
        case KEY_BACKSPACE:
        case 127:
        case 8:
            ev.code = key::Backspace;
            return true;
        case KEY_DC:
            ev.code = key::Delete;
            return true;
        case KEY_UP:
            ev.code = key::Up;
            return true;
        case KEY_DOWN:
            ev.code = key::Down;
            return true;
        case KEY_SR:
            ev.code = key::Up;
            ev.shift = true;
            return true;
        case KEY_SF:
            ev.code = key::Down;
            ev.shift = true;
            return true;
        case KEY_LEFT:
            ev.code = key::Left;
            return true;
        case KEY_RIGHT:
            ev.code = key::Right;
            return true;
        case KEY_HOME:
            ev.code = key::Home;
            return true;
        case KEY_END:
            ev.code = key::End;
            return true;
        case KEY_SHOME:
            ev.code = key::Home;
            ev.shift = true;
            return true;
        case KEY_SEND:
            ev.code = key::End;
            ev.shift = true;
            return true;
        case KEY_PPAGE:
            ev.code = key::PageUp;
            return true;
        case KEY_NPAGE:
            ev.code = key::PageDown;
            return true;
        case 12:  // Ctrl+L: redraw
            clearok(stdscr, TRUE);
            return false;
        default:
            break;
    }
    if (ch == KEY_F(1)) {
        ev.code = key::F1;
        return true;
    }
    if (ch == KEY_F(4)) {
        ev.code = key::F4;
        return true;
    }
    const struct {
        int code;
        int key;
    } ctrl[] = {{s.ctrl_up, key::Up},
                {s.ctrl_down, key::Down},
                {s.ctrl_home, key::Home},
                {s.ctrl_end, key::End}};
    for (const auto& c : ctrl) {
        if (c.code != 0 && ch == c.code) {
            ev.code = c.key;
            ev.ctrl = true;
            return true;
        }
    }
    if (ch >= 0x20 && ch <= 0xFF) {
        ev.code = ch;
        return true;
    }
    return false;
}

void handle_mouse(Dialog& d, const MEVENT& m) {
    const DialogLayout l = LayoutDialog(d, COLS, LINES);
    if (!l.fits) {
        return;
    }
    const bool dbl = (m.bstate & BUTTON1_DOUBLE_CLICKED) != 0;
    const bool shift = (m.bstate & BUTTON_SHIFT) != 0;
    const bool ctrl = (m.bstate & BUTTON_CTRL) != 0;
    Control* focus = d.GetFocus();
    if (focus != nullptr && focus->kind() == ControlKind::ComboBox) {
        auto* combo = static_cast<ComboBox*>(focus);
        if (combo->IsDropped()) {
            for (std::size_t i = 0; i < d.controls().size(); ++i) {
                if (d.controls()[i].get() != focus) {
                    continue;
                }
                const CellRect p = combo_popup(*combo, l.controls[i]);
                if (p.Contains(m.x, m.y) && m.y > p.row && m.y < p.row + p.rows - 1) {
                    combo->ClickEntry(popup_top(*combo, p.rows - 2) + m.y - p.row - 1);
                    return;
                }
            }
            combo->ShowDropDown(false);
        }
    }
    const auto& controls = d.controls();
    for (std::size_t k = controls.size(); k-- > 0;) {
        Control& c = *controls[k];
        const CellRect& r = l.controls[k];
        if (!c.IsWindowVisible() || !r.Contains(m.x, m.y)) {
            continue;
        }
        if (c.kind() == ControlKind::Static || c.kind() == ControlKind::GroupBox) {
            continue;
        }
        if (c.kind() == ControlKind::ListBox) {
            auto& list = static_cast<ListBox&>(c);
            const bool border = r.rows >= 3 && r.cols >= 3;
            const int inner_rows = border ? r.rows - 2 : r.rows;
            const int offset = m.y - r.row - (border ? 1 : 0);
            if (offset < 0 || offset >= inner_rows) {
                d.ClickControl(c.id());
                return;
            }
            const int index = list.ScrollTop(inner_rows) + offset;
            if (dbl) {
                list.DoubleClickRow(index);
            } else if (!list.ClickRow(index, shift, ctrl)) {
                d.ClickControl(c.id());
            }
            return;
        }
        d.ClickControl(c.id());
        return;
    }
}

// ---------------------------------------------------------------- message box

class MessageBoxDlg : public Dialog {
  public:
    MessageBoxDlg(const std::string& title, const std::string& text, unsigned style)
        : Dialog(title, 0, 0), ok_only_((style & MB_TYPEMASK) != MB_OKCANCEL) {
        const int max_text = std::max(20, std::min(70, COLS > 0 ? COLS - 14 : 70));
        const std::vector<std::string> lines = WrapText(text, max_text);
        int width = 0;
        for (const auto& line : lines) {
            width = std::max(width, static_cast<int>(line.size()));
        }
        const bool icon = (style & MB_ICONMASK) != 0;
        const int text_col = icon ? 8 : 2;
        const int buttons = ok_only_ ? 10 : 22;
        int cols =
            std::max({text_col + width + 2, buttons + 4, static_cast<int>(title.size()) + 6});
        const int text_rows = std::max(static_cast<int>(lines.size()), icon ? 3 : 1);
        const int rows = text_rows + 4;
        std::string joined;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            joined += (i ? "\n" : "") + lines[i];
        }
        if (icon) {
            AddStatic(IDC_STATIC, "  ^\n / \\\n/ ! \\", {8, 8, 20, 24}, SS_NOPREFIX);
        }
        AddStatic(IDC_STATIC, joined, {text_col * 4, 8, width * 4, text_rows * 8}, SS_NOPREFIX);
        const int button_row = (text_rows + 2) * 8;
        const int left = (cols - buttons) / 2;
        AddButton(IDOK, "OK", {left * 4, button_row, 40, 8}, BS_DEFPUSHBUTTON);
        if (!ok_only_) {
            AddButton(IDCANCEL, "Cancel", {(left + 12) * 4, button_row, 40, 8});
        }
        SetSize(cols * 4, rows * 8);
    }

  protected:
    void OnCancel() override { EndDialog(ok_only_ ? IDOK : IDCANCEL); }
    void OnSysCommand(unsigned command) override {
        if ((command & 0xFFF0u) == SC_CLOSE) {
            OnCancel();
        }
    }

  private:
    bool ok_only_;
};

// ---------------------------------------------------------------- help window

void run_help(const std::string& title, const std::string& text) {
    int top = 0;
    for (;;) {
        Screen& s = screen();
        wbkgdset(stdscr, ' ' | attr_of(kDesktop));
        werase(stdscr);
        Cursor ignore;
        for (std::size_t i = 0; i < s.stack.size(); ++i) {
            if (!draw_dialog(*s.stack[i], false, ignore)) {
                break;
            }
        }
        const int cols = std::min(COLS, 78);
        const int rows = std::min(LINES, 22);
        const CellRect box{(COLS - cols) / 2, (LINES - rows) / 2, cols, rows};
        const chtype base = attr_of(kDialog);
        fill(box, base);
        frame(box, base);
        const std::string t = " " + title + " ";
        put(box.row, box.col + std::max(1, (cols - static_cast<int>(t.size())) / 2), t,
            attr_of(kTitle), cols - 2);
        const std::vector<std::string> lines = WrapText(text, std::max(1, cols - 4));
        const int view = std::max(1, rows - 3);
        const int last = std::max(0, static_cast<int>(lines.size()) - view);
        top = std::clamp(top, 0, last);
        for (int i = 0; i < view && top + i < static_cast<int>(lines.size()); ++i) {
            put(box.row + 1 + i, box.col + 2, lines[static_cast<std::size_t>(top + i)], base,
                cols - 4);
        }
        const std::string footer = " Up/Down/PgUp/PgDn scroll, Esc closes ";
        put(box.row + rows - 1, box.col + 2, footer, base, cols - 4);
        if (last > 0) {
            const std::string where = " " + std::to_string(top * 100 / last) + "% ";
            put(box.row + rows - 1, box.col + cols - 2 - static_cast<int>(where.size()), where,
                base);
        }
        curs_set(0);
        wrefresh(stdscr);
        KeyEvent ev;
        MEVENT m;
        bool mouse = false;
        if (!read_key(ev, &m, &mouse) || mouse) {
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
                top -= view;
                break;
            case key::PageDown:
            case key::Space:
                top += view;
                break;
            case key::Home:
                top = 0;
                break;
            case key::End:
                top = last;
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

// ---------------------------------------------------------------- runner and sink

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
            MEVENT m;
            bool mouse = false;
            if (!read_key(ev, &m, &mouse)) {
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
                handle_mouse(dialog, m);
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
        MessageBoxDlg box(message_title(), text, style);
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
