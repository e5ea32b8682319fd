// Cell layout of dialogs: natural size, fitting into 80x24, too-small
// terminals, tab columns and text wrapping.
#include <gtest/gtest.h>

#include "platform/ui/layout.h"

namespace varolan::ui {
namespace {

// A large dialog built like a main window: groups, labels, read-only fields,
// a list with tab stops and a column of buttons (337 x 280 units).
class WideDlg : public Dialog {
  public:
    WideDlg() : Dialog("Wide", 337, 280) {
        AddGroupBox(161, "Remote Port Configuration", {4, 2, 171, 69});
        AddStatic(158, "&Escape Sequence :", {7, 20, 67, 8}, SS_RIGHT);
        AddEdit(120, {76, 18, 50, 12}, ES_READONLY);
        AddStatic(159, "&Terminal Type :", {6, 37, 67, 8}, SS_RIGHT);
        AddEdit(121, {76, 35, 50, 12}, ES_READONLY);
        AddStatic(160, "&Prompt :", {6, 54, 67, 8}, SS_RIGHT);
        AddEdit(122, {76, 52, 50, 12}, ES_READONLY);
        AddButton(104, "Set&up...", {131, 34, 39, 14});
        AddGroupBox(IDC_STATIC, "Varolan Service Control", {178, 2, 100, 69});
        AddCheckBox(137, "St&art on Close.", {197, 19, 62, 10});
        AddButton(138, "St&op Service...", {185, 41, 86, 14});
        AddGroupBox(IDC_STATIC, "&Local Port Configuration", {4, 74, 329, 202});
        AddStatic(IDC_STATIC, "Port Name", {12, 88, 40, 8}, SS_CENTER);
        AddStatic(IDC_STATIC, "Baud Rate", {54, 88, 42, 8}, SS_CENTER);
        AddStatic(IDC_STATIC, "Data Bits", {98, 88, 36, 8}, SS_CENTER);
        AddStatic(IDC_STATIC, "Stop Bits", {135, 88, 40, 8}, SS_CENTER);
        AddStatic(IDC_STATIC, "Parity", {176, 88, 30, 8}, SS_CENTER);
        AddStatic(IDC_STATIC, "Flow Control", {208, 88, 48, 8}, SS_CENTER);
        AddListBox(110, {10, 100, 255, 169});
        AddButton(111, "&Setup...", {274, 101, 50, 14});
        AddButton(112, "&Remove...", {274, 127, 50, 14});
        AddButton(1, "Close", {282, 7, 50, 14}, BS_DEFPUSHBUTTON);
        AddButton(108, "Reset...", {282, 31, 50, 14});
        AddButton(ID_HELP, "&Help", {282, 55, 50, 14});
    }
};

bool overlap(const CellRect& a, const CellRect& b) {
    return a.col < b.col + b.cols && b.col < a.col + a.cols && a.row < b.row + b.rows &&
           b.row < a.row + a.rows;
}

TEST(Layout, FourUnitsAColumnWhenEveryCaptionFitsItsRect) {
    Dialog d("Plain", 200, 80);
    d.AddStatic(IDC_STATIC, "&Name :", {4, 10, 40, 8}, SS_RIGHT);
    d.AddEdit(10, {48, 8, 80, 12});
    d.AddButton(IDOK, "OK", {140, 8, 50, 14}, BS_DEFPUSHBUTTON);
    const DialogLayout l = LayoutDialog(d, 132, 43);
    ASSERT_TRUE(l.fits);
    EXPECT_EQ(l.frame.cols, NaturalCols(200));
    EXPECT_EQ(l.frame.rows, NaturalRows(80));
    EXPECT_EQ(l.frame.col, (132 - l.frame.cols) / 2);
    EXPECT_EQ(l.controls[1].col - l.client.col, 12);
    EXPECT_EQ(l.controls[1].cols, 20);
    EXPECT_EQ(l.controls[2].col - l.client.col, 35);
    EXPECT_EQ(l.controls[2].row - l.client.row, 1);  // the middle row of its rect
}

// Columns a control's caption takes as the painter draws it.
int caption_cols(const Control& c) {
    const int text = static_cast<int>(StripMnemonic(c.GetWindowText()).size());
    switch (c.kind()) {
        case ControlKind::Button:
            return text + 2;
        case ControlKind::CheckBox:
        case ControlKind::GroupBox:
            return text + 4;
        case ControlKind::Static:
            return text;
        default:
            return 0;
    }
}

bool rows_overlap(const CellRect& a, const CellRect& b) {
    return a.row < b.row + b.rows && b.row < a.row + a.rows;
}

TEST(Layout, CaptionsWholeAndApartFromEightyByTwentyFourUp) {
    WideDlg dlg;
    struct Size {
        int cols;
        int rows;
    };
    for (const Size size : {Size{80, 24}, Size{100, 30}, Size{132, 43}, Size{120, 45}}) {
        SCOPED_TRACE(std::to_string(size.cols) + "x" + std::to_string(size.rows));
        const DialogLayout l = LayoutDialog(dlg, size.cols, size.rows);
        ASSERT_TRUE(l.fits);
        EXPECT_LE(l.frame.cols, size.cols);
        const auto& controls = dlg.controls();
        for (std::size_t i = 0; i < controls.size(); ++i) {
            const Control& c = *controls[i];
            const CellRect& r = l.controls[i];
            EXPECT_GE(r.col, l.client.col) << i;
            EXPECT_LE(r.col + r.cols, l.client.col + l.client.cols) << i;
            EXPECT_LE(r.row + r.rows, l.client.row + l.client.rows) << i;
            EXPECT_GE(r.cols, caption_cols(c)) << c.GetWindowText();
            for (std::size_t j = 0; j < controls.size(); ++j) {
                const CellRect& o = l.controls[j];
                if (i == j || !rows_overlap(r, o)) {
                    continue;
                }
                const bool nested = o.col > r.col && o.col + o.cols < r.col + r.cols;
                if (c.kind() == ControlKind::GroupBox && nested) {
                    // A blank between the group's borders and what it holds.
                    EXPECT_GE(o.col, r.col + 2) << c.GetWindowText() << " / " << j;
                    EXPECT_LE(o.col + o.cols, r.col + r.cols - 2)
                        << c.GetWindowText() << " / " << j;
                } else if (dlg.controls()[j]->rect().x >= c.rect().x + c.rect().cx) {
                    // A blank between neighbours on a row; group boxes side
                    // by side may touch.
                    const bool groups = c.kind() == ControlKind::GroupBox &&
                                        controls[j]->kind() == ControlKind::GroupBox;
                    EXPECT_GE(o.col, r.col + r.cols + (groups ? 0 : 1)) << i << " / " << j;
                }
                const bool fields = c.kind() != ControlKind::GroupBox &&
                                    c.kind() != ControlKind::Static &&
                                    controls[j]->kind() != ControlKind::GroupBox &&
                                    controls[j]->kind() != ControlKind::Static;
                EXPECT_FALSE(fields && overlap(r, o)) << i << " / " << j;
            }
        }
        // The list keeps several rows.
        EXPECT_GE(l.controls[18].rows, 8);
    }
}

TEST(Layout, TooSmallTerminalsAreReported) {
    WideDlg wide;
    Dialog small("Small", 120, 60);  // 32 x 10 cells
    struct Case {
        const Dialog* dlg;
        int cols;
        int rows;
        bool fits;
    };
    const Case cases[] = {
        {&wide, 80, 24, true},   {&wide, 79, 24, false}, {&wide, 80, 23, false},
        {&wide, 200, 10, false}, {&small, 32, 10, true}, {&small, 31, 10, false},
        {&small, 40, 9, false},
    };
    for (const auto& c : cases) {
        const DialogLayout l = LayoutDialog(*c.dlg, c.cols, c.rows);
        EXPECT_EQ(l.fits, c.fits) << c.cols << "x" << c.rows;
    }
    const DialogLayout l = LayoutDialog(wide, 60, 20);
    EXPECT_EQ(l.need_cols, 80);
    EXPECT_EQ(l.need_rows, 24);
}

TEST(Layout, TabStopsBecomeColumns) {
    const std::vector<int> stops = {8, 50, 98, 133, 170, 206};
    EXPECT_EQ(TabColumns(stops, 1.0), (std::vector<int>{2, 13, 25, 33, 43, 52}));
    // Stops squeezed together stay distinct.
    EXPECT_EQ(TabColumns({4, 5, 6}, 1.0), (std::vector<int>{1, 2, 3}));
    const std::vector<int> cols = {2, 13, 25};
    EXPECT_EQ(ExpandTabs("\tCOM1\t9600\t8\tnone", cols), "  COM1       9600        8 none");
    EXPECT_EQ(ExpandTabs("a\t\tb", {1, 4}), "a    b");  // past the last stop: one blank
}

TEST(Layout, WrapBreaksAtBlanksAndHonoursLineEnds) {
    EXPECT_EQ(WrapText("About to remove 2 ports from management.\nPress OK to confirm.", 20),
              (std::vector<std::string>{"About to remove 2", "ports from", "management.",
                                        "Press OK to confirm."}));
    EXPECT_EQ(WrapText("abcdefghij", 4), (std::vector<std::string>{"abcd", "efgh", "ij"}));
    EXPECT_EQ(WrapText("a\r\n\r\nb", 10), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(WrapText("", 10), (std::vector<std::string>{""}));
}

}  // namespace
}  // namespace varolan::ui
