#include "platform/ui/layout.h"

#include <algorithm>
#include <cmath>

namespace varolan::ui {

namespace {

constexpr int MIN_COLS = 80;
constexpr int MIN_ROWS = 24;

int scaled(int units, double scale, int per_cell) {
    return static_cast<int>(std::lround(units * scale / per_cell));
}

// Controls drawn on one row whatever their height in dialog units.
bool single_row(const Control& c) {
    switch (c.kind()) {
        case ControlKind::Edit:
        case ControlKind::Button:
        case ControlKind::CheckBox:
        case ControlKind::ComboBox:
            return true;
        case ControlKind::Static:
            return c.GetWindowText().find('\n') == std::string::npos && !c.HasStyle(SS_FRAMED);
        default:
            return false;
    }
}

}  // namespace

int NaturalCols(int cx) {
    return (cx + 3) / 4 + 2;
}
int NaturalRows(int cy) {
    return (cy + 7) / 8 + 2;
}

namespace {

// The columns a control's caption needs within its own rect (0: no caption).
int caption_need(const Control& c) {
    const std::string text = c.GetWindowText();
    switch (c.kind()) {
        case ControlKind::Button:
            return static_cast<int>(StripMnemonic(text).size()) + 2;  // [Caption]
        case ControlKind::CheckBox:
            return static_cast<int>(StripMnemonic(text).size()) + 4;  // [X] Caption
        case ControlKind::GroupBox:
            return text.empty() ? 2 : static_cast<int>(StripMnemonic(text).size()) + 4;
        case ControlKind::Static: {
            if (c.HasStyle(SS_BLACKRECT)) {
                return 0;
            }
            int widest = 0;
            std::size_t start = 0;
            while (start <= text.size()) {
                const std::size_t end = text.find('\n', start);
                const std::string line =
                    text.substr(start, end == std::string::npos ? std::string::npos : end - start);
                const std::string shown = c.HasStyle(SS_NOPREFIX) ? line : StripMnemonic(line);
                widest = std::max(widest, static_cast<int>(shown.size()));
                if (end == std::string::npos) {
                    break;
                }
                start = end + 1;
            }
            return widest + (c.HasStyle(SS_FRAMED) ? 3 : 0);
        }
        default:
            return 0;
    }
}

// f(b) - f(a) >= need, with a < b in x-units.
struct Constraint {
    int a;
    int b;
    int need;
};

struct ColumnProblem {
    std::vector<int> points;  // ascending, 0 and the dialog width included
    std::vector<Constraint> constraints;
};

bool rows_overlap(const CellRect& a, const CellRect& b) {
    return a.row < b.row + b.rows && b.row < a.row + a.rows;
}

// Bands of controls that share rows, directly or through each other (for
// example the groups at the top of a dialog and the buttons beside them).
// Each band gets its own column map, so that a caption in one band does not
// push the columns of another.
std::vector<std::size_t> find_bands(const std::vector<CellRect>& rows, std::size_t* count) {
    std::vector<std::size_t> band(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        band[i] = i;
    }
    const auto root = [&band](std::size_t i) {
        while (band[i] != i) {
            i = band[i] = band[band[i]];
        }
        return i;
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = i + 1; j < rows.size(); ++j) {
            if (rows_overlap(rows[i], rows[j])) {
                band[root(j)] = root(i);
            }
        }
    }
    std::vector<std::size_t> number(rows.size(), rows.size());
    *count = 0;
    std::vector<std::size_t> out(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::size_t r = root(i);
        if (number[r] == rows.size()) {
            number[r] = (*count)++;
        }
        out[i] = number[r];
    }
    return out;
}

ColumnProblem column_problem(const Dialog& dialog, const std::vector<CellRect>& rows,
                             const std::vector<std::size_t>& band, std::size_t which) {
    ColumnProblem p;
    const int width = std::max(1, dialog.width());
    const auto clamp_x = [width](int x) { return std::clamp(x, 0, width); };
    p.points = {0, width};
    const auto& controls = dialog.controls();
    for (std::size_t i = 0; i < controls.size(); ++i) {
        if (band[i] != which) {
            continue;
        }
        const Control& c = *controls[i];
        const int left = clamp_x(c.rect().x);
        const int right = clamp_x(c.rect().x + c.rect().cx);
        p.points.push_back(left);
        p.points.push_back(right);
        if (c.kind() == ControlKind::ListBox) {
            for (int stop : static_cast<const ListBox&>(c).GetTabStops()) {
                p.points.push_back(clamp_x(c.rect().x + stop));
            }
        }
        if (const int need = caption_need(c); need > 0 && left < right) {
            p.constraints.push_back({left, right, need});
        }
        const bool group = c.kind() == ControlKind::GroupBox;
        for (std::size_t j = 0; j < controls.size(); ++j) {
            const Control& o = *controls[j];
            if (j == i || !rows_overlap(rows[i], rows[j])) {
                continue;
            }
            const bool both_groups = group && o.kind() == ControlKind::GroupBox;
            const int o_left = clamp_x(o.rect().x);
            const int o_right = clamp_x(o.rect().x + o.rect().cx);
            if (group && left < o_left && o_right < right) {
                // Inside a group box: a blank off each border.
                p.constraints.push_back({left, o_left, 2});
                p.constraints.push_back({o_right, right, 2});
            } else if (right < o_left && !both_groups) {
                // A blank between neighbours; group boxes side by side may touch.
                p.constraints.push_back({right, o_left, 1});
            } else if (left < o_left && o_left < right && !group) {
                // Rects that overlap on a row: the caption and a blank before
                // the next one starts.
                p.constraints.push_back({left, o_left, caption_need(c) + 1});
            }
        }
    }
    std::sort(p.points.begin(), p.points.end());
    p.points.erase(std::unique(p.points.begin(), p.points.end()), p.points.end());
    std::sort(p.constraints.begin(), p.constraints.end(),
              [](const Constraint& x, const Constraint& y) { return x.b < y.b; });
    return p;
}

// The narrowest map that follows the scale between breakpoints and meets
// every constraint.
ColumnMap solve_columns(const ColumnProblem& p, double scale) {
    ColumnMap map;
    map.units = p.points;
    map.columns.assign(p.points.size(), 0);
    std::size_t next = 0;
    for (std::size_t k = 1; k < p.points.size(); ++k) {
        int col =
            map.columns[k - 1] + scaled(p.points[k], scale, 4) - scaled(p.points[k - 1], scale, 4);
        for (; next < p.constraints.size() && p.constraints[next].b <= p.points[k]; ++next) {
            const Constraint& c = p.constraints[next];
            col = std::max(col, map.At(c.a) + c.need);
        }
        map.columns[k] = col;
    }
    return map;
}

int map_width(const ColumnMap& map) {
    return map.columns.empty() ? 0 : map.columns.back();
}

// The map of the largest scale up to `most` whose width is at most `cols`;
// the narrowest map when even that is too wide (the controls are then clipped).
ColumnMap fit_columns(const ColumnProblem& p, int cols, double most) {
    if (map_width(solve_columns(p, most)) <= cols) {
        return solve_columns(p, most);
    }
    double low = 0.0;
    double high = most;
    for (int step = 0; step < 24; ++step) {
        const double mid = (low + high) / 2;
        if (map_width(solve_columns(p, mid)) <= cols) {
            low = mid;
        } else {
            high = mid;
        }
    }
    return solve_columns(p, low);
}

}  // namespace

int ColumnMap::At(int x) const {
    if (units.empty()) {
        return 0;
    }
    if (x <= units.front()) {
        return columns.front();
    }
    const auto it = std::lower_bound(units.begin(), units.end(), x);
    if (it == units.end()) {
        return columns.back();
    }
    const std::size_t k = static_cast<std::size_t>(it - units.begin());
    if (units[k] == x) {
        return columns[k];
    }
    const double t = static_cast<double>(x - units[k - 1]) / (units[k] - units[k - 1]);
    return columns[k - 1] + static_cast<int>(std::lround(t * (columns[k] - columns[k - 1])));
}

DialogLayout LayoutDialog(const Dialog& dialog, int term_cols, int term_rows) {
    DialogLayout out;
    out.dialog = &dialog;
    const int natural_rows = NaturalRows(dialog.height());
    out.need_rows = std::min(natural_rows, MIN_ROWS);
    // Rows as they will be once the terminal is large enough.
    const int rows = std::clamp(term_rows, out.need_rows, natural_rows);
    out.scale_y = natural_rows > 2 ? static_cast<double>(rows - 2) / (natural_rows - 2) : 1.0;

    // Rows first: which controls share a row decides the blanks between them.
    std::vector<CellRect> cells;
    for (const auto& cp : dialog.controls()) {
        const Control& c = *cp;
        const Rect& r = c.rect();
        int row = scaled(r.y, out.scale_y, 8);
        int height = std::max(1, scaled(r.y + r.cy, out.scale_y, 8) - row);
        if (single_row(c)) {
            // One row at the middle of the rect, so that a label and the field
            // beside it (whose rects differ in height) share a row.
            height = 1;
            row = static_cast<int>(std::floor((r.y + r.cy / 2.0) * out.scale_y / 8));
        } else if (c.kind() == ControlKind::Static) {
            const std::string text = c.GetWindowText();
            const int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1 +
                              (c.HasStyle(SS_FRAMED) ? 2 : 0);
            height = std::max(height, lines);
        } else {
            height = std::max(height, 3);  // lists and groups need a border and a row
        }
        row = std::clamp(row, 0, std::max(0, rows - 3));
        height = std::min(height, std::max(1, rows - 2 - row));
        cells.push_back(CellRect{0, row, 0, std::max(1, height)});
    }

    std::size_t band_count = 0;
    out.map_of = find_bands(cells, &band_count);
    std::vector<ColumnProblem> problems;
    // The title with a blank on each side fits in the top border.
    int natural_client = static_cast<int>(dialog.GetWindowText().size()) + 2;
    for (std::size_t b = 0; b < band_count; ++b) {
        problems.push_back(column_problem(dialog, cells, out.map_of, b));
        natural_client = std::max(natural_client, map_width(solve_columns(problems.back(), 1.0)));
    }
    const int natural_cols = std::max(natural_client + 2, NaturalCols(dialog.width()));
    out.need_cols = std::min(natural_cols, MIN_COLS);
    if (term_cols < out.need_cols || term_rows < out.need_rows) {
        return out;
    }
    out.fits = true;
    const int cols = std::min(natural_cols, term_cols);
    // Each band takes the largest scale that fits; a band narrower than the
    // widest one at full size is stretched a little to end with it.
    for (const ColumnProblem& p : problems) {
        out.column_maps.push_back(fit_columns(p, cols - 2, 2.0));
    }
    out.scale_x = natural_cols > 2 ? static_cast<double>(cols - 2) / (natural_cols - 2) : 1.0;
    out.frame = CellRect{(term_cols - cols) / 2, (term_rows - rows) / 2, cols, rows};
    out.client = CellRect{out.frame.col + 1, out.frame.row + 1, cols - 2, rows - 2};

    for (std::size_t i = 0; i < dialog.controls().size(); ++i) {
        const Rect& r = dialog.controls()[i]->rect();
        const ColumnMap& map = out.column_maps[out.map_of[i]];
        int col = map.At(r.x);
        int width = std::max(1, map.At(r.x + r.cx) - col);
        col = std::clamp(col, 0, std::max(0, out.client.cols - 1));
        width = std::min(width, out.client.cols - col);
        const CellRect& c = cells[i];
        out.controls.push_back(
            CellRect{out.client.col + col, out.client.row + c.row, std::max(1, width), c.rows});
    }
    return out;
}

std::vector<int> ListTabColumns(const DialogLayout& layout, std::size_t index) {
    std::vector<int> out;
    const auto& list = static_cast<const ListBox&>(*layout.dialog->controls()[index]);
    const ColumnMap& map = layout.column_maps[layout.map_of[index]];
    const int left = map.At(list.rect().x);
    for (int stop : list.GetTabStops()) {
        int col = map.At(list.rect().x + stop) - left;
        if (!out.empty() && col <= out.back()) {
            col = out.back() + 1;
        }
        out.push_back(col);
    }
    return out;
}

std::vector<int> TabColumns(const std::vector<int>& stops, double scale_x) {
    std::vector<int> out;
    for (int s : stops) {
        int col = scaled(s, scale_x, 4);
        if (!out.empty() && col <= out.back()) {
            col = out.back() + 1;
        }
        out.push_back(col);
    }
    return out;
}

std::string ExpandTabs(const std::string& text, const std::vector<int>& columns) {
    std::string out;
    for (char ch : text) {
        if (ch != '\t') {
            out.push_back(ch);
            continue;
        }
        const int here = static_cast<int>(out.size());
        auto next = std::upper_bound(columns.begin(), columns.end(), here);
        if (next == columns.end()) {
            out.push_back(' ');
        } else {
            out.append(static_cast<std::size_t>(*next - here), ' ');
        }
    }
    return out;
}

std::vector<std::string> WrapText(const std::string& text, int width) {
    width = std::max(1, width);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        std::string para =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!para.empty() && para.back() == '\r') {
            para.pop_back();
        }
        if (para.empty()) {
            lines.emplace_back();
        }
        while (!para.empty()) {
            if (static_cast<int>(para.size()) <= width) {
                lines.push_back(para);
                break;
            }
            std::size_t cut = para.rfind(' ', static_cast<std::size_t>(width));
            if (cut == std::string::npos || cut == 0) {
                lines.push_back(para.substr(0, static_cast<std::size_t>(width)));
                para.erase(0, static_cast<std::size_t>(width));
            } else {
                lines.push_back(para.substr(0, cut));
                para.erase(0, cut + 1);
            }
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return lines;
}

}  // namespace varolan::ui
