#include "platform/ui/mouse.h"

#include "platform/ui/layout.h"
#include "platform/ui/paint.h"

namespace varolan::ui {

void HandleMouseClick(Dialog& d, int cols, int rows, const MouseClick& m) {
    const DialogLayout l = LayoutDialog(d, cols, rows);
    if (!l.fits) {
        return;
    }
    Control* focus = d.GetFocus();
    if (focus != nullptr && focus->kind() == ControlKind::ComboBox) {
        auto* combo = static_cast<ComboBox*>(focus);
        if (combo->IsDropped()) {
            for (std::size_t i = 0; i < d.controls().size(); ++i) {
                if (d.controls()[i].get() != focus) {
                    continue;
                }
                const CellRect p = ComboPopupRect(*combo, l.controls[i], rows);
                if (p.Contains(m.x, m.y) && m.y > p.row && m.y < p.row + p.rows - 1) {
                    combo->ClickEntry(ComboPopupTop(*combo, p.rows - 2) + m.y - p.row - 1);
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
            if (m.double_click) {
                list.DoubleClickRow(index);
            } else if (!list.ClickRow(index, m.shift, m.ctrl)) {
                d.ClickControl(c.id());
            }
            return;
        }
        d.ClickControl(c.id());
        return;
    }
}

}  // namespace varolan::ui
