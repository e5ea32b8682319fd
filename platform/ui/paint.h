// Painting dialogs on a canvas: each control kind, a dialog with its frame and
// title, the dropped list of a combo box, the system menu, the notice of a
// terminal too small for a dialog, and the help window. Pure: no terminal is
// touched, so tests paint and read the canvas.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/ui/canvas.h"
#include "platform/ui/dialog.h"
#include "platform/ui/layout.h"

namespace varolan::ui {

// Paints the open dialogs bottom to top; the top one is active (its title,
// focus, dropped list and system menu are shown). Returns false when the
// canvas is too small for one of them: the canvas then shows the notice.
bool PaintDialogs(Canvas& canvas, const std::vector<const Dialog*>& stack);

// Paints control `index` of the dialog at its place in the layout.
void PaintControl(Canvas& canvas, const Dialog& dialog, const DialogLayout& layout,
                  std::size_t index, bool focused);

// The dropped list of a combo box: below its field, above it when there is no
// room on a screen of `screen_rows` rows.
CellRect ComboPopupRect(const ComboBox& combo, const CellRect& field, int screen_rows);
// The entry shown first in a dropped list of `rows` rows.
int ComboPopupTop(const ComboBox& combo, int rows);

// One page of the help window painted over the dialogs.
struct HelpPage {
    int top = 0;   // first line shown (clamped)
    int view = 1;  // lines shown at once
    int last = 0;  // largest useful `top`
};
HelpPage PaintHelp(Canvas& canvas, const std::vector<const Dialog*>& stack,
                   const std::string& title, const std::string& text, int top);

}  // namespace varolan::ui
