// How each control kind is painted. Two conventions hold for every kind,
// with or without colours:
// - The focus is reverse video (the Focus role): a button whole, a check
//   box's caption, the field of an edit or a combo box, the frame of a list
//   (whose current row is also marked '>').
// - A disabled control loses its marks: no brackets round a button or a
//   check box, no field look, no drop arrow, no underlined mnemonic; with
//   colours it is also dark grey.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/ui/paint.h"

namespace varolan::ui {

namespace {

Attr attr_of(Role role) {
    return Attr{role, 0};
}

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
    int neighbour = span.right;  // a blank before the next control on the row
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
            span.right = std::min(span.right, o.col - 1);
            neighbour = std::min(neighbour, o.col - 1);
        } else if (o_right <= r.col + r.cols && o.col < r.col) {
            span.left = std::max(span.left, o_right);
        }
    }
    span.left = std::min(span.left, r.col);
    span.right =
        std::max(span.right, std::min({r.col + r.cols, l.client.col + l.client.cols, neighbour}));
    return span;
}

void draw_static(Canvas& canvas, const StaticText& c, const CellRect& r, const Span& span) {
    const Attr base = attr_of(c.IsWindowEnabled() ? Role::Dialog : Role::Disabled);
    if (c.HasStyle(SS_BLACKRECT)) {
        for (int x = r.col; x < r.col + r.cols; ++x) {
            canvas.Put(r.row, x, glyph::HLine, base);
        }
        return;
    }
    CellRect area = r;
    if (c.HasStyle(SS_FRAMED) && r.cols >= 3 && r.rows >= 3) {
        canvas.Frame(CellRect{r.col, r.row, r.cols - 1, r.rows - 1}, base);
        canvas.Shadow(CellRect{r.col, r.row, r.cols - 1, r.rows - 1});
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
        canvas.Caption(row, col, line, base, room, prefix);
        ++row;
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
}

void draw_group(Canvas& canvas, const GroupBox& c, const CellRect& r) {
    const Attr base = attr_of(c.IsWindowEnabled() ? Role::Dialog : Role::Disabled);
    canvas.Frame(r, base);
    if (!c.GetWindowText().empty()) {
        canvas.Text(r.row, r.col + 1, " ", base);
        const int n = canvas.Caption(r.row, r.col + 2, c.GetWindowText(), base, r.cols - 4);
        canvas.Text(r.row, r.col + 2 + n, " ", base);
    }
}

// A caption; a disabled control's mnemonic is not underlined (it does nothing).
int caption(Canvas& canvas, int row, int col, const std::string& text, Attr attr, int max_cols,
            bool enabled) {
    if (enabled) {
        return canvas.Caption(row, col, text, attr, max_cols);
    }
    const std::string plain = StripMnemonic(text);
    canvas.Text(row, col, plain, attr, max_cols);
    return std::min(static_cast<int>(plain.size()), std::max(0, max_cols));
}

void draw_edit(Canvas& canvas, const Edit& c, const CellRect& r, bool focused) {
    const Attr base = attr_of(!c.IsWindowEnabled() ? Role::Disabled
                              : focused            ? Role::Focus
                                                   : Role::Field);
    canvas.Fill(r, base);
    // Away from the focus an edit shows the start of its text.
    const int offset = focused ? c.ScrollOffset(r.cols) : 0;
    const std::string text = c.GetWindowText();
    const std::string shown = offset < static_cast<int>(text.size()) ? text.substr(offset) : "";
    const Attr attr = focused && c.AllSelected() ? base.With(CELL_REVERSE) : base;
    canvas.Text(r.row, r.col, shown, attr, r.cols);
    if (focused) {
        canvas.SetCursor(r.row, r.col + std::clamp(c.GetCaret() - offset, 0, r.cols - 1));
    }
}

void draw_button(Canvas& canvas, const Button& c, const CellRect& r, bool focused) {
    const bool enabled = c.IsWindowEnabled();
    const Attr base = attr_of(!enabled ? Role::Disabled : focused ? Role::Focus : Role::Dialog);
    const std::string label = StripMnemonic(c.GetWindowText());
    const int inner = std::max(0, r.cols - 2);
    const int lead = std::max(0, (inner - static_cast<int>(label.size())) / 2);
    canvas.Fill(CellRect{r.col, r.row, r.cols, 1}, base);
    if (enabled) {
        canvas.Text(r.row, r.col, c.IsDefault() ? "<" : "[", base);
        canvas.Text(r.row, r.col + r.cols - 1, c.IsDefault() ? ">" : "]", base);
    }
    caption(canvas, r.row, r.col + 1 + lead, c.GetWindowText(), base, inner - lead, enabled);
    if (focused) {
        canvas.SetCursor(r.row, r.col + 1 + lead);
    }
}

void draw_check(Canvas& canvas, const CheckBox& c, const CellRect& r, const Span& span,
                bool focused) {
    const bool enabled = c.IsWindowEnabled();
    const Attr base = attr_of(enabled ? Role::Dialog : Role::Disabled);
    const char mark = c.GetCheck() ? 'X' : ' ';
    canvas.Text(r.row, r.col, enabled ? std::string{'[', mark, ']'} : std::string{' ', mark, ' '},
                base);
    const Attr text_attr = focused ? attr_of(Role::Focus) : base;
    const int room = std::max(span.right, r.col + r.cols) - r.col;
    caption(canvas, r.row, r.col + 4, c.GetWindowText(), text_attr, std::max(0, room - 4), enabled);
    if (focused) {
        canvas.SetCursor(r.row, r.col + 1);
    }
}

void draw_list(Canvas& canvas, const ListBox& c, const CellRect& r, const std::vector<int>& stops,
               bool focused) {
    const bool enabled = c.IsWindowEnabled();
    const Attr base = attr_of(enabled ? Role::Field : Role::Disabled);
    const bool border = r.rows >= 3 && r.cols >= 3;
    const CellRect in = border ? CellRect{r.col + 1, r.row + 1, r.cols - 2, r.rows - 2} : r;
    canvas.Fill(r, base);
    if (border) {
        canvas.Frame(r, focused ? attr_of(Role::Focus) : base);
    }
    if (!c.GetRedraw()) {
        return;
    }
    std::vector<int> columns = c.HasStyle(LBS_USETABSTOPS) ? stops : std::vector<int>{};
    if (columns.empty()) {
        for (int k = 1; k < 40; ++k) {
            columns.push_back(k * 8);
        }
    }
    const int top = c.ScrollTop(in.rows);
    for (int i = 0; i < in.rows && top + i < c.GetCount(); ++i) {
        const int index = top + i;
        const Attr attr = c.GetSel(index) > 0 && enabled ? attr_of(Role::Select) : base;
        const std::string text = ExpandTabs(c.GetText(index), columns);
        canvas.Fill(CellRect{in.col, in.row + i, in.cols, 1}, attr);
        canvas.Text(in.row + i, in.col, text, attr, in.cols);
        if (focused && index == c.GetCaretIndex()) {
            if (border) {
                canvas.Text(in.row + i, r.col, ">", base.With(CELL_BOLD));
            }
            canvas.SetCursor(in.row + i, in.col);
        }
    }
    if (focused && (c.GetCaretIndex() < 0 || c.GetCount() == 0)) {
        canvas.SetCursor(in.row, in.col);
    }
    if (border && c.GetCount() > in.rows) {
        const int right = r.col + r.cols - 1;
        canvas.Put(in.row, right, glyph::UArrow, base);
        canvas.Put(in.row + in.rows - 1, right, glyph::DArrow, base);
        const int track = in.rows - 2;
        if (track > 0) {
            const int span = c.GetCount() - in.rows;
            const int thumb = span > 0 ? top * (track - 1) / span : 0;
            canvas.Put(in.row + 1 + thumb, right, glyph::Block, base);
        }
    }
}

void draw_combo(Canvas& canvas, const ComboBox& c, const CellRect& r, bool focused) {
    const bool enabled = c.IsWindowEnabled();
    const Attr base = attr_of(!enabled ? Role::Disabled : focused ? Role::Focus : Role::Field);
    canvas.Fill(CellRect{r.col, r.row, r.cols, 1}, base);
    canvas.Text(r.row, r.col, c.GetWindowText(), base, std::max(0, r.cols - 1));
    if (enabled) {
        canvas.Put(r.row, r.col + r.cols - 1, glyph::DArrow, base);
    }
    if (focused) {
        canvas.SetCursor(r.row, r.col);
    }
}
}  // namespace

void PaintControl(Canvas& canvas, const Dialog& d, const DialogLayout& l, std::size_t i,
                  bool focused) {
    const Control& c = *d.controls()[i];
    const CellRect& r = l.controls[i];
    switch (c.kind()) {
        case ControlKind::Static:
            draw_static(canvas, static_cast<const StaticText&>(c), r, free_span(d, l, i));
            break;
        case ControlKind::GroupBox:
            draw_group(canvas, static_cast<const GroupBox&>(c), r);
            break;
        case ControlKind::Edit:
            draw_edit(canvas, static_cast<const Edit&>(c), r, focused);
            break;
        case ControlKind::Button:
            draw_button(canvas, static_cast<const Button&>(c), r, focused);
            break;
        case ControlKind::CheckBox:
            draw_check(canvas, static_cast<const CheckBox&>(c), r, free_span(d, l, i), focused);
            break;
        case ControlKind::ListBox:
            draw_list(canvas, static_cast<const ListBox&>(c), r, ListTabColumns(l, i), focused);
            break;
        case ControlKind::ComboBox:
            draw_combo(canvas, static_cast<const ComboBox&>(c), r, focused);
            break;
    }
}

}  // namespace varolan::ui
