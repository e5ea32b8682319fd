// What the painted screen shows, read cell by cell without a terminal: the
// focus on every control kind, disabled controls told apart without colours,
// read-only and unfocused edits from the start of their text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ui/canvas.h"
#include "platform/ui/headless.h"
#include "platform/ui/layout.h"
#include "platform/ui/paint.h"

namespace varolan::ui {
namespace {

// One focusable control of each kind, in Tab order.
class KindsDlg : public Dialog {
  public:
    KindsDlg() : Dialog("Kinds", 200, 112) {
        AddStatic(IDC_STATIC, "&Name :", {4, 8, 36, 8}, SS_RIGHT);
        AddEdit(10, {44, 8, 60, 12});
        AddEdit(11, {44, 24, 60, 12});  // empty
        AddEdit(12, {44, 40, 60, 12}, ES_READONLY | ES_AUTOHSCROLL);
        AddCheckBox(13, "&Verbose", {110, 8, 60, 10});
        AddComboBox(14, {110, 24, 50, 60});
        AddListBox(15, {4, 58, 100, 48}, LBS_NOTIFY | LBS_EXTENDEDSEL | WS_VSCROLL);
        AddButton(IDOK, "OK", {140, 70, 50, 14}, BS_DEFPUSHBUTTON);
        AddButton(16, "&Reset...", {140, 90, 50, 14});
    }

  protected:
    bool OnInitDialog() override {
        SetDlgItemText(10, "abc");
        SetDlgItemText(12, "a read-only value much longer than its field");
        GetComboBox(14)->AddString("none");
        GetComboBox(14)->AddString("odd");
        GetComboBox(14)->SetCurSel(0);
        GetListBox(15)->AddString("COM1");  // no current row
        return true;
    }
};

Canvas paint(const Dialog& d) {
    Canvas canvas(80, 24);
    EXPECT_TRUE(PaintDialogs(canvas, {&d}));
    return canvas;
}

const CellRect& rect_of(const Dialog& d, const DialogLayout& l, int id) {
    for (std::size_t i = 0; i < d.controls().size(); ++i) {
        if (d.controls()[i]->id() == id) {
            return l.controls[i];
        }
    }
    ADD_FAILURE() << "no control " << id;
    return l.client;
}

// Cells of a rect (with its caption row) that look like the focus without colours.
int reversed_cells(const Canvas& c, const CellRect& r) {
    int n = 0;
    for (int row = r.row; row < r.row + r.rows; ++row) {
        for (int col = r.col; col < r.col + r.cols; ++col) {
            n += (MonoLook(c.at(row, col).attr) & CELL_REVERSE) != 0 ? 1 : 0;
        }
    }
    return n;
}

std::string text_in(const Canvas& c, const CellRect& r) {
    return c.RowText(r.row).substr(static_cast<std::size_t>(r.col),
                                   static_cast<std::size_t>(r.cols));
}

TEST(Paint, EveryKindShowsTheFocusWithoutColoursAndOnlyThere) {
    HeadlessDriver drv;
    KindsDlg dlg;
    drv.Start(dlg);
    const DialogLayout l = LayoutDialog(dlg, 80, 24);
    const int ids[] = {10, 11, 12, 13, 14, 15, IDOK, 16};
    std::string previous;
    for (int step = 0; step < 8; ++step) {
        ASSERT_EQ(dlg.GetFocusId(), ids[step]);
        const Canvas canvas = paint(dlg);
        for (int id : ids) {
            const int reversed = reversed_cells(canvas, rect_of(dlg, l, id));
            if (id == ids[step]) {
                EXPECT_GT(reversed, 0) << "focus not shown on " << id;
            } else {
                EXPECT_EQ(reversed, 0) << id << " looks focused while " << ids[step] << " is";
            }
        }
        std::string look;
        for (int row = 0; row < canvas.rows(); ++row) {
            for (int col = 0; col < canvas.cols(); ++col) {
                look.push_back(static_cast<char>(MonoLook(canvas.at(row, col).attr)));
            }
        }
        EXPECT_NE(look, previous) << "Tab to " << ids[step] << " changed nothing visible";
        previous = look;
        dlg.HandleKey(key::Tab);
    }
}

TEST(Paint, DisabledControlsDifferWithoutColourOrDim) {
    KindsDlg on;
    KindsDlg off;
    HeadlessDriver drv;
    drv.Start(on);
    drv.Start(off);
    on.GotoDlgCtrl(IDOK);
    off.GotoDlgCtrl(IDOK);
    for (int id : {10, 13, 14, 15, 16}) {
        off.EnableDlgItem(id, false);
    }
    const Canvas a = paint(on);
    const Canvas b = paint(off);
    const DialogLayout l = LayoutDialog(on, 80, 24);
    for (int id : {10, 13, 14, 15, 16}) {
        const CellRect& r = rect_of(on, l, id);
        bool differs = false;
        for (int row = r.row; row < r.row + r.rows; ++row) {
            for (int col = r.col; col < r.col + r.cols; ++col) {
                const Cell& x = a.at(row, col);
                const Cell& y = b.at(row, col);
                differs = differs || x.ch != y.ch || MonoLook(x.attr) != MonoLook(y.attr);
            }
        }
        EXPECT_TRUE(differs) << "disabled " << id << " looks enabled without colours";
    }
    // Buttons and check boxes lose their brackets; the caption stays whole.
    const std::string enabled = text_in(a, rect_of(on, l, 16));
    EXPECT_EQ(enabled.front(), '[') << enabled;
    EXPECT_EQ(enabled.back(), ']') << enabled;
    EXPECT_EQ(text_in(b, rect_of(on, l, 16)).find_first_of("[]"), std::string::npos);
    EXPECT_NE(text_in(b, rect_of(on, l, 16)).find("Reset..."), std::string::npos);
    EXPECT_EQ(text_in(b, rect_of(on, l, 13)).find_first_of("[]"), std::string::npos);
}

TEST(Paint, EditsShowTheStartOfTheirTextUnlessTheCaretIsElsewhere) {
    HeadlessDriver drv;
    KindsDlg dlg;
    drv.Start(dlg);
    const DialogLayout l = LayoutDialog(dlg, 80, 24);
    const std::string value = "a read-only value much longer than its field";
    const CellRect& ro = rect_of(dlg, l, 12);
    ASSERT_LT(ro.cols, static_cast<int>(value.size()));
    const std::string start = value.substr(0, static_cast<std::size_t>(ro.cols));
    EXPECT_EQ(text_in(paint(dlg), ro), start);
    dlg.GotoDlgCtrl(12);  // focused by Tab or a mnemonic
    EXPECT_EQ(text_in(paint(dlg), ro), start);

    // An editable edit typed past its width keeps the caret in view while
    // focused and shows its start again once the focus has left.
    dlg.GotoDlgCtrl(10);
    const std::string typed(40, 'x');
    HeadlessDriver::Type(dlg, typed + "yz");
    const CellRect& e = rect_of(dlg, l, 10);
    EXPECT_EQ(text_in(paint(dlg), e).back(), ' ') << "caret cell after the text";
    EXPECT_NE(text_in(paint(dlg), e).find("yz"), std::string::npos);
    dlg.HandleKey(key::Tab);
    EXPECT_EQ(text_in(paint(dlg), e), std::string(static_cast<std::size_t>(e.cols), 'x'));
}

}  // namespace
}  // namespace varolan::ui
