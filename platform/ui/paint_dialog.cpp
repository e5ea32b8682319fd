// How a dialog is painted with its frame and title, the dropped list of a
// combo box, the system menu, the notice of a terminal too small for a
// dialog, and the help window.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/ui/paint.h"

namespace varolan::ui {

namespace {

Attr attr_of(Role role) {
    return Attr{role, 0};
}

void draw_popup(Canvas& canvas, const ComboBox& c, const CellRect& field) {
    const CellRect p = ComboPopupRect(c, field, canvas.rows());
    const Attr base = attr_of(Role::Field);
    canvas.Fill(p, base);
    canvas.Frame(p, base);
    const int rows = p.rows - 2;
    const int top = std::max(ComboPopupTop(c, rows), 0);
    for (int i = 0; i < rows && top + i < c.GetCount(); ++i) {
        const bool hot = top + i == c.DroppedIndex();
        const Attr attr = hot ? attr_of(Role::Select) : base;
        canvas.Fill(CellRect{p.col + 1, p.row + 1 + i, p.cols - 2, 1}, attr);
        canvas.Text(p.row + 1 + i, p.col + 1, c.GetLBText(top + i), attr, p.cols - 2);
        if (hot) {
            canvas.SetCursor(p.row + 1 + i, p.col + 1);
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

void draw_system_menu(Canvas& canvas, const Dialog& d, const DialogLayout& l) {
    const CellRect m = system_menu_rect(d, l);
    const Attr base = attr_of(Role::Dialog);
    canvas.Fill(m, base);
    canvas.Frame(m, base);
    canvas.Shadow(m);
    const auto& items = d.GetSystemMenu().items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const int row = m.row + 1 + static_cast<int>(i);
        if ((items[i].flags & MF_SEPARATOR) != 0) {
            for (int x = m.col + 1; x < m.col + m.cols - 1; ++x) {
                canvas.Put(row, x, glyph::HLine, base);
            }
            continue;
        }
        const bool hot = static_cast<int>(i) == d.SystemMenuIndex();
        const Attr attr = hot ? attr_of(Role::Focus) : base;
        canvas.Fill(CellRect{m.col + 1, row, m.cols - 2, 1}, attr);
        canvas.Caption(row, m.col + 2, items[i].text, attr, m.cols - 4);
        if (hot) {
            canvas.SetCursor(row, m.col + 2);
        }
    }
}

void draw_too_small(Canvas& canvas, const DialogLayout& l) {
    canvas.Clear(Attr{Role::Plain, 0});
    const std::string text =
        "The terminal is too small for this dialog.\nIt needs " + std::to_string(l.need_cols) +
        " columns and " + std::to_string(l.need_rows) + " rows; it has " +
        std::to_string(canvas.cols()) + " x " + std::to_string(canvas.rows()) +
        ".\nEnlarge the window to go on, or press Ctrl-C to quit without saving.";
    const std::vector<std::string> lines = WrapText(text, canvas.cols());
    const int top = std::max(0, (canvas.rows() - static_cast<int>(lines.size())) / 2);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const int len = static_cast<int>(lines[i].size());
        canvas.Text(top + static_cast<int>(i), std::max(0, (canvas.cols() - len) / 2), lines[i],
                    Attr{Role::Plain, CELL_BOLD}, canvas.cols());
    }
}

// Paints one dialog; returns false when the canvas is too small for it.
bool paint_dialog(Canvas& canvas, const Dialog& d, bool active) {
    const DialogLayout l = LayoutDialog(d, canvas.cols(), canvas.rows());
    if (!l.fits) {
        draw_too_small(canvas, l);
        return false;
    }
    const Attr base = attr_of(Role::Dialog);
    canvas.Shadow(l.frame);
    canvas.Fill(l.frame, base);
    canvas.Frame(l.frame, base);
    const std::string title = " " + d.GetWindowText() + " ";
    const int tlen = std::min(static_cast<int>(title.size()), l.frame.cols - 2);
    canvas.Text(l.frame.row, l.frame.col + std::max(1, (l.frame.cols - tlen) / 2), title,
                attr_of(active ? Role::Title : Role::Dialog), tlen);
    const auto& controls = d.controls();
    const Control* focus = active ? d.GetFocus() : nullptr;
    // Frames and labels first, so that fields are drawn over an overlong label.
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < controls.size(); ++i) {
            const Control& c = *controls[i];
            const bool label = c.kind() == ControlKind::Static || c.kind() == ControlKind::GroupBox;
            if (c.IsWindowVisible() && label == (pass == 0)) {
                PaintControl(canvas, d, l, i, &c == focus);
            }
        }
    }
    if (focus != nullptr && focus->kind() == ControlKind::ComboBox) {
        const auto& combo = static_cast<const ComboBox&>(*focus);
        for (std::size_t i = 0; i < controls.size(); ++i) {
            if (controls[i].get() == focus && combo.IsDropped()) {
                draw_popup(canvas, combo, l.controls[i]);
            }
        }
    }
    if (active && d.IsSystemMenuOpen()) {
        draw_system_menu(canvas, d, l);
    }
    return true;
}

}  // namespace

CellRect ComboPopupRect(const ComboBox& c, const CellRect& field, int screen_rows) {
    const int count = std::max(1, c.GetCount());
    int rows = std::min(count, 10) + 2;
    int row = field.row + 1;
    if (row + rows > screen_rows) {
        if (field.row - rows >= 0) {
            row = field.row - rows;
        } else {
            rows = std::max(3, screen_rows - row);
        }
    }
    return CellRect{field.col, row, std::max(field.cols, 8), rows};
}

int ComboPopupTop(const ComboBox& c, int rows) {
    const int index = std::max(0, c.DroppedIndex());
    return std::clamp(index - rows + 1, 0, std::max(0, c.GetCount() - rows));
}

bool PaintDialogs(Canvas& canvas, const std::vector<const Dialog*>& stack) {
    canvas.Clear(attr_of(Role::Desktop));
    for (std::size_t i = 0; i < stack.size(); ++i) {
        if (!paint_dialog(canvas, *stack[i], i + 1 == stack.size())) {
            canvas.SetCursor(-1, -1);
            return false;
        }
    }
    return true;
}

HelpPage PaintHelp(Canvas& canvas, const std::vector<const Dialog*>& stack,
                   const std::string& title, const std::string& text, int top) {
    canvas.Clear(attr_of(Role::Desktop));
    for (const Dialog* d : stack) {
        if (!paint_dialog(canvas, *d, false)) {
            break;
        }
    }
    canvas.SetCursor(-1, -1);
    const int cols = std::min(canvas.cols(), 78);
    const int rows = std::min(canvas.rows(), 22);
    const CellRect box{(canvas.cols() - cols) / 2, (canvas.rows() - rows) / 2, cols, rows};
    const Attr base = attr_of(Role::Dialog);
    canvas.Fill(box, base);
    canvas.Frame(box, base);
    const std::string t = " " + title + " ";
    canvas.Text(box.row, box.col + std::max(1, (cols - static_cast<int>(t.size())) / 2), t,
                attr_of(Role::Title), cols - 2);
    const std::vector<std::string> lines = WrapText(text, std::max(1, cols - 4));
    HelpPage page;
    page.view = std::max(1, rows - 3);
    page.last = std::max(0, static_cast<int>(lines.size()) - page.view);
    page.top = std::clamp(top, 0, page.last);
    for (int i = 0; i < page.view && page.top + i < static_cast<int>(lines.size()); ++i) {
        canvas.Text(box.row + 1 + i, box.col + 2, lines[static_cast<std::size_t>(page.top + i)],
                    base, cols - 4);
    }
    const std::string footer = " Up/Down/PgUp/PgDn scroll, Esc closes ";
    canvas.Text(box.row + rows - 1, box.col + 2, footer, base, cols - 4);
    if (page.last > 0) {
        const std::string where = " " + std::to_string(page.top * 100 / page.last) + "% ";
        canvas.Text(box.row + rows - 1, box.col + cols - 2 - static_cast<int>(where.size()), where,
                    base);
    }
    return page;
}

}  // namespace varolan::ui
