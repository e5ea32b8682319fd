// Where a dialog's controls go on a character screen. Pure computation, so
// that it is tested without a terminal: 4 x-units make a column and 8 y-units
// a row; a dialog larger than the terminal is scaled down to fit, but never
// below what fits 80x24, and a terminal smaller than that is reported as too
// small.
//
// Captions are written for a proportional font, so a caption may need more
// columns than its rect has at 4 units a column. Columns therefore come from
// a column map: x-units to columns, rising with x, that gives every caption
// the columns it needs, a blank between neighbours on a row and between a
// group box's border and what it holds, and otherwise follows the scale.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/dialog.h"

namespace varolan::ui {

// A rectangle of character cells, in screen coordinates.
struct CellRect {
    int col = 0;
    int row = 0;
    int cols = 0;
    int rows = 0;
    bool Contains(int c, int r) const {
        return c >= col && c < col + cols && r >= row && r < row + rows;
    }
};

// Columns of dialog x-units: increasing, exact at its breakpoints and
// interpolated between them.
struct ColumnMap {
    std::vector<int> units;    // ascending breakpoints
    std::vector<int> columns;  // column of each breakpoint, from the client's left edge
    int At(int x) const;
};

struct DialogLayout {
    bool fits = false;  // false: the terminal is too small, nothing else is set
    int need_cols = 0;  // smallest terminal that shows the dialog
    int need_rows = 0;
    CellRect frame;                  // the dialog with its border (title in the top border)
    CellRect client;                 // inside the border
    std::vector<CellRect> controls;  // one per control, in creation order
    double scale_x = 1.0;            // the frame's width against its natural width
    double scale_y = 1.0;
    // Bands of controls that share rows have a column map each.
    std::vector<ColumnMap> column_maps;
    std::vector<std::size_t> map_of;  // the map of each control
    const Dialog* dialog = nullptr;
};

// Columns and rows a dialog of this many dialog units takes at full size,
// border included.
int NaturalCols(int cx);
int NaturalRows(int cy);

DialogLayout LayoutDialog(const Dialog& dialog, int term_cols, int term_rows);

// Column offset (from the list's first text column) of each tab stop.
std::vector<int> TabColumns(const std::vector<int>& stops, double scale_x);
// The same for the list that is control `index` of a laid-out dialog.
std::vector<int> ListTabColumns(const DialogLayout& layout, std::size_t index);
// Expands tabs in `text` with those columns (a tab past the last stop is a space).
std::string ExpandTabs(const std::string& text, const std::vector<int>& columns);

// Breaks `text` into lines of at most `width` columns at blanks (a word
// longer than the width is cut); '\n' ends a line, "\r\n" counts as one.
std::vector<std::string> WrapText(const std::string& text, int width);

}  // namespace varolan::ui
