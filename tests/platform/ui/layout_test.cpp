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
        AddGroupBox(161, "Remote", {4, 2, 171, 69});
        AddStatic(158, "&Escape Sequence :", {7, 20, 67, 8}, SS_RIGHT);
        AddEdit(120, {76, 18, 50, 12}, ES_READONLY);
        AddStatic(159, "&Terminal Type :", {6, 37, 67, 8}, SS_RIGHT);
        AddEdit(121, {76, 35, 50, 12}, ES_READONLY);
        AddStatic(160, "&Prompt :", {6, 54, 67, 8}, SS_RIGHT);
        AddEdit(122, {76, 52, 50, 12}, ES_READONLY);
        AddButton(104, "Set&up...", {131, 34, 39, 14});
        AddGroupBox(IDC_STATIC, "Service", {178, 2, 100, 69});
        AddCheckBox(137, "St&art on Close.", {197, 19, 62, 10});
        AddButton(138, "St&op Service...", {185, 41, 86, 14});
        AddGroupBox(IDC_STATIC, "&Local", {4, 74, 329, 202});
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

TEST(Layout, NaturalSizeWhenTheTerminalIsLargeEnough) {
    WideDlg dlg;
    const DialogLayout l = LayoutDialog(dlg, 132, 43);
    ASSERT_TRUE(l.fits);
    EXPECT_EQ(l.frame.cols, NaturalCols(337));
    EXPECT_EQ(l.frame.rows, NaturalRows(280));
    EXPECT_EQ(l.frame.cols, 87);
    EXPECT_EQ(l.frame.rows, 37);
    EXPECT_DOUBLE_EQ(l.scale_x, 1.0);
    // Centred; 4 x-units a column, 8 y-units a row from the client corner.
    EXPECT_EQ(l.frame.col, (132 - 87) / 2);
    const CellRect& close = l.controls[15];
    EXPECT_EQ(close.col - l.client.col, 282 / 4 + 1);  // 70.5 rounds up
    EXPECT_EQ(close.row - l.client.row, 1);
    EXPECT_EQ(close.rows, 1);
}

TEST(Layout, ScaledIntoEightyByTwentyFourWithoutOverlaps) {
    WideDlg dlg;
    const DialogLayout l = LayoutDialog(dlg, 80, 24);
    ASSERT_TRUE(l.fits);
    EXPECT_EQ(l.frame.cols, 80);
    EXPECT_EQ(l.frame.rows, 24);
    std::vector<std::size_t> fields;
    for (std::size_t i = 0; i < dlg.controls().size(); ++i) {
        const CellRect& r = l.controls[i];
        EXPECT_GE(r.col, l.client.col) << i;
        EXPECT_GE(r.row, l.client.row) << i;
        EXPECT_LE(r.col + r.cols, l.client.col + l.client.cols) << i;
        EXPECT_LE(r.row + r.rows, l.client.row + l.client.rows) << i;
        const ControlKind k = dlg.controls()[i]->kind();
        if (k != ControlKind::GroupBox && k != ControlKind::Static) {
            fields.push_back(i);
        }
    }
    for (std::size_t a = 0; a < fields.size(); ++a) {
        for (std::size_t b = a + 1; b < fields.size(); ++b) {
            EXPECT_FALSE(overlap(l.controls[fields[a]], l.controls[fields[b]]))
                << dlg.controls()[fields[a]]->id() << " and " << dlg.controls()[fields[b]]->id();
        }
    }
    // The list keeps several rows.
    EXPECT_GE(l.controls[12].rows, 8);
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
