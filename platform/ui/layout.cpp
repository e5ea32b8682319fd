#include "platform/ui/layout.h"

#include <algorithm>
#include <cmath>

namespace varolan::ui {

namespace {

constexpr int kMinCols = 80;
constexpr int kMinRows = 24;

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

DialogLayout LayoutDialog(const Dialog& dialog, int term_cols, int term_rows) {
    DialogLayout out;
    const int natural_cols = NaturalCols(dialog.width());
    const int natural_rows = NaturalRows(dialog.height());
    out.need_cols = std::min(natural_cols, kMinCols);
    out.need_rows = std::min(natural_rows, kMinRows);
    if (term_cols < out.need_cols || term_rows < out.need_rows) {
        return out;
    }
    out.fits = true;
    const int cols = std::min(natural_cols, term_cols);
    const int rows = std::min(natural_rows, term_rows);
    out.frame = CellRect{(term_cols - cols) / 2, (term_rows - rows) / 2, cols, rows};
    out.client = CellRect{out.frame.col + 1, out.frame.row + 1, cols - 2, rows - 2};
    out.scale_x = natural_cols > 2 ? static_cast<double>(cols - 2) / (natural_cols - 2) : 1.0;
    out.scale_y = natural_rows > 2 ? static_cast<double>(rows - 2) / (natural_rows - 2) : 1.0;

    for (const auto& cp : dialog.controls()) {
        const Control& c = *cp;
        const Rect& r = c.rect();
        int col = scaled(r.x, out.scale_x, 4);
        int row = scaled(r.y, out.scale_y, 8);
        int width = std::max(1, scaled(r.x + r.cx, out.scale_x, 4) - col);
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
        col = std::clamp(col, 0, std::max(0, out.client.cols - 1));
        row = std::clamp(row, 0, std::max(0, out.client.rows - 1));
        width = std::min(width, out.client.cols - col);
        height = std::min(height, out.client.rows - row);
        out.controls.push_back(
            CellRect{out.client.col + col, out.client.row + row, width, std::max(1, height)});
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
