// A grid of character cells that the dialogs are painted on. Painting is pure:
// the terminal copies the finished grid to the screen, and tests read it cell
// by cell. A cell holds a character (or a line glyph) and a role; the terminal
// decides how a role looks (colours, or reverse, underline and bold on a
// terminal without colours).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ui/layout.h"

namespace varolan::ui {

// What a cell shows, so that the terminal can give it its look.
enum class Role : std::uint8_t {
    Plain,     // the terminal's own colours (the too-small message)
    Desktop,   // behind the dialogs
    Dialog,    // a dialog's face: frames, labels, buttons
    Field,     // edits, lists, combo boxes
    Focus,     // the control with the focus
    Select,    // selected list rows and text, the hot entry of a dropped list
    Disabled,  // a control that cannot be used
    Title,     // the title of the active dialog
    Shadow,    // the shadow beside a dialog or a popup
};

// Emphasis added to a role.
inline constexpr std::uint8_t CELL_UNDERLINE = 0x1;  // a mnemonic letter
inline constexpr std::uint8_t CELL_BOLD = 0x2;
inline constexpr std::uint8_t CELL_REVERSE = 0x4;  // the role's look reversed

struct Attr {
    Role role = Role::Dialog;
    std::uint8_t flags = 0;
    Attr With(std::uint8_t more) const {
        return Attr{role, static_cast<std::uint8_t>(flags | more)};
    }
    bool operator==(const Attr&) const = default;
};

// How a cell looks on a terminal without colours, as emphasis flags: fields
// underlined, the focus, selections and the title reversed (the title bold
// too), the cell's own emphasis added (CELL_REVERSE toggles). Everything a
// user must tell apart there (the focus, a disabled control) shows in these
// flags or in the characters themselves.
std::uint8_t MonoLook(Attr attr);

// Line glyphs; characters are 0..255.
namespace glyph {
inline constexpr int HLine = 0x100;
inline constexpr int VLine = 0x101;
inline constexpr int ULCorner = 0x102;
inline constexpr int URCorner = 0x103;
inline constexpr int LLCorner = 0x104;
inline constexpr int LRCorner = 0x105;
inline constexpr int UArrow = 0x106;
inline constexpr int DArrow = 0x107;
inline constexpr int Block = 0x108;
}  // namespace glyph

struct Cell {
    int ch = ' ';
    Attr attr{Role::Desktop, 0};
    bool operator==(const Cell&) const = default;
};

class Canvas {
  public:
    Canvas(int cols, int rows);

    int cols() const { return cols_; }
    int rows() const { return rows_; }
    const Cell& at(int row, int col) const;
    // Every cell blank with this look; the cursor hidden.
    void Clear(Attr attr);

    // Writers clip at the edges. Control characters are shown as blanks.
    void Put(int row, int col, int ch, Attr attr);
    void Text(int row, int col, const std::string& text, Attr attr, int max_cols = -1);
    void Fill(const CellRect& r, Attr attr);
    void Frame(const CellRect& r, Attr attr);
    // The shadow on the right of and below `r`.
    void Shadow(const CellRect& r);
    // A caption with its mnemonic underlined ('&' marks removed unless
    // `prefix` is false); returns the columns used.
    int Caption(int row, int col, const std::string& caption, Attr attr, int max_cols,
                bool prefix = true);

    // Where the terminal's cursor goes; row -1 hides it.
    void SetCursor(int row, int col) {
        cursor_row_ = row;
        cursor_col_ = col;
    }
    int cursor_row() const { return cursor_row_; }
    int cursor_col() const { return cursor_col_; }

    // One row as text, line glyphs drawn with - | + ^ v # (for tests and logs).
    std::string RowText(int row) const;

  private:
    int cols_;
    int rows_;
    std::vector<Cell> cells_;
    int cursor_row_ = -1;
    int cursor_col_ = -1;
};

}  // namespace varolan::ui
