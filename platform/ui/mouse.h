// Mouse clicks on a dialog shown on the terminal.
#pragma once

#include "platform/ui/dialog.h"

namespace varolan::ui {

struct MouseClick {
    int x = 0;  // screen column
    int y = 0;  // screen row
    bool double_click = false;
    bool shift = false;
    bool ctrl = false;
};

// A click on the dialog as laid out on a terminal of `cols` x `rows`: an
// entry of its dropped combo list, a list row (Shift extends, Ctrl toggles),
// or a control (ClickControl). A click beside a dropped list closes it.
void HandleMouseClick(Dialog& dialog, int cols, int rows, const MouseClick& click);

}  // namespace varolan::ui
