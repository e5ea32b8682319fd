#include "platform/ui/canvas.h"

#include <algorithm>

#include "platform/ui/controls.h"

namespace varolan::ui {

std::uint8_t MonoLook(Attr attr) {
    std::uint8_t look = 0;
    switch (attr.role) {
        case Role::Field:
            look = CELL_UNDERLINE;
            break;
        case Role::Focus:
        case Role::Select:
            look = CELL_REVERSE;
            break;
        case Role::Title:
            look = CELL_REVERSE | CELL_BOLD;
            break;
        default:
            break;
    }
    look |= attr.flags & (CELL_UNDERLINE | CELL_BOLD);
    look ^= attr.flags & CELL_REVERSE;
    return look;
}

Canvas::Canvas(int cols, int rows)
    : cols_(std::max(0, cols)),
      rows_(std::max(0, rows)),
      cells_(static_cast<std::size_t>(cols_) * static_cast<std::size_t>(rows_)) {}

const Cell& Canvas::at(int row, int col) const {
    static const Cell outside;
    if (row < 0 || row >= rows_ || col < 0 || col >= cols_) {
        return outside;
    }
    return cells_[static_cast<std::size_t>(row) * static_cast<std::size_t>(cols_) +
                  static_cast<std::size_t>(col)];
}

void Canvas::Clear(Attr attr) {
    std::fill(cells_.begin(), cells_.end(), Cell{' ', attr});
    cursor_row_ = -1;
    cursor_col_ = -1;
}

void Canvas::Put(int row, int col, int ch, Attr attr) {
    if (row < 0 || row >= rows_ || col < 0 || col >= cols_) {
        return;
    }
    if (ch < 0x20 || ch == 0x7F) {
        ch = ' ';
    }
    cells_[static_cast<std::size_t>(row) * static_cast<std::size_t>(cols_) +
           static_cast<std::size_t>(col)] = Cell{ch, attr};
}

void Canvas::Text(int row, int col, const std::string& text, Attr attr, int max_cols) {
    int n = static_cast<int>(text.size());
    if (max_cols >= 0) {
        n = std::min(n, max_cols);
    }
    for (int i = 0; i < n; ++i) {
        Put(row, col + i, static_cast<unsigned char>(text[static_cast<std::size_t>(i)]), attr);
    }
}

void Canvas::Fill(const CellRect& r, Attr attr) {
    for (int y = r.row; y < r.row + r.rows; ++y) {
        for (int x = r.col; x < r.col + r.cols; ++x) {
            Put(y, x, ' ', attr);
        }
    }
}

void Canvas::Frame(const CellRect& r, Attr attr) {
    if (r.cols < 2 || r.rows < 2) {
        return;
    }
    const int right = r.col + r.cols - 1;
    const int bottom = r.row + r.rows - 1;
    for (int x = r.col + 1; x < right; ++x) {
        Put(r.row, x, glyph::HLine, attr);
        Put(bottom, x, glyph::HLine, attr);
    }
    for (int y = r.row + 1; y < bottom; ++y) {
        Put(y, r.col, glyph::VLine, attr);
        Put(y, right, glyph::VLine, attr);
    }
    Put(r.row, r.col, glyph::ULCorner, attr);
    Put(r.row, right, glyph::URCorner, attr);
    Put(bottom, r.col, glyph::LLCorner, attr);
    Put(bottom, right, glyph::LRCorner, attr);
}

void Canvas::Shadow(const CellRect& r) {
    const Attr a{Role::Shadow, 0};
    for (int y = r.row + 1; y <= r.row + r.rows; ++y) {
        Put(y, r.col + r.cols, ' ', a);
    }
    for (int x = r.col + 1; x <= r.col + r.cols; ++x) {
        Put(r.row + r.rows, x, ' ', a);
    }
}

int Canvas::Caption(int row, int col, const std::string& caption, Attr attr, int max_cols,
                    bool prefix) {
    char letter = 0;
    int pos = -1;
    const std::string text = prefix ? StripMnemonic(caption, &letter, &pos) : caption;
    const int n = std::min(static_cast<int>(text.size()), std::max(0, max_cols));
    Text(row, col, text, attr, n);
    if (pos >= 0 && pos < n) {
        Put(row, col + pos, static_cast<unsigned char>(text[static_cast<std::size_t>(pos)]),
            attr.With(CELL_UNDERLINE));
    }
    return n;
}

std::string Canvas::RowText(int row) const {
    std::string out;
    for (int col = 0; col < cols_; ++col) {
        const int ch = at(row, col).ch;
        switch (ch) {
            case glyph::HLine:
                out.push_back('-');
                break;
            case glyph::VLine:
                out.push_back('|');
                break;
            case glyph::ULCorner:
            case glyph::URCorner:
            case glyph::LLCorner:
            case glyph::LRCorner:
                out.push_back('+');
                break;
            case glyph::UArrow:
                out.push_back('^');
                break;
            case glyph::DArrow:
                out.push_back('v');
                break;
            case glyph::Block:
                out.push_back('#');
                break;
            default:
                out.push_back(static_cast<char>(ch));
                break;
        }
    }
    return out;
}

}  // namespace varolan::ui
